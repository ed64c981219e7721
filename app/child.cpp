// SPDX-License-Identifier: Apache-2.0
// Child programs started with posix_spawn, never through a shell.
#include "child.h"

#include <fcntl.h>
#include <spawn.h>
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
  std::vector<std::string> args = command.argv;
  std::vector<std::string> env = MergedEnvironment(command.env);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int from[3] = {in_fd, out_fd, err_fd};
  for (int target = 0; target < 3; ++target) {
    if (from[target] >= 0)
      posix_spawn_file_actions_adddup2(&actions, from[target], target);
    else
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  // The child gets the default signal dispositions and an empty mask, whatever
  // the server's threads had set.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const std::string& program = command.program.empty() ? command.argv[0] : command.program;
  int err = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    *why = "unable to start " + program + ": " + strerror(err);
    return -1;
  }
  return pid;
}

bool WaitProgram(pid_t pid, const std::string& name, std::string* why, int* exit_status) {
  int status = 0;
  if (exit_status) *exit_status = -1;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *why = name + ": " + strerror(errno);
      return false;
    }
  }
  if (exit_status && WIFEXITED(status)) *exit_status = WEXITSTATUS(status);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  char text[256];
  if (WIFEXITED(status))
    snprintf(text, sizeof(text), "%s exited with status %d", name.c_str(), WEXITSTATUS(status));
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
