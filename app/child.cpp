// SPDX-License-Identifier: Apache-2.0
// Child programs started with fork and exec, never through a shell, each as
// the job user with its limits (security.h).
#include "child.h"

#include "security.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
  Sandbox sandbox;
  if (!GetJobUser(&sandbox.user, why)) return -1;
  sandbox.limits = Limits();
  std::vector<std::string> args = command.argv;
  std::vector<std::string> env = MergedEnvironment(command.env);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  const std::string& program = command.program.empty() ? command.argv[0] : command.program;
  sandbox.self = program == "/proc/self/exe";
  const int from[3] = {in_fd, out_fd, err_fd};
  // The exec's failure comes back through this pipe, closed by a good exec.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    *why = "unable to start " + program + ": " + strerror(errno);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    // The child gets the default signal dispositions and an empty mask,
    // whatever the server's threads had set.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int err = 0;
    for (int target = 0; target < 3 && !err; ++target) {
      int fd = from[target] >= 0 ? from[target]
                                 : open("/dev/null", (target == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
      if (fd < 0 || (fd != target && dup2(fd, target) < 0)) err = errno;
      if (fd == target) fcntl(fd, F_SETFD, 0);
    }
    // Nothing of the server's (its sockets, files) passes to the program.
    if (!err) close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (!err) err = EnterSandbox(sandbox);
    if (!err) {
      execve(program.c_str(), argv.data(), envp.data());
      err = errno;
    }
    ssize_t ignored = write(report[1], &err, sizeof(err));
    (void)ignored;
    _exit(127);
  }
  int saved = errno;
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    *why = "unable to start " + program + ": " + strerror(saved);
    return -1;
  }
  int err = 0;
  ssize_t n;
  while ((n = read(report[0], &err, sizeof(err))) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof(err))) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    *why = "unable to start " + program + ": " + strerror(err);
    return -1;
  }
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

bool RunProgram(const Command& command, int in_fd, int out_fd, int err_fd, std::string* why) {
  pid_t pid = StartProgram(command, in_fd, out_fd, err_fd, why);
  return pid > 0 && WaitProgram(pid, command.program.empty() ? command.argv[0] : command.program, why);
}

}  // namespace mirelo_app
