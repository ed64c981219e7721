// SPDX-License-Identifier: Apache-2.0
// Starting helper programs (grep, qpdf, pdftops) without a shell: every value
// reaches the program unchanged as one argument, and nothing in a file name or
// job title can ever run a command. StartChild is for a caller that needs what
// posix_spawn cannot do (the Printer Application's job programs).
#pragma once

#include <sys/resource.h>
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

// What a child of StartChild gets between fork and exec, besides the default
// signal dispositions, an empty signal mask and the no-new-privileges flag:
// its standard descriptors, its limits and the user it runs as. No other
// descriptor of the caller's passes to the program.
struct ChildSetup {
  int fds[3] = {-1, -1, -1};  // standard input, output, error; -1: /dev/null
  rlim_t cpu_seconds = 0;     // RLIMIT_CPU, SIGKILL 5 seconds after SIGXCPU; 0: no limit
  rlim_t memory_bytes = 0;    // RLIMIT_AS; 0: no limit
  bool change_user = false;   // run as uid, with gid as its only group
  uid_t uid = 0;
  gid_t gid = 0;
};

// Starts the program at path (no PATH lookup) with the argument vector argv
// and the environment envp (both null-terminated) by fork and exec:
// posix_spawn cannot change the user. Everything is made before the fork;
// between fork and exec the child only makes system calls. Returns the
// child's process id, or -1 with errno telling why (an exec that failed
// included; that child has been waited for).
pid_t StartChild(const char* path, char* const argv[], char* const envp[], const ChildSetup& setup);

}  // namespace mirelo
