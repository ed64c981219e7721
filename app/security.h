// SPDX-License-Identifier: Apache-2.0
// What keeps the Printer Application a safe network service: client texts
// cleaned before they reach the printer stream, the unprivileged user, the
// no-new-privileges flag and the limits that every job program runs with,
// and who may administer the server.
#pragma once

#include <pappl/pappl.h>
#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "common/spawn.h"

namespace mirelo_app {

// ---- Client texts --------------------------------------------------------------

// The longest client text handed on, in bytes (an IPP name's length).
inline constexpr size_t kMaxNameBytes = 255;

// text (a job, user or document name a client gave) with printable
// characters only: control characters (C0, DEL and C1) and bytes that are no
// valid UTF-8 are dropped, and the result is cut to kMaxNameBytes at a
// character's end. Null gives "".
std::string PrintableName(const char* text);
std::string PrintableName(const std::string& text);

// ---- Job programs ------------------------------------------------------------------

// The limits each job program runs with; 0 is no limit.
struct JobLimits {
  int cpu_seconds = 1800;   // CPU time (RLIMIT_CPU)
  long memory_mb = 4096;    // address space (RLIMIT_AS)
  int time_seconds = 3600;  // wall clock, then killed
};

// Reads the server options job-user, job-cpu-limit, job-memory-limit and
// job-time-limit and chooses the user that job programs run as when the
// server runs as root: job-user, else kServiceUser, else "lp". Call once,
// before the server starts its threads. False, with *why, for a bad value or
// a user that does not exist.
inline constexpr char kServiceUser[] = "mirelo-printer-app";
bool ConfigureJobPrograms(int num_options, cups_option_t* options, std::string* why);
const JobLimits& Limits();

// The user job programs get: drop is set when the server runs as root (and
// then uid and gid are that user's); otherwise they keep the server's own.
struct JobUser {
  bool drop = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
};
// The job user, chosen from the defaults if ConfigureJobPrograms was not
// called. False when the server runs as root and no such user exists: then
// no job program may be started.
bool GetJobUser(JobUser* user, std::string* why);

// Gives the job user a job folder or a file the server made for a job
// program (no-ops unless the server runs as root).
void OpenToJobUser(const char* dir);
void OpenToJobUser(int fd);

// A path the job user can read for the document at path: path itself, or a
// copy in the job folder dir when the server runs as root (its spool files
// are its own).
std::string ReadableByJobUser(pappl_job_t* job, const std::string& path, const char* dir);

// What a job program's process gets between fork and exec
// (mirelo::StartChild): the limits (the memory limit left out for this
// program itself, self, when it is built with a sanitizer, whose shadow
// memory it would refuse) and the job user. False, with *why, when no job
// program may be started (see GetJobUser).
bool SetUpJobProgram(bool self, mirelo::ChildSetup* setup, std::string* why);

// The wall-clock limit of a child that writes to a pipe the caller polls: the
// time counted is the time spent waiting in Poll for the child (not the time
// the caller spends writing what it got, which the printer sets). Once it
// exceeds the limit the child is killed and log says why.
class TimeLimit {
 public:
  TimeLimit(pid_t pid, std::string name, std::function<void(const std::string&)> log);
  int Poll(pollfd* fds, nfds_t n, int timeout_ms);
  bool Exceeded() const { return killed_; }

 private:
  pid_t pid_;
  std::string name_;
  std::function<void(const std::string&)> log_;
  std::chrono::steady_clock::duration waited_{};
  bool killed_ = false;
};

// Waits up to the wall-clock limit for the child pid to end; kills it (and
// *why tells) when it does not. True when it ended by itself.
bool WaitWithinTimeLimit(pid_t pid, const std::string& name, std::string* why);

// ---- Administration ---------------------------------------------------------------

// The group whose members administer the server (besides root), and the PAM
// service that checks a login (the server option auth-service overrides it).
inline constexpr char kAdminGroup[] = "lpadmin";
inline constexpr char kPamService[] = "mirelo-printer-app";

// The PAM service for papplSystemCreate (PAPPL asks for Basic credentials,
// and its web pages for a login, only when it has one).
const char* AuthService(int num_options, cups_option_t* options);
// Sets the system's admin group, and listens on the domain socket of the
// server option socket-file=PATH too (the service's, which runs as its own
// user and whose socket PAPPL would put in its private /tmp).
void SetUpAccess(pappl_system_t* system, int num_options, cups_option_t* options);

// Whether client may make its request: a request for administrators (admin),
// for members of group (when not null), or for everyone. HTTP_STATUS_CONTINUE
// when it may; else the HTTP status to answer with (UNAUTHORIZED asks for a
// login; UPGRADE_REQUIRED for TLS first). Sets the client's user name.
http_status_t Authorize(pappl_client_t* client, bool admin, const char* group);

}  // namespace mirelo_app
