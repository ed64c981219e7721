// SPDX-License-Identifier: Apache-2.0
// The adapter between the Printer Application and the filter's core. The
// core of today keeps its job in process-wide state and writes the printer
// stream to standard output, as a CUPS filter does; so each job runs in a
// child process of the app (the program itself, started with
// kCoreJobCommand), which sets that state up from the job and calls the
// core's roads, exactly as the filter's main does for a queue. The parent
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "child.h"
#include "common/io.h"
#include "filter/filter.h"
#include "identify/identify.h"
#include "monitor/monitor.h"
#include "output/output.h"
#include "paper/paper.h"
#include "pdfpath/pdfpath.h"

namespace mirelo_app {

namespace {

// The filter's refusal of a custom size outside the printable bounds; the
// same text the CUPS filter reports.
constexpr char kCustomSizeRefused[] =
    "ERROR: The current custom pager cannot be printed,please use the corrent paper\n";

const char* FamilyName(Family family) {
  switch (family) {
    case Family::kFinch: return "finch";
    case Family::kHeron: return "Heron";
    default: return "plain";
  }
}

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

// The collate request of a finch job, as the filter reads it: "collate"
// anywhere in the options, letter case aside, and no "noCollate".
bool AsksForCollate(const char* options) {
  return strcasestr(options, "collate") && !strcasestr(options, "noCollate");
}

int CopyCount(const char* text) {
  long value = strtol(text, nullptr, 10);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

}  // namespace

bool WriteCoreJob(const CoreJob& job, const WriteFn& write, const CanceledFn& canceled,
                  const LogFn& log, bool* canceled_at_device) {
  if (canceled_at_device) *canceled_at_device = false;
  Pipe out, err;
  if (!out.Open() || !err.Open()) {
    log(std::string("Unable to create a pipe: ") + strerror(errno));
    return false;
  }
  Command command;
  command.argv = {"/proc/self/exe", kCoreJobCommand, FamilyName(job.family), job.queue, job.job_id,
                  job.user, job.title, job.copies, job.options, job.file};
  command.env = {"PPD=" + job.ppd, "DEVICE_URI=" + job.device_uri};
  std::string why;
  pid_t pid = StartProgram(command, -1, out.write.get(), err.write.get(), &why);
  out.write.reset();
  err.write.reset();
  if (pid < 0) {
    log(why);
    return false;
  }

  LineSplitter lines(log);
  bool term_sent = false, forwarding = true;
  char buf[65536];
  pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (!term_sent && canceled()) {
      kill(pid, SIGTERM);
      term_sent = true;
    }
    int n = poll(fds, 2, 200);
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
      } else if (forwarding && !write(buf, static_cast<size_t>(got))) {
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
  if (!ok) log(why);
  return ok && forwarding;
}

bool CoreSupportsDevice(const char* device_id) {
  bool finch = false;
  return device_id && *device_id && isSupportPrinter(device_id, true, &finch);
}

int CoreJobMain(int argc, char* argv[]) {
  // argv: program, command, family, then the filter's queue, job id, user,
  // title, copies, options and file.
  if (argc != 10) {
    mirelo::ErrWrite("ERROR: The job process takes a family and seven job arguments.\n");
    return 2;
  }
  setvbuf(stderr, nullptr, _IONBF, 0);
  struct sigaction sa = {};
  sa.sa_handler = cancel_job;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The printer to watch is the job's own: the app's queues are not CUPS's.
  g_buriFromEnvironment = true;
  const std::string family = argv[2];
  // PAPPL has claimed a USB printer's interface for the job, so the finch
  // watch's status request could only fail, once a second: no watch there.
  const char* device_uri = getenv("DEVICE_URI");
  if (family == "finch" && device_uri && IsUsbUri(device_uri)) setenv("DEVICE_URI", "", 1);
  char* const* fargv = argv + 3;
  char print_path[kPrintPathSize] = {};
  if (!mirelo::CopyText(print_path, sizeof(print_path), fargv[6])) {
    mirelo::ErrWrite("ERROR: The input file name is too long.\n");
    return 1;
  }

  if (family == "finch") {
    isfinch = true;
    checkmediasize(fargv, &width, &height);
    if (AsksForCollate(fargv[5])) {
      iscollate = true;
      copies = CopyCount(fargv[4]);
    }
    if (!isSupportCustomPageSize(fargv[5], print_path)) {
      mirelo::ErrWrite(kCustomSizeRefused);
      return 1;
    }
    if (isA5PageSize(fargv[5], print_path)) isA5Page = true;
  }
  if (family != "Heron") {
    WritePSdataToStdout(fargv, print_path);
    return g_bcanceledAtPrinter.load() ? kCanceledAtDeviceStatus : 0;
  }

  CreatRotateDuplex(fargv, print_path);
  int converted = pdf2ps(print_path, fargv);
  if (converted == 1) {
    Creatpthread(fargv);
    WritePrintFileToStdout(print_path);
  } else if (converted < 0) {
    mirelo::ErrWrite("DEBUG: fail to change file from pdf to ps.\n");
  }
  Waitpthread();
  return converted == 1 ? 0 : 1;
}

}  // namespace mirelo_app
