// SPDX-License-Identifier: Apache-2.0
// The adapter between the Printer Application and the filter's core. The
// core keeps its job in process-wide state and writes the printer stream to
// standard output, as a CUPS filter does; so each job runs in a child
// process of the app (the program itself, started with kCoreJobCommand),
// which hands the job to the core as the filter's main does for a queue. The parent
// forwards the child's standard output to the printer and turns a cancel into
// the SIGTERM a CUPS filter gets, which the core answers at its next page
// boundary. The child watches the printer of DEVICE_URI for a cancel at its
// panel and tells of one by its exit status.
#include "job-core.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "child.h"
#include "common/io.h"
#include "security.h"

namespace mirelo_app {

namespace {

// The descriptor of the CUPS side channel.
constexpr int kSideChannelFd = 4;
// The core's end-of-job sequence (10 bytes: Ctrl-D, then ESC and "%-12345X",
// the PJL Universal Exit Language), sent for a job process that died, so that
// the printer leaves the PostScript job.
constexpr char kEndOfJob[] = "\x04\x1b%-12345X";
// The seconds a job process has to end after SIGTERM before SIGKILL.
constexpr int kTermSeconds = 2;

// Owner of a pipe's two ends.
struct Pipe {
  mirelo::UniqueFd read, write;
  bool Open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read.reset(fds[0]);
    write.reset(fds[1]);
    return true;
  }
};

// Splits what the child wrote on standard error into lines for log.
class LineSplitter {
 public:
  explicit LineSplitter(const LogFn& log) : log_(log) {}
  void Add(const char* data, size_t len) {
    pending_.append(data, len);
    size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
      log_(pending_.substr(0, nl));
      pending_.erase(0, nl + 1);
    }
  }
  void Flush() {
    if (!pending_.empty()) log_(pending_);
    pending_.clear();
  }

 private:
  const LogFn& log_;
  std::string pending_;
};

// The job process's command line: this program, kCoreJobCommand and the
// filter's arguments of the job (queue, job id, user, title, copies, options
// and file), which JobArgumentsOf reads back.
constexpr int kJobProcessArgc = 9;

std::vector<std::string> JobProcessArgv(const mirelo::JobArguments& job) {
  return {"/proc/self/exe", kCoreJobCommand,         job.queue, job.job_id, job.user, job.title, job.copies,
          job.options,      job.file ? job.file : ""};
}

mirelo::JobArguments JobArgumentsOf(char* argv[]) {
  return mirelo::FilterArguments(kJobProcessArgc - 2, argv + 2);
}

}  // namespace

bool WriteCoreJob(const mirelo::JobArguments& job, const CoreEnvironment& env, const WriteFn& write,
                  const CanceledFn& canceled, const LogFn& log, bool* canceled_at_device) {
  if (canceled_at_device) *canceled_at_device = false;
  Pipe out, err;
  if (!out.Open() || !err.Open()) {
    log(std::string("Unable to create a pipe: ") + strerror(errno));
    return false;
  }
  Command command;
  command.argv = JobProcessArgv(job);
  command.env = {"PPD=" + env.ppd, "DEVICE_URI=" + env.device_uri};
  if (!env.tmpdir.empty()) command.env.push_back("TMPDIR=" + env.tmpdir);
  std::string why;
  pid_t pid = StartProgram(command, -1, out.write.get(), err.write.get(), &why);
  out.write.reset();
  err.write.reset();
  if (pid < 0) {
    log(why);
    return false;
  }

  // A core that ends with an ERROR line of its own (a refusal) has given
  // the job's reason.
  bool reported = false;
  const LogFn core_log = [&](const std::string& line) {
    if (line.compare(0, 6, "ERROR:") == 0) reported = true;
    log(line);
  };
  LineSplitter lines(core_log);
  TimeLimit limit(pid, "the job process", log);
  bool term_sent = false, forwarding = true, kill_sent = false, wrote = false;
  time_t term_at = 0;
  char buf[65536];
  pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (!term_sent && canceled()) {
      kill(pid, SIGTERM);
      term_sent = true;
    }
    if (term_sent && !term_at) term_at = time(nullptr);
    if (term_at && !kill_sent && time(nullptr) - term_at > kTermSeconds) {
      kill(pid, SIGKILL);
      kill_sent = true;
    }
    int n = limit.Poll(fds, 2, 200);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && n > 0; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof(buf));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        fds[i].fd = -1;
        continue;
      }
      if (i == 1) {
        lines.Add(buf, static_cast<size_t>(got));
      } else if (forwarding && (wrote = true) && !write(buf, static_cast<size_t>(got))) {
        // The printer is gone: the core is stopped as a cancelled job.
        forwarding = false;
        if (!term_sent) kill(pid, SIGTERM);
        term_sent = true;
      }
    }
  }
  lines.Flush();
  int status = -1;
  bool ok = WaitProgram(pid, "the job process", &why, &status);
  if (!ok && status == kCanceledAtDeviceStatus) {
    ok = true;
    if (canceled_at_device) *canceled_at_device = true;
  }
  if (!ok && !term_sent) {
    // Died by itself (a signal, out of memory, an error): the printer is
    // told that the job ends, and the log says why, at error level; after
    // the core's own reason, its exit status is a warning.
    if (forwarding && wrote) forwarding = write(kEndOfJob, sizeof(kEndOfJob) - 1);
    log((reported && status >= 0 ? "WARNING: " : "ERROR: ") + why);
  } else if (!ok) {
    log(why);
  }
  return ok && forwarding;
}

bool CoreSupportsDevice(const char* device_id) { return mirelo::SupportsDeviceId(device_id); }

int CoreJobMain(int argc, char* argv[]) {
  // argv: as JobProcessArgv makes it.
  if (argc != kJobProcessArgc) {
    mirelo::ErrWrite("ERROR: The job process takes seven job arguments.\n");
    return 2;
  }
  setvbuf(stderr, nullptr, _IONBF, 0);
  // No backend stands behind the job: a device ID request finds /dev/null
  // in the place of the side channel and gets no answer, and the PPD's
  // nickname names the model, as for a CUPS queue without a device ID.
  if (int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC); null_fd >= 0) {
    dup2(null_fd, kSideChannelFd);
    close(null_fd);
  }
  // PAPPL has claimed a USB printer's interface for the job, so the finch
  // watch's status request could only fail, once a second: no watch there.
  const char* device_uri = getenv("DEVICE_URI");
  if (device_uri && strncasecmp(device_uri, "usb:", 4) == 0) setenv("DEVICE_URI", "", 1);

  // The printer to watch is the job's own: the app's queues are not CUPS's.
  mirelo::FrontEnd front_end;
  front_end.watch_device_uri = true;
  int status = mirelo::RunJob(JobArgumentsOf(argv), front_end);
  return mirelo::CanceledAtPrinter() ? kCanceledAtDeviceStatus : status;
}

}  // namespace mirelo_app
