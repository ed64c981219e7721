// SPDX-License-Identifier: Apache-2.0
// The private CUPS scheduler. See scheduler.h.
#include "harness/scheduler.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <thread>

#include "harness/harness.h"

namespace fs = std::filesystem;

namespace mtest {

namespace {

constexpr char kSystemServerBin[] = "/usr/lib/cups";
constexpr char kSystemDataDir[] = "/usr/share/cups";

bool MakeDir(const std::string& path, mode_t mode) {
  std::error_code ec;
  fs::create_directories(path, ec);
  return chmod(path.c_str(), mode) == 0;
}

// Puts a copy of the program at from into the folder at to: a scheduler
// running as root refuses programs that are not root's or that group or
// others may change, and runs a backend of mode 0755 as its User, who must
// be able to reach it.
bool CopyProgram(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::remove(to, ec);
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) return false;
  if (geteuid() == 0 && chown(to.c_str(), 0, 0) != 0) return false;
  return chmod(to.c_str(), 0755) == 0;
}

// Links every entry of the folder from into the folder to, but the names in skip.
void LinkEntries(const std::string& from, const std::string& to,
                 std::initializer_list<const char*> skip = {}) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(from, ec)) {
    std::string name = e.path().filename().string();
    bool skipped = false;
    for (const char* s : skip) skipped = skipped || name == s;
    if (!skipped) fs::create_symlink(e.path(), to + "/" + name, ec);
  }
}

}  // namespace

void CupsScheduler::AddModelDir(const std::string& name, const std::string& path) {
  model_dirs_[name] = path;
}

void CupsScheduler::LinkAll(const std::string& sub) {
  std::string to = dir_ + "/bin/" + sub;
  MakeDir(to, 0755);
  LinkEntries(std::string(kSystemServerBin) + "/" + sub, to);
}

void CupsScheduler::AddFilter(const std::string& name, const std::string& path) {
  extra_filters_[name] = path;
}

void CupsScheduler::AddBackend(const std::string& name, const std::string& path) {
  extra_backends_[name] = path;
}

bool CupsScheduler::Start(std::string* why) {
  auto fail = [&](const std::string& reason) {
    if (why) *why = reason;
    Stop();
    return false;
  };
  if (access("/usr/sbin/cupsd", X_OK) != 0) return fail("cupsd is not installed");
  if (geteuid() != 0) return fail("the private scheduler runs filters as lp: the test must be root");

  char tmpl[] = "/tmp/mirelops-cupsd-XXXXXX";
  if (!mkdtemp(tmpl)) return fail(std::string("mkdtemp: ") + strerror(errno));
  dir_ = tmpl;
  chmod(dir_.c_str(), 0755);
  MakeDir(dir_ + "/etc/ppd", 0755);
  MakeDir(dir_ + "/etc/ssl", 0700);
  MakeDir(dir_ + "/spool/tmp", 01777);
  chmod((dir_ + "/spool").c_str(), 0710);
  MakeDir(dir_ + "/cache", 0770);
  MakeDir(dir_ + "/state/certs", 0711);
  MakeDir(dir_ + "/log", 0755);
  for (const char* sub : {"filter", "backend", "daemon", "notifier", "driver", "monitor"}) {
    LinkAll(sub);
  }
  for (const auto& [name, path] : extra_filters_) {
    if (!CopyProgram(path, dir_ + "/bin/filter/" + name)) return fail("cannot install filter " + path);
  }
  for (const auto& [name, path] : extra_backends_) {
    if (!CopyProgram(path, dir_ + "/bin/backend/" + name)) return fail("cannot install backend " + path);
  }
  // DataDir: the system's, with a model folder of its own where
  // cups-driverd finds the test's PPDs.
  MakeDir(dir_ + "/share/model", 0755);
  LinkEntries(kSystemDataDir, dir_ + "/share", {"model"});
  LinkEntries(std::string(kSystemDataDir) + "/model", dir_ + "/share/model");
  for (const auto& [name, path] : model_dirs_) {
    std::error_code ec;
    fs::create_symlink(path, dir_ + "/share/model/" + name, ec);
  }

  WriteFile(dir_ + "/etc/cupsd.conf", "Listen " + Socket() +
                                          "\n"
                                          "Browsing Off\n"
                                          "LogLevel debug2\n"
                                          "MaxLogSize 0\n"
                                          "WebInterface No\n"
                                          "DefaultAuthType None\n"
                                          "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                                          "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
                                          "<Policy default>\n"
                                          "  <Limit All>\n    Order deny,allow\n  </Limit>\n"
                                          "</Policy>\n");
  WriteFile(dir_ + "/etc/cups-files.conf",
            "ServerRoot " + dir_ + "/etc\n" + "StateDir " + dir_ + "/state\n" + "CacheDir " + dir_ +
                "/cache\n" + "RequestRoot " + dir_ + "/spool\n" + "TempDir " + dir_ + "/spool/tmp\n" +
                "ServerBin " + dir_ + "/bin\n" + "DataDir " + dir_ + "/share\n" + "AccessLog " + dir_ +
                "/log/access_log\n" + "ErrorLog " + dir_ + "/log/error_log\n" + "PageLog " + dir_ +
                "/log/page_log\n" +
                "FileDevice Yes\n"
                "User lp\n"
                "Group lp\n"
                "SystemGroup root\n"
                "Sandboxing relaxed\n"
                "PassEnv ASAN_OPTIONS\nPassEnv TSAN_OPTIONS\nPassEnv UBSAN_OPTIONS\n"
                "PassEnv LD_PRELOAD\n");

  pid_t pid = fork();
  if (pid < 0) return fail(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    int log = open((dir_ + "/log/cupsd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(log >= 0 ? log : null, 2);
    std::string conf = dir_ + "/etc/cupsd.conf";
    std::string files = dir_ + "/etc/cups-files.conf";
    execl("/usr/sbin/cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;

  // Ready when it answers on its socket.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return fail("cupsd ended at once: " + ReadFile(dir_ + "/log/cupsd.out") +
                  ReadFile(dir_ + "/log/error_log").substr(0, 2000));
    }
    std::string out;
    if (Run({"lpstat", "-h", Socket(), "-r"}, &out) == 0 &&
        out.find("scheduler is running") != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return fail("cupsd did not answer within 20 s");
}

void CupsScheduler::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (!dir_.empty() && !getenv("MIRELOPS_KEEP_TEMP")) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  dir_.clear();
}

std::map<std::string, std::string> CupsScheduler::ClientEnv() const {
  return {{"CUPS_SERVER", Socket()}, {"CUPS_SERVERROOT", dir_ + "/client"}};
}

void CupsScheduler::UseFromThisProcess() const {
  for (const auto& [k, v] : ClientEnv()) setenv(k.c_str(), v.c_str(), 1);
}

int CupsScheduler::Lpadmin(const std::vector<std::string>& args, std::string* err) const {
  std::vector<std::string> argv = {"lpadmin", "-h", Socket()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  return Run(argv, &out, err);
}

bool CupsScheduler::AddQueue(const std::string& name, const std::string& device_uri, const std::string& ppd,
                             std::string* err) const {
  std::vector<std::string> args = {"-p", name, "-E", "-v", device_uri};
  if (!ppd.empty()) {
    args.push_back("-P");
    args.push_back(ppd);
  }
  return Lpadmin(args, err) == 0;
}

void CupsScheduler::AddInstance(const std::string& queue_and_instance, const std::string& options) {
  lpoptions_ += "Dest " + queue_and_instance + (options.empty() ? "" : " " + options) + "\n";
  MakeDir(dir_ + "/client", 0755);
  WriteFile(dir_ + "/client/lpoptions", lpoptions_);
}

std::string CupsScheduler::ErrorLog() const { return ReadFile(dir_ + "/log/error_log"); }

}  // namespace mtest
