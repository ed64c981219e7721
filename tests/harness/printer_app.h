// SPDX-License-Identifier: Apache-2.0
// Test support for the Printer Application: a raw socket printer on
// 127.0.0.1 that stores each job, and the app's server run with its own
// state, spool, log and socket names. Both belong inside the private network
// of printer_link.h.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mtest {

// A raw socket printer (AppSocket/JetDirect): every connection that sends
// data is one job.
class JobSink {
 public:
  JobSink() = default;
  ~JobSink() { Stop(); }
  JobSink(const JobSink&) = delete;
  JobSink& operator=(const JobSink&) = delete;

  // Listens on 127.0.0.1:port. False with the reason when it cannot.
  bool Start(std::string* why, int port = 9100);
  void Stop();
  // Waits for the job with this index (0 first) to end; false after timeout.
  bool WaitForJob(size_t index, double timeout_seconds, std::string* job);
  size_t Count();
  // Stops reading a job once it has at least bytes (0: never) until
  // Release(); Held() tells when it has stopped.
  void HoldAfter(size_t bytes);
  bool WaitUntilHeld(double timeout_seconds);
  void Release();
  // While on, every connection is reset at once, unread (a printer that
  // refuses jobs).
  void Refuse(bool on) { refuse_ = on; }

 private:
  void Serve();
  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> refuse_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> jobs_;
  size_t hold_after_ = 0;
  bool held_ = false;
};

// The app's server, started as `server` with everything under dir and the
// socket and names made unique by argv0; stopped (SIGTERM) with the object.
class AppServer {
 public:
  ~AppServer() { Stop(); }
  bool Start(const std::string& dir, int port, std::string* why);
  // Further server options ("name=value", each given with -o) for Start.
  void SetOptions(std::vector<std::string> options) { options_ = std::move(options); }
  // The model PPDs' folder for Start (the build's unless set).
  void SetPpdDir(const std::string& dir) { ppd_dir_ = dir; }
  // The IPv4 address (127.0.0.1 unless set) where Start waits for the server.
  void SetAddress(const std::string& address) { address_ = address; }
  void Stop();
  // Ends the server with SIGKILL, as a crash would.
  void Kill();
  // Starts the server again on the same folder and port (after Stop or Kill).
  bool Restart(std::string* why) { return Start(dir_, port_, why); }
  std::string StateFile() const { return dir_ + "/state"; }
  std::string SpoolDir() const { return dir_ + "/spool"; }
  // The server's domain socket (the tests run as root: /run/<name>.sock).
  std::string SocketPath() const { return "/run/" + argv0_ + ".sock"; }
  // True while the server process runs.
  bool Alive() const;
  // Sends bytes to the server's port as they are, closes the sending side and
  // returns what the server answered within timeout seconds.
  std::string Exchange(const std::string& bytes, double timeout_seconds = 5) const;
  // Runs a client sub-command of the app against this server; returns its
  // exit code and output (standard output and error). env: more of the
  // sub-command's environment (NAME=value).
  int Command(const std::vector<std::string>& args, std::string* output = nullptr,
              const std::vector<std::string>& env = {}) const;
  std::string PrinterUri(const std::string& printer) const;
  // The same printer over the domain socket, where a test run as root is an
  // administrator (the server knows its peer).
  std::string AdminPrinterUri(const std::string& printer) const;
  pid_t Pid() const { return pid_; }
  // What the server wrote on its standard output and error, then its log.
  std::string Log() const;

 private:
  std::string TmpDir() const;  // the TMPDIR= of the app's processes
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
  std::string argv0_;
  std::vector<std::string> options_;
  std::string address_ = "127.0.0.1";
  std::string ppd_dir_ = MIRELOPS_PPD_DIR;
};

// Moves the test process into a UTS namespace of its own whose host name is
// name (call it from the main thread before starting threads, as
// EnterPrivateNetwork): the machine's own name is never touched. False with
// the reason when no namespace can be had.
bool EnterPrivateHostName(const std::string& name, std::string* why);

// Users who log in with kTestPassword: kTestAdmin (uid 61001, a member of
// lpadmin) and kTestUser (uid 61002). EnterPrivateUsers moves the test
// process (from the main thread, before starting threads or the server) into
// a mount namespace of its own where /etc/passwd, group and shadow are
// copies with these users added and /etc/pam.d holds the system's files and
// pam_file as the app's service; the machine's own files stay as they are.
inline constexpr char kTestAdmin[] = "mtadmin";
inline constexpr char kTestUser[] = "mtuser";
inline constexpr char kTestPassword[] = "mtest-secret";
bool EnterPrivateUsers(const std::string& pam_file, std::string* why);
// In that namespace: /etc/hosts a copy with "address name" added, and
// /etc/cups/ssl (where a server run as root keeps its TLS certificate) an
// empty folder of the test's.
bool AddPrivateHost(const std::string& address, const std::string& name, std::string* why);

// The PostScript of a job as the printer stores it: from "%!PS" up to the
// end-of-job sequence, without the PJL around it.
std::string PostScriptOf(const std::string& job);

}  // namespace mtest
