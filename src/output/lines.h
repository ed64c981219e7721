// SPDX-License-Identifier: Apache-2.0
// The line pieces of the finch roads, private to output/ (and reached by the
// fuzz targets): reading a line, tagging a job-name line, rewriting a line.
// A line is counted, not only terminated: a job may carry binary data, and
// every byte of a line, NUL bytes included, goes to the printer.
#pragma once

#include <cstddef>
#include <cstdio>

namespace mirelo {

// Reads a file line by line through a buffer of its own: a line is found
// with one memchr instead of a look at every byte.
class LineReader {
 public:
  explicit LineReader(FILE* file) : file_(file) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads one line (up to and including its line end: a line feed, a CR and
  // a line feed, or a lone CR) of at most size - 1 bytes into out and
  // terminates it; a longer line comes in pieces. Returns the bytes read, 0
  // at the end of the file.
  size_t Read(char* out, size_t size);
  // Goes on reading at offset bytes from the start of the file.
  bool Seek(long offset);
  // The offset of the next byte that Read returns.
  long Tell() const { return consumed_; }

 private:
  FILE* file_;
  char buf_[64 * 1024];
  size_t pos_ = 0;
  size_t end_ = 0;
  long consumed_ = 0;
};

// Appends the owner line, the job id line and, when a5 is set, the A5 paper
// line to a line of len bytes that holds "@PJL JOB NAME". line is a
// kLineBufSize buffer holding at most kLineSize - 1 bytes, which leaves room
// for three tag lines of up to 255 bytes each. Returns the new length.
size_t TagLine(char* line, size_t len, const char* owner, const char* jobid, bool a5);

// FixPrnPageSize on a counted line of *len bytes in a kLineBufSize buffer;
// *len is updated. The tests look at the line's text up to its first NUL;
// bytes behind it are kept unless the whole line is replaced or emptied.
bool FixLine(char* line, size_t* len, int width, int height, bool* copy_block);

// The copy count N of a line that opens the job's copy-count block
// ("%RBIBeginNonPPDFeature: *NumCopies N", letter case ignored, text up to
// the first NUL): the copies the printer makes of every page. 0 for any
// other line.
int CopyBlockCopies(const char* line);

}  // namespace mirelo
