// SPDX-License-Identifier: Apache-2.0
// posix_spawn wrappers: helper programs run without a shell, with SIGPIPE
// and SIGTERM back at their defaults, and are always waited for; and the
// fork and exec of a child that runs as another user with limits.
#include "common/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "common/io.h"

extern char** environ;

namespace mirelo {
namespace {

// Spawns argv with stdin from /dev/null, stdout on out_fd (/dev/null when
// -1) and stderr on err_fd (the filter's own when -1). Returns the pid, or -1
// with errno set.
pid_t Spawn(const char* const argv[], int out_fd, int close_fd, int err_fd = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);

  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
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

// A helper's standard error on its way to the filter's, line by line,
// without the helper's page accounting lines: the filter counts the pages
// itself as they go out to the printer.
class ErrLines {
 public:
  void Add(const char* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
      line_[len_++] = data[i];
      if (data[i] == '\n' || len_ == sizeof(line_)) Flush();
    }
  }
  void Flush() {
    if (len_ > 0 && !(len_ >= 5 && memcmp(line_, "PAGE:", 5) == 0)) ErrWriteBytes(line_, len_);
    len_ = 0;
  }

 private:
  char line_[4096];
  size_t len_ = 0;
};

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
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    int saved = errno;
    close(out_pipe[0]);
    close(out_pipe[1]);
    errno = saved;
    return -1;
  }
  pid_t pid = Spawn(argv, out_pipe[1], -1, err_pipe[1]);
  int saved = errno;
  close(out_pipe[1]);
  close(err_pipe[1]);
  UniqueFd out(out_pipe[0]), err(err_pipe[0]);
  if (pid < 0) {
    errno = saved;
    return -1;
  }

  ErrLines lines;
  char buf[65536];
  while (out.valid() || err.valid()) {
    struct pollfd fds[2];
    nfds_t n = 0;
    if (out.valid()) fds[n++] = {out.get(), POLLIN, 0};
    if (err.valid()) fds[n++] = {err.get(), POLLIN, 0};
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      bool is_out = out.valid() && fds[i].fd == out.get();
      ssize_t got = read(fds[i].fd, buf, sizeof(buf));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        (is_out ? out : err).reset();
        continue;
      }
      if (!is_out) {
        lines.Add(buf, static_cast<size_t>(got));
        continue;
      }
      size_t done = WriteAll(out_fd, buf, static_cast<size_t>(got));
      *copied += done;
      if (done != static_cast<size_t>(got)) {
        // The program's output is no longer read: it ends at its next write.
        *write_errno = errno ? errno : EIO;
        out.reset();
      }
    }
  }
  lines.Flush();
  return Wait(pid);
}

namespace {

// The child's side of StartChild, up to the exec: 0 or the errno of the step
// that failed. System calls only.
int EnterChild(const ChildSetup& setup) {
  // The default signal dispositions and an empty mask, whatever the
  // caller's threads had set.
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int target = 0; target < 3; ++target) {
    int fd = setup.fds[target] >= 0 ? setup.fds[target]
                                    : open("/dev/null", (target == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    if (fd < 0 || (fd != target && dup2(fd, target) < 0)) return errno;
    if (fd == target) fcntl(fd, F_SETFD, 0);
  }
  // Nothing of the caller's (its sockets, files) passes to the program.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  if (setup.cpu_seconds > 0) {
    // SIGXCPU at the limit, SIGKILL a little later for a program that
    // catches it.
    rlimit r = {setup.cpu_seconds, setup.cpu_seconds + 5};
    if (setrlimit(RLIMIT_CPU, &r) != 0) return errno;
  }
  if (setup.memory_bytes > 0) {
    rlimit r = {setup.memory_bytes, setup.memory_bytes};
    if (setrlimit(RLIMIT_AS, &r) != 0) return errno;
  }
  if (setup.change_user) {
    gid_t gid = setup.gid;
    if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0) return errno;
    uid_t uid = setup.uid;
    if (setresuid(uid, uid, uid) != 0) return errno;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  return 0;
}

}  // namespace

pid_t StartChild(const char* path, char* const argv[], char* const envp[], const ChildSetup& setup) {
  // The exec's failure comes back through this pipe, closed by a good exec.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int err = EnterChild(setup);
    if (!err) {
      execve(path, argv, envp);
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
    errno = saved;
    return -1;
  }
  int err = 0;
  ssize_t n;
  while ((n = read(report[0], &err, sizeof(err))) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof(err))) {
    Wait(pid);
    errno = err;
    return -1;
  }
  return pid;
}

}  // namespace mirelo
