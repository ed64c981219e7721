// SPDX-License-Identifier: Apache-2.0
// The process-wide job state, the SIGTERM handler and the job record.
#include "job/job.h"

#include <cups/sidechannel.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

std::atomic<int> job_canceled{0};
bool isfinch = false;
int width = 0;
int height = 0;
bool iscollate = false;
bool isA5Page = false;
int copies = 0;

namespace {
// /dev/null, put over the side channel by a cancel; -1 when there is none.
std::atomic<int> g_side_channel_null{-1};
// A device ID request waits for the backend.
std::atomic<bool> g_side_channel_waiting{false};
// A cancel has put /dev/null over the side channel.
std::atomic<bool> g_side_channel_cut{false};
}  // namespace

static_assert(std::atomic<int>::is_always_lock_free, "job_canceled is set from a signal handler");
static_assert(std::atomic<bool>::is_always_lock_free, "the side channel flags are read in a signal handler");

void PrepareSideChannelCancel() {
  // Without a side channel descriptor 4 may later be any file of the filter's.
  if (fcntl(CUPS_SC_FD, F_GETFD) == -1) return;
  int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd >= 0) g_side_channel_null.store(fd);
}

void EndSideChannelCancel() {
  int fd = g_side_channel_null.exchange(-1);
  if (fd >= 0) close(fd);
}

void cancel_job(int /*sig*/) {
  static const char kLine[] = "cancel_job =1\n";
  job_canceled.store(1);
  // write(2) and dup2(2) are async-signal-safe; errno is kept for the
  // interrupted code. A wait for the backend in poll() is interrupted by
  // this signal; libcups polls again and finds /dev/null, which answers at
  // once with an end of file. Only a wait under way is ended so: a request
  // made later, when the job is cancelled, still gets the backend's answer.
  int saved = errno;
  int null_fd = g_side_channel_null.load();
  if (null_fd >= 0 && g_side_channel_waiting.load()) {
    dup2(null_fd, CUPS_SC_FD);
    g_side_channel_cut.store(true);
  }
  ssize_t ignored = write(2, kLine, sizeof(kLine) - 1);
  (void)ignored;
  errno = saved;
}

namespace mirelo {

void BeginSideChannelWait() { g_side_channel_waiting.store(true); }

bool EndSideChannelWait() {
  g_side_channel_waiting.store(false);
  return g_side_channel_cut.load();
}

SigtermBlocked::SigtermBlocked() {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old_);
}

SigtermBlocked::~SigtermBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

int ExitStatus(Outcome outcome) { return outcome == Outcome::kFailed ? 1 : 0; }

bool PrintFile::SetScheduler(const char* path) {
  Reset();
  if (CopyText(path_, sizeof(path_), path)) return true;
  path_[0] = '\0';
  return false;
}

void PrintFile::Adopt(TempFile* file) {
  Reset();
  CopyText(path_, sizeof(path_), file->path());
  own_ = file->owned();
  file->Release();
}

void PrintFile::AdoptPath(const char* path) {
  Reset();
  own_ = CopyText(path_, sizeof(path_), path);
  if (!own_) path_[0] = '\0';
}

void PrintFile::Reset() {
  if (own_ && path_[0] != '\0') unlink(path_);
  own_ = false;
  path_[0] = '\0';
}

JobArguments FilterArguments(int argc, char* const argv[]) {
  JobArguments args;
  args.queue = argv[0];
  args.job_id = argv[1];
  args.user = argv[2];
  args.title = argv[3];
  args.copies = argv[4];
  args.options = argv[5];
  args.file = argc == 7 ? argv[6] : nullptr;
  return args;
}

Job::Job(const JobArguments& args)
    : queue(args.queue ? args.queue : ""),
      job_id(args.job_id ? args.job_id : ""),
      user(args.user ? args.user : ""),
      title(args.title ? args.title : ""),
      copies_text(args.copies ? args.copies : ""),
      options_text(args.options ? args.options : ""),
      options(options_text.c_str()),
      ppd(OpenJobPpd()) {
  if (const char* uri = getenv("DEVICE_URI")) {
    device_uri = uri;
    have_device_uri = true;
  }
}

}  // namespace mirelo
