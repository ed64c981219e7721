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
  pid_t Pid() const { return pid_; }
  // What the server wrote on its standard output and error, then its log.
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
  std::string argv0_;
};

// The PostScript of a job as the printer stores it: from "%!PS" up to the
// end-of-job sequence, without the PJL around it.
std::string PostScriptOf(const std::string& job);

}  // namespace mtest
