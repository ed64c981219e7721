// SPDX-License-Identifier: Apache-2.0
// The line reader of the finch roads, private to output/ (and reached by the
// tests and fuzz targets; defined in lines.cpp). A line is counted, not only
// terminated: a job may carry binary data, and every byte of a line, NUL
// bytes included, goes to the printer.
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

}  // namespace mirelo
