// SPDX-License-Identifier: Apache-2.0
// Child programs of the Printer Application (the page-setup filters, the
// PDF and PostScript converters, the core's job process), started with
// fork and exec (mirelo::StartChild, common/spawn.h) and never through a
// shell: every value reaches the program unchanged as one argument. Each
// runs as the job user, with no new privileges and the job limits
// (security.h).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace mirelo_app {

// A program to run: its argument vector (argv[0] is the program's path) and
// the variables to set in its environment ("NAME=value"), over the app's own.
struct Command {
  std::string program;  // the program's path; argv[0] when empty
  std::vector<std::string> argv;
  std::vector<std::string> env;
};

// Starts command with standard input from in_fd, standard output to out_fd
// and standard error to err_fd (-1: /dev/null for each). Returns the child's
// process id, or -1 with *why set.
pid_t StartProgram(const Command& command, int in_fd, int out_fd, int err_fd, std::string* why);

// Waits for the child and returns true when it exited with status 0; else
// *why says how it ended (exit status, signal, a limit it exceeded). A child
// still running at the wall-clock limit is killed. exit_status, when given,
// gets the exit status, or -1 when a signal ended the child.
bool WaitProgram(pid_t pid, const std::string& name, std::string* why, int* exit_status = nullptr);

}  // namespace mirelo_app
