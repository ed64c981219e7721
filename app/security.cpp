// SPDX-License-Identifier: Apache-2.0
// Client texts cleaned for the printer stream; the user, limits and
// no-new-privileges flag of the job programs. See security.h.
#include "security.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MIRELO_APP_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MIRELO_APP_SANITIZED 1
#endif
#endif

namespace mirelo_app {

namespace {

// Length of the valid UTF-8 character at p (n bytes left) that is no control
// character, or 0.
size_t PrintableUtf8(const unsigned char* p, size_t n) {
  unsigned c = p[0];
  size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (len == 0 || c > 0xF4 || len > n) return 0;
  unsigned code = c & (0x7F >> len);
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (p[i] & 0x3F);
  }
  static const unsigned kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[len] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code <= 0x9F) return 0;  // C1 controls
  return len;
}

struct Config {
  JobLimits limits;
  std::string user_name;  // job-user; empty: the defaults
  bool configured = false;
};
Config g_config;

std::once_flag g_user_once;
JobUser g_user;
std::string g_user_why;

void ChooseUser() {
  if (geteuid() != 0) return;  // the server's own user runs the jobs
  std::vector<std::string> names;
  if (!g_config.user_name.empty())
    names.push_back(g_config.user_name);
  else
    names = {kServiceUser, "lp"};
  for (const std::string& name : names) {
    passwd pw = {}, *found = nullptr;
    char buf[4096];
    if (getpwnam_r(name.c_str(), &pw, buf, sizeof(buf), &found) != 0 || !found) continue;
    if (found->pw_uid == 0) break;
    g_user.drop = true;
    g_user.uid = found->pw_uid;
    g_user.gid = found->pw_gid;
    g_user.name = name;
    return;
  }
  g_user_why = "no unprivileged user to run the job's programs as (job-user=" +
               (g_config.user_name.empty() ? std::string(kServiceUser) + " or lp" : g_config.user_name) + ")";
}

bool ParseLimit(const char* text, long max, long* value) {
  if (!text) return true;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno || end == text || *end || v < 0 || v > max) return false;
  *value = v;
  return true;
}

}  // namespace

std::string PrintableName(const char* text) { return PrintableName(std::string(text ? text : "")); }

std::string PrintableName(const std::string& text) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    size_t len = p[i] >= 0x20 && p[i] < 0x7F ? 1 : p[i] >= 0x80 ? PrintableUtf8(p + i, n - i) : 0;
    if (len == 0) {
      ++i;
      continue;
    }
    if (out.size() + len > kMaxNameBytes) break;
    out.append(text, i, len);
    i += len;
  }
  return out;
}

bool ConfigureJobPrograms(int num_options, cups_option_t* options, std::string* why) {
  long cpu = g_config.limits.cpu_seconds, memory = g_config.limits.memory_mb,
       time = g_config.limits.time_seconds;
  struct {
    const char* name;
    long max;
    long* value;
  } limits[] = {{"job-cpu-limit", 1L << 30, &cpu},
                {"job-memory-limit", 1L << 30, &memory},
                {"job-time-limit", 1L << 30, &time}};
  for (const auto& l : limits) {
    if (!ParseLimit(cupsGetOption(l.name, num_options, options), l.max, l.value)) {
      *why = std::string("Bad value of ") + l.name + ": a whole number is expected.";
      return false;
    }
  }
  g_config.limits.cpu_seconds = static_cast<int>(cpu);
  g_config.limits.memory_mb = memory;
  g_config.limits.time_seconds = static_cast<int>(time);
  if (const char* user = cupsGetOption("job-user", num_options, options)) g_config.user_name = user;
  g_config.configured = true;
  JobUser user;
  return GetJobUser(&user, why);
}

const JobLimits& Limits() { return g_config.limits; }

bool GetJobUser(JobUser* user, std::string* why) {
  std::call_once(g_user_once, ChooseUser);
  if (!g_user_why.empty()) {
    *why = g_user_why;
    return false;
  }
  *user = g_user;
  return true;
}

void OpenToJobUser(const char* dir) {
  JobUser user;
  std::string why;
  if (GetJobUser(&user, &why) && user.drop && chown(dir, user.uid, user.gid) != 0) {
    // The job's programs then fail on the folder with their own message.
  }
}

void OpenToJobUser(int fd) {
  JobUser user;
  std::string why;
  if (GetJobUser(&user, &why) && user.drop && fchown(fd, user.uid, user.gid) != 0) {
    // As above.
  }
}

std::string ReadableByJobUser(pappl_job_t* job, const std::string& path, const char* dir) {
  JobUser user;
  std::string why;
  struct stat st = {};
  if (!GetJobUser(&user, &why) || !user.drop || (stat(path.c_str(), &st) == 0 && st.st_uid == user.uid))
    return path;
  const std::string copy = std::string(dir) + "/document";
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = in >= 0 && out >= 0 && fstat(in, &st) == 0;
  for (off_t left = ok ? st.st_size : 0; ok && left > 0;) {
    ssize_t n = sendfile(out, in, nullptr, static_cast<size_t>(std::min<off_t>(left, 1 << 30)));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    left -= n > 0 ? n : 0;
  }
  ok = ok && fchown(out, user.uid, user.gid) == 0;
  int e = errno;
  if (in >= 0) close(in);
  if (out >= 0 && close(out) != 0) ok = false;
  if (!ok) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to hand the document to the user %s: %s",
                user.name.c_str(), strerror(e));
    return path;
  }
  return copy;
}

bool SetUpJobProgram(bool self, mirelo::ChildSetup* setup, std::string* why) {
  JobUser user;
  if (!GetJobUser(&user, why)) return false;
  setup->change_user = user.drop;
  setup->uid = user.uid;
  setup->gid = user.gid;
  const JobLimits& l = Limits();
  setup->cpu_seconds = l.cpu_seconds > 0 ? static_cast<rlim_t>(l.cpu_seconds) : 0;
#ifdef MIRELO_APP_SANITIZED
  bool memory = !self;
#else
  bool memory = true;
  (void)self;
#endif
  setup->memory_bytes = memory && l.memory_mb > 0 ? static_cast<rlim_t>(l.memory_mb) << 20 : 0;
  return true;
}

TimeLimit::TimeLimit(pid_t pid, std::string name, std::function<void(const std::string&)> log)
    : pid_(pid), name_(std::move(name)), log_(std::move(log)) {}

int TimeLimit::Poll(pollfd* fds, nfds_t n, int timeout_ms) {
  auto t0 = std::chrono::steady_clock::now();
  int got = poll(fds, n, timeout_ms);
  waited_ += std::chrono::steady_clock::now() - t0;
  int limit = Limits().time_seconds;
  if (!killed_ && limit > 0 && waited_ > std::chrono::seconds(limit)) {
    killed_ = true;
    kill(pid_, SIGKILL);
    log_(name_ + " exceeded its time limit of " + std::to_string(limit) + " seconds and was stopped");
  }
  return got;
}

bool WaitWithinTimeLimit(pid_t pid, const std::string& name, std::string* why) {
  int limit = Limits().time_seconds;
  if (limit <= 0) return true;
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return true;  // the caller's waitpid still waits
  pollfd p = {fd, POLLIN, 0};
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
  int n = 0;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      n = 0;
      break;
    }
    n = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (n > 0 || (n < 0 && errno != EINTR)) break;
  }
  close(fd);
  if (n != 0) return true;
  kill(pid, SIGKILL);
  *why = name + " exceeded its time limit of " + std::to_string(limit) + " seconds and was stopped";
  return false;
}

}  // namespace mirelo_app
