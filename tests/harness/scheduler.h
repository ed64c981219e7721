// SPDX-License-Identifier: Apache-2.0
// Test support: a private CUPS scheduler. cupsd runs with its own
// ServerRoot, RequestRoot, TempDir, CacheDir, StateDir and logs in a
// temporary folder and listens only on a socket in that folder; ServerBin is
// a folder of links to the system's filters and backends, to which a test
// can add its own (the project's filter, a test backend). Queues are made
// with lpadmin. DataDir is a folder of links to the system's, whose model
// folder can take the test's PPDs. The scheduler is stopped by its pid when
// the object goes.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace mtest {

class CupsScheduler {
 public:
  CupsScheduler() = default;
  ~CupsScheduler() { Stop(); }
  CupsScheduler(const CupsScheduler&) = delete;
  CupsScheduler& operator=(const CupsScheduler&) = delete;

  // Makes the folder, writes cupsd.conf and cups-files.conf, links
  // ServerBin and starts cupsd; waits until it answers. False with the
  // reason when it cannot run here (no cupsd, not root, ...).
  bool Start(std::string* why);
  void Stop();
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  const std::string& Dir() const { return dir_; }
  // The socket to hand to clients: CUPS_SERVER, lpadmin -h, lpstat -h.
  std::string Socket() const { return dir_ + "/sock"; }
  // The environment a client of this scheduler needs: CUPS_SERVER, and
  // CUPS_SERVERROOT (where lpoptions and client.conf are read).
  std::map<std::string, std::string> ClientEnv() const;
  // Puts ClientEnv() into this process's environment. libcups reads it once
  // per thread: call libcups from a thread started after this.
  void UseFromThisProcess() const;

  // Adds a program to ServerBin/filter or ServerBin/backend: a copy of
  // path, owned by root and mode 0755 when the test is root (a scheduler
  // running as root runs nothing else). Call before Start(); a backend must
  // be there before a queue uses it.
  void AddFilter(const std::string& name, const std::string& path);
  void AddBackend(const std::string& name, const std::string& path);
  // Makes a folder of PPDs visible to cups-driverd (lpinfo -m, lpadmin -m)
  // as DataDir/model/<name>. Call before Start().
  void AddModelDir(const std::string& name, const std::string& path);

  // Runs lpadmin -h <socket> with the arguments; returns its exit code.
  int Lpadmin(const std::vector<std::string>& args, std::string* err = nullptr) const;
  // lpadmin -p name -E -v device_uri [-P ppd] [-D description]; true when it
  // worked.
  bool AddQueue(const std::string& name, const std::string& device_uri, const std::string& ppd = "",
                std::string* err = nullptr) const;
  // Adds an instance "queue/instance" with options ("k=v ...") to the
  // lpoptions file that clients of ClientEnv() read.
  void AddInstance(const std::string& queue_and_instance, const std::string& options = "");

  // The scheduler's error log.
  std::string ErrorLog() const;

 private:
  void LinkAll(const std::string& sub);

  std::string dir_;
  pid_t pid_ = -1;
  std::map<std::string, std::string> extra_filters_;
  std::map<std::string, std::string> extra_backends_;
  std::map<std::string, std::string> model_dirs_;
  std::string lpoptions_;
};

}  // namespace mtest
