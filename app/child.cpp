// SPDX-License-Identifier: Apache-2.0
// Child programs as the app starts them: a command made into the argument
// vector and environment of mirelo::StartChild (common/spawn.h), as the job
// user with its limits (security.h).
#include "child.h"

#include <signal.h>
#include <sys/wait.h>

#include "common/spawn.h"
#include "security.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace mirelo_app {

namespace {

// The app's environment with command's variables set over it.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& x : extra)
      if (x.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

pid_t StartProgram(const Command& command, int in_fd, int out_fd, int err_fd, std::string* why) {
  if (command.argv.empty()) {
    *why = "no program";
    return -1;
  }
  // Everything the child needs is made here: between fork and exec it only
  // makes system calls.
  const std::string& program = command.program.empty() ? command.argv[0] : command.program;
  mirelo::ChildSetup setup;
  if (!SetUpJobProgram(program == "/proc/self/exe", &setup, why)) return -1;
  setup.fds[0] = in_fd;
  setup.fds[1] = out_fd;
  setup.fds[2] = err_fd;
  std::vector<std::string> args = command.argv;
  std::vector<std::string> env = MergedEnvironment(command.env);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = mirelo::StartChild(program.c_str(), argv.data(), envp.data(), setup);
  if (pid < 0) *why = "unable to start " + program + ": " + strerror(errno);
  return pid;
}

bool WaitProgram(pid_t pid, const std::string& name, std::string* why, int* exit_status) {
  int status = 0;
  if (exit_status) *exit_status = -1;
  std::string over;
  bool in_time = WaitWithinTimeLimit(pid, name, &over);
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *why = name + ": " + strerror(errno);
      return false;
    }
  }
  if (exit_status && WIFEXITED(status)) *exit_status = WEXITSTATUS(status);
  if (!in_time) {
    *why = over;
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  char text[256];
  if (WIFEXITED(status))
    snprintf(text, sizeof(text), "%s exited with status %d", name.c_str(), WEXITSTATUS(status));
  else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
    snprintf(text, sizeof(text), "%s exceeded its CPU time limit of %d seconds", name.c_str(),
             Limits().cpu_seconds);
  else
    snprintf(text, sizeof(text), "%s ended by signal %d", name.c_str(),
             WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  *why = text;
  return false;
}

}  // namespace mirelo_app
