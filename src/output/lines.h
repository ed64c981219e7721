// The line pieces of the finch roads, private to output/ (and reached by the
// fuzz targets): reading a line, tagging a job-name line, rewriting a line.
// A line is counted, not only terminated: a job may carry binary data, and
// every byte of a line, NUL bytes included, goes to the printer.
#pragma once

#include <cstddef>
#include <cstdio>

namespace mirelo {

// Reads one line (up to and including its line feed) of at most size - 1
// bytes into buf and terminates it; a longer line comes in pieces. Returns
// the bytes read, 0 at the end of the file.
size_t ReadLine(FILE* in, char* buf, size_t size);

// Appends the owner line, the job id line and, when a5 is set, the A5 paper
// line to a line of len bytes that holds "@PJL JOB NAME". line is a
// kLineBufSize buffer holding at most kLineSize - 1 bytes, which leaves room
// for three tag lines of up to 255 bytes each. Returns the new length.
size_t TagLine(char* line, size_t len, const char* owner, const char* jobid, bool a5);

// FixPrnPageSize on a counted line of *len bytes in a kLineBufSize buffer;
// *len is updated. The tests look at the line's text up to its first NUL;
// bytes behind it are kept unless the whole line is replaced or emptied.
bool FixLine(char* line, size_t* len, int width, int height, bool* copy_block);

}  // namespace mirelo
