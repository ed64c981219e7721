// SPDX-License-Identifier: Apache-2.0
// Test support for the Printer Application: the job sink and the server.
#include "printer_app.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "harness.h"
#include "words.h"

namespace mtest {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Runs path with the given argv (argv[0] as given) and environment additions,
// output to out_fd (and error), input /dev/null. Returns the pid.
pid_t Spawn(const std::string& path, const std::vector<std::string>& argv,
            const std::vector<std::string>& env, int out_fd) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int devnull = open("/dev/null", O_RDWR);
  dup2(devnull, 0);
  dup2(out_fd >= 0 ? out_fd : devnull, 1);
  dup2(out_fd >= 0 ? out_fd : devnull, 2);
  for (const auto& e : env) putenv(strdup(e.c_str()));
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(path.c_str(), args.data());
  _exit(127);
}

// PAPPL's temporary folder of the system of process pid, which it leaves
// behind.
void RemovePapplFolder(pid_t pid) {
  const char* tmp = getenv("TMPDIR");
  Run({"rm", "-rf", std::string(tmp && *tmp ? tmp : "/tmp") + "/pappl" + std::to_string(pid) + ".d"});
}

}  // namespace

bool JobSink::Start(std::string* why, int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  // A small receive window, as a printer has: a sender is held soon after
  // the sink stops reading.
  int window = 16384;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &window, sizeof(window));
  sockaddr_in a = Loopback(port);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd_, 8) != 0) {
    *why = std::string("job sink: ") + strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void JobSink::Serve() {
  while (!stop_) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    if (refuse_) {
      linger reset = {1, 0};
      setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
      close(c);
      continue;
    }
    std::string job;
    char buf[65536];
    for (ssize_t n; (n = read(c, buf, sizeof(buf))) > 0;) {
      job.append(buf, static_cast<size_t>(n));
      std::unique_lock<std::mutex> lock(mu_);
      if (hold_after_ && job.size() >= hold_after_) {
        held_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return hold_after_ == 0 || stop_; });
      }
    }
    close(c);
    // A connection without data (the app asking for the device's status) is no job.
    if (job.empty()) continue;
    std::lock_guard<std::mutex> lock(mu_);
    jobs_.push_back(std::move(job));
    cv_.notify_all();
  }
}

void JobSink::HoldAfter(size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  hold_after_ = bytes;
  held_ = false;
}

bool JobSink::WaitUntilHeld(double timeout_seconds) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::duration<double>(timeout_seconds), [&] { return held_; });
}

void JobSink::Release() {
  std::lock_guard<std::mutex> lock(mu_);
  hold_after_ = 0;
  cv_.notify_all();
}

void JobSink::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool JobSink::WaitForJob(size_t index, double timeout_seconds, std::string* job) {
  std::unique_lock<std::mutex> lock(mu_);
  bool ok = cv_.wait_for(lock, std::chrono::duration<double>(timeout_seconds),
                         [&] { return jobs_.size() > index; });
  if (ok && job) *job = jobs_[index];
  return ok;
}

size_t JobSink::Count() {
  std::lock_guard<std::mutex> lock(mu_);
  return jobs_.size();
}

bool AppServer::Start(const std::string& dir, int port, std::string* why) {
  dir_ = dir;
  port_ = port;
  // The program's name names its socket (/run/<name>.sock as root): one of
  // its own, so that an installed service is never met.
  argv0_ = "mtest-printer-app-" + std::to_string(getpid());
  Run({"mkdir", "-p", dir + "/spool", dir + "/tmp"});
  int log = open((dir + "/server.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<std::string> argv = {argv0_, "server",
                                   "-o",   "server-port=" + std::to_string(port),
                                   "-o",   "state-file=" + dir + "/state",
                                   "-o",   "spool-directory=" + dir + "/spool",
                                   "-o",   "log-file=" + dir + "/log",
                                   "-o",   "log-level=debug"};
  for (const std::string& o : options_) argv.insert(argv.end(), {"-o", o});
  // No DNS-SD: the announcement would leave the private network.
  pid_ = Spawn(MIRELO_APP_BIN, argv,
               {"MIRELO_APP_PPD_DIR=" + ppd_dir_, "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent", TmpDir()},
               log);
  close(log);
  // Up means answering: the listeners take connections while the server
  // still loads its state and cleans its spool folder, before it serves.
  for (int i = 0; i < 100; ++i) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    bool up = false;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
      const std::string ask = "GET / HTTP/1.1\r\nHost: " + address_ + "\r\nConnection: close\r\n\r\n";
      pollfd p = {s, POLLIN, 0};
      char c;
      up = send(s, ask.data(), ask.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(ask.size()) &&
           poll(&p, 1, 5000) == 1 && read(s, &c, 1) == 1;
    }
    close(s);
    if (up) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
    usleep(100000);
  }
  *why = "the app's server did not come up: " + ReadFile(dir + "/server.out") + Log();
  return false;
}

void AppServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  // PAPPL leaves its socket and its temporary folder behind.
  if (geteuid() == 0) unlink(SocketPath().c_str());
  RemovePapplFolder(pid_);
  pid_ = -1;
}

void AppServer::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool AppServer::Alive() const {
  return pid_ > 0 && kill(pid_, 0) == 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

std::string AppServer::Exchange(const std::string& bytes, double timeout_seconds) const {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port_);
  std::string answer;
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
    for (size_t at = 0; at < bytes.size();) {
      ssize_t n = send(s, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    shutdown(s, SHUT_WR);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
      pollfd p = {s, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      ssize_t n = read(s, buf, sizeof(buf));
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  close(s);
  return answer;
}

int AppServer::Command(const std::vector<std::string>& args, std::string* output,
                       const std::vector<std::string>& env) const {
  std::string out = dir_ + "/command.out";
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<std::string> argv = {argv0_};
  argv.insert(argv.end(), args.begin(), args.end());
  // The test's own environment last: it wins.
  std::vector<std::string> environment = {"MIRELO_APP_PPD_DIR=" MIRELOPS_PPD_DIR, TmpDir()};
  // Under AddressSanitizer a sub-command's leaks are reported with whole
  // stacks (a short process: the slow unwinding costs little), so that the
  // suppressions can name PAPPL's functions, whose libcups calls leave no
  // frames for the fast unwinder.
  if (const char* asan = getenv("ASAN_OPTIONS"))
    environment.push_back(std::string("ASAN_OPTIONS=") + asan + ":fast_unwind_on_malloc=0");
  environment.insert(environment.end(), env.begin(), env.end());
  pid_t pid = Spawn(MIRELO_APP_BIN, argv, environment, fd);
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  RemovePapplFolder(pid);  // drivers makes a system of its own
  if (output) *output = ReadFile(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// PAPPL's temporary folder (papplGetTempDir: job files, and the spool
// folder /tmp/pappl<pid>.d that a command such as drivers makes and never
// removes) inside the test's own folder.
std::string AppServer::TmpDir() const { return "TMPDIR=" + dir_ + "/tmp"; }

std::string AppServer::PrinterUri(const std::string& printer) const {
  return "ipp://localhost:" + std::to_string(port_) + "/ipp/print/" + printer;
}

std::string AppServer::AdminPrinterUri(const std::string& printer) const {
  std::string host;
  for (char c : SocketPath()) host += c == '/' ? std::string("%2F") : std::string(1, c);
  return "ipp://" + host + "/ipp/print/" + printer;
}

std::string AppServer::Log() const { return ReadFile(dir_ + "/server.out") + ReadFile(dir_ + "/log"); }

bool EnterPrivateHostName(const std::string& name, std::string* why) {
  if (unshare(CLONE_NEWUTS) != 0 || sethostname(name.c_str(), name.size()) != 0) {
    *why = std::string("no private host name (UTS namespace): ") + strerror(errno);
    return false;
  }
  return true;
}

namespace {

// EnterPrivateUsers, once.
bool EnterUsersOnce(const std::string& pam_file, std::string* why) {
  // kTestPassword, hashed (SHA-512 crypt).
  static const char kHash[] =
      "$6$mtestsalt0123456$hVgfNp0/"
      "gqiizOf2kbhvXCzCqUEcAqVo1x0ClSRCdUwLjbGwoExQ2y5KjJ3ufnwNqzHXVnOR2wO7zMUbltgzq0";
  const std::string dir = TempPath("etc");
  std::string group;
  const std::string groups = ReadFile("/etc/group");
  for (size_t at = 0, end; at < groups.size(); at = end + 1) {
    end = groups.find('\n', at);
    if (end == std::string::npos) end = groups.size();
    std::string line = groups.substr(at, end - at);
    if (line.rfind("lpadmin:", 0) == 0)
      line += line.back() == ':' ? kTestAdmin : std::string(",") + kTestAdmin;
    if (!line.empty()) group += line + "\n";
  }
  Run({"mkdir", "-p", dir + "/pam.d"});
  WriteFile(dir + "/passwd", ReadFile("/etc/passwd") + kTestAdmin +
                                 ":x:61001:61001::/nonexistent:/usr/sbin/nologin\n" + kTestUser +
                                 ":x:61002:61002::/nonexistent:/usr/sbin/nologin\n");
  WriteFile(dir + "/group", group + kTestAdmin + ":x:61001:\n" + kTestUser + ":x:61002:\n");
  WriteFile(dir + "/shadow", ReadFile("/etc/shadow") + kTestAdmin + ":" + kHash + ":19000:0:99999:7:::\n" +
                                 kTestUser + ":" + kHash + ":19000:0:99999:7:::\n");
  chmod((dir + "/shadow").c_str(), 0600);
  Run({"cp", "-a", "/etc/pam.d/.", dir + "/pam.d/"});
  WriteFile(dir + "/pam.d/mirelo-printer-app", ReadFile(pam_file));
  if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = std::string("no private mount namespace: ") + strerror(errno);
    return false;
  }
  for (const char* name : {"passwd", "group", "shadow", "pam.d"}) {
    if (mount((dir + "/" + name).c_str(), (std::string("/etc/") + name).c_str(), nullptr, MS_BIND, nullptr) !=
        0) {
      *why = std::string("cannot bind /etc/") + name + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

bool EnterPrivateUsers(const std::string& pam_file, std::string* why) {
  static int state = 0;  // 0 not tried, 1 in, -1 refused
  static std::string reason;
  if (state == 0) state = EnterUsersOnce(pam_file, &reason) ? 1 : -1;
  if (state < 0) *why = reason;
  return state > 0;
}

bool AddPrivateHost(const std::string& address, const std::string& name, std::string* why) {
  const std::string hosts = TempPath("etc/hosts");
  WriteFile(hosts, ReadFile("/etc/hosts") + address + " " + name + "\n");
  const std::string ssl = TempPath("etc/ssl");
  Run({"mkdir", "-p", ssl});
  if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
      mount(ssl.c_str(), "/etc/cups/ssl", nullptr, MS_BIND, nullptr) != 0) {
    *why = std::string("cannot bind /etc/hosts and /etc/cups/ssl: ") + strerror(errno);
    return false;
  }
  return true;
}

std::string PostScriptOf(const std::string& job) {
  size_t from = job.find("%!PS");
  if (from == std::string::npos) return "";
  size_t to = job.rfind(kEoj);
  return job.substr(from, to == std::string::npos || to < from ? std::string::npos : to - from);
}

}  // namespace mtest
