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

 private:
  void Serve();
  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
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
  // Runs a client sub-command of the app against this server; returns its
  // exit code and output (standard output and error).
  int Command(const std::vector<std::string>& args, std::string* output = nullptr) const;
  std::string PrinterUri(const std::string& printer) const;
  pid_t Pid() const { return pid_; }
  // What the server wrote on its standard output and error, then its log.
  std::string Log() const;

 private:
  std::string TmpDir() const;  // the TMPDIR= of the app's processes
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
  std::string argv0_;
};

// The PostScript of a job as the printer stores it: from "%!PS" up to the
// end-of-job sequence, without the PJL around it.
std::string PostScriptOf(const std::string& job);

}  // namespace mtest
