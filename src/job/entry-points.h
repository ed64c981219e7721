// SPDX-License-Identifier: Apache-2.0
// The fixed entry points: the historical global functions that scripts,
// tests and older callers know by name and argument vector. Each is a thin
// adapter that builds what the job record's stages take from its arguments
// and the job flags (job/job.h), or, for the cut-off and the spool's end
// test, the stage itself. Declared here in one place, below every folder
// that defines one: identify/, paper/, monitor/, output/, pdfpath/ and
// spool/ each include it for their own, the core and the tests for those
// they call.
#pragma once

#include <cstddef>

namespace mirelo {
struct PageIndex;
}

// ---- Printer identification (identify/identify.cpp)

// Asks the backend for the device ID. *len holds the capacity on entry (the
// buffer must have one byte more) and the bytes received on return. True
// when an ID was received; the buffer then holds it NUL-terminated, else it
// is empty.
bool query1284info(char* buf, int* len);

// True when the printer is a supported model; sets *finch to true for a finch
// model (never clears it). Reads the ShortNickName of the environment's PPD.
bool isSupportPrinter(const char* device_id, bool have_device_id, bool* finch);

// True when the printer is a Heron model, by the same rules.
bool isHeronPrinter(const char* device_id, bool have_device_id);

// ---- Paper checks (paper/paper.cpp)

// Looks the job's PageSize up in the PPD and stores its width and length in
// whole points. Returns 1 when the job has a PageSize option, else 0.
int checkmediasize(char* const argv[], int* width, int* height);

// False when the job asks for a custom page size whose dimensions in the
// print file lie outside the printable bounds.
bool isSupportCustomPageSize(const char* options, const char* path);

// True when the job prints on A5 paper fed long edge first.
bool isA5PageSize(const char* options, const char* path);

// ---- The keep-alive thread (monitor/keepalive.cpp)

// Starts the keep-alive thread for the printer of DEVICE_URI (argv[0] when
// DEVICE_URI is unset and argv[0] holds a ':'), right before the Heron
// print-file copy; Waitpthread raises its end flag and joins it right after.
void Creatpthread(char* const argv[]);
void Waitpthread();

// ---- The writer (output/)

// Page-end cut-off. buf (at least 70 bytes) holds a line or the data of one
// chunk (clear_len bytes). When cancel is nonzero and buf holds a page start,
// writes what lies before it and the trailer, and sets *written to 69.
// Returns 1 when buf holds a cut point, else 0.
int find_pageend(char* buf, int clear_len, int* written, int cancel);

// Copies the print file to standard output in chunks, with the cut-off.
void WritePrintFileToStdout(const char* path);

// Sends the PostScript job of every non-Heron printer to standard output,
// for the queue and job of argv and the finch state of the job flags.
// pages, when not null, holds the pages of the print file as the spool
// counted them.
void WritePSdataToStdout(char* const argv[], const char* path, const mirelo::PageIndex* pages = nullptr);

// Rewrites one line of a finch job in place (page size, copy-count block,
// deferred media). line is NUL-terminated text in a buffer of kLineBufSize
// bytes. *copy_block is the caller's state of the copy-count block. True
// when the line was rewritten or emptied.
bool FixPrnPageSize(char* line, int width, int height, bool* copy_block);

// ---- The Heron road (pdfpath/)

// True when the system qpdf reports version 8 or later.
bool getqpdfversion();

// Turns every even page by 180 degrees when the job prints long-edge duplex.
// path (512 bytes) may be replaced by the rotated file's path; the caller
// then owns that file (path's own file stays where it is).
void CreatRotateDuplex(char* const argv[], char* path);

// Removes the first occurrence of name, through the next terminator, from text.
void removestr(char* text, const char* name, char terminator);

// Converts the print file to PostScript. Returns 1 and replaces path on
// success (the caller then owns the new file), -1 on failure.
int pdf2ps(char* path, char* const argv[]);

// ---- The spool (spool/spool.cpp)

// Copies standard input into a new spool file and writes its path into path
// (kPrintPathSize bytes); the caller owns the file. Adds the end-of-job
// sequence when the input's end shows none. On failure path is left as it
// was. pages, when not null, gets the pages of the spool file, counted on
// the way.
void Copy_StdinToTempFile(char* path, mirelo::PageIndex* pages = nullptr);

// The end test of the spool: true when the text in chunk (up to its first
// NUL, at most size bytes) is 10 bytes or longer and holds no PJL Universal
// Exit Language, letter case ignored.
bool SpoolNeedsEndOfJob(const char* chunk, size_t size);
