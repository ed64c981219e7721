// SPDX-License-Identifier: Apache-2.0
// Starting helper programs (grep, qpdf, pdftops) without a shell: every value
// reaches the program unchanged as one argument, and nothing in a file name or
// job title can ever run a command.
#pragma once

#include <sys/types.h>

#include <cstdio>

namespace mirelo {

// Runs argv[0] (looked up on PATH when it has no slash) with the argument
// vector argv (null-terminated). Standard input is /dev/null, standard output
// goes to out_fd (or /dev/null when out_fd is -1), standard error is the
// filter's own. Waits for the program. Returns its wait status, or -1 when it
// could not be started (errno then tells why).
int RunProgram(const char* const argv[], int out_fd);

// True when a wait status is a normal exit with one of the given codes.
bool ExitedWith(int status, int code);

// Runs argv like RunProgram, with its standard output copied into the open
// file out_fd by the filter itself, so that a write that fails (a full disk,
// a file-size limit) is seen even when the program would not notice it.
// Its standard error reaches the filter's through the filter, without the
// program's page accounting ("PAGE:") lines: the filter counts the pages
// itself as it sends them. *copied gets the bytes written. When a write fails, *write_errno gets its
// error (else 0), the program's output is no longer read and the program is
// waited for. Returns the program's wait status, or -1 when it could not be
// started.
int RunProgramInto(const char* const argv[], int out_fd, size_t* copied, int* write_errno);

// A program whose standard output is read through a stream, like popen(..,
// "r") but without a shell. Close() (or the destructor) closes the stream and
// waits for the program.
class ProgramReader {
 public:
  explicit ProgramReader(const char* const argv[]);
  ~ProgramReader() { Close(); }
  ProgramReader(const ProgramReader&) = delete;
  ProgramReader& operator=(const ProgramReader&) = delete;

  bool Started() const { return stream_ != nullptr; }
  FILE* Stream() const { return stream_; }
  // Returns the wait status, or -1 when the program never started.
  int Close();

 private:
  FILE* stream_ = nullptr;
  pid_t pid_ = -1;
};

}  // namespace mirelo
