// SPDX-License-Identifier: Apache-2.0
// posix_spawn wrappers: helper programs run without a shell, with SIGPIPE
// and SIGTERM back at their defaults, and are always waited for.
#include "common/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/io.h"

extern char** environ;

namespace mirelo {
namespace {

// Spawns argv with stdin from /dev/null and stdout on out_fd (/dev/null when
// -1). Returns the pid, or -1 with errno set.
pid_t Spawn(const char* const argv[], int out_fd, int close_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);

  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (close_fd >= 0) posix_spawn_file_actions_addclose(&actions, close_fd);

  // The filter ignores SIGPIPE and catches SIGTERM; the child starts with the
  // defaults and an empty signal mask.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, &attr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

int RunProgram(const char* const argv[], int out_fd) {
  pid_t pid = Spawn(argv, out_fd, -1);
  if (pid < 0) return -1;
  return Wait(pid);
}

bool ExitedWith(int status, int code) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

ProgramReader::ProgramReader(const char* const argv[]) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = Spawn(argv, fds[1], fds[0]);
  int saved = errno;
  close(fds[1]);
  if (pid_ < 0) {
    close(fds[0]);
    errno = saved;
    return;
  }
  stream_ = fdopen(fds[0], "r");
  if (!stream_) {
    close(fds[0]);
    Wait(pid_);
    pid_ = -1;
  }
}

int ProgramReader::Close() {
  if (stream_) {
    fclose(stream_);
    stream_ = nullptr;
  }
  if (pid_ < 0) return -1;
  int status = Wait(pid_);
  pid_ = -1;
  return status;
}

int RunProgramInto(const char* const argv[], int out_fd, size_t* copied, int* write_errno) {
  *copied = 0;
  *write_errno = 0;
  ProgramReader reader(argv);
  if (!reader.Started()) return -1;
  char buf[65536];
  for (;;) {
    size_t n = fread(buf, 1, sizeof(buf), reader.Stream());
    if (n == 0) break;
    size_t done = WriteAll(out_fd, buf, n);
    *copied += done;
    if (done != n) {
      *write_errno = errno ? errno : EIO;
      break;
    }
  }
  return reader.Close();
}

}  // namespace mirelo
