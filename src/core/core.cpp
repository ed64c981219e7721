// SPDX-License-Identifier: Apache-2.0
// The flow of one job: printer identified, input taken, finch checks done,
// family decided, output written.
#include "core/core.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "common/io.h"
#include "identify/identify.h"
#include "job/entry-points.h"
#include "monitor/monitor.h"
#include "output/output.h"
#include "paper/paper.h"
#include "pdfpath/pdfpath.h"
#include "spool/spool.h"
#include "stream/pages.h"

// Exported by libcups but missing from the headers it installs: writes
// "<prefix>:<localized message>: <strerror(errno)>\n" to standard error.
extern "C" void _cupsLangPrintError(const char* prefix, const char* message);

namespace mirelo {

namespace {

constexpr char kUnsupportedPrinter[] = "当前打印机不可打印，请使用正确的打印机\n";
constexpr char kCustomSizeRefused[] =
    "The current custom pager cannot be printed,please use the corrent paper\n";

// A refusal the user sees as the job's error: one second's pause, then the
// ERROR line. A failure even when the job is cancelled meanwhile (the job's
// files are removed on the way out).
Outcome Refuse(const char* message) {
  sleep(1);
  _cupsLangPrintError("ERROR", message);
  return Outcome::kFailed;
}

// The outcome of a job that ran its course, from that of its last stage: a
// cancelled job ends as cancelled, whatever else went wrong.
Outcome Finish(const Job& job, Outcome last) { return job.canceled.load() ? Outcome::kCanceled : last; }

// Holds the side channel's stand-in for a cancel for the job's life; a
// cancel puts it in place only while a device ID request waits.
class SideChannelCancel {
 public:
  SideChannelCancel() { PrepareSideChannelCancel(); }
  ~SideChannelCancel() { EndSideChannelCancel(); }
  SideChannelCancel(const SideChannelCancel&) = delete;
  SideChannelCancel& operator=(const SideChannelCancel&) = delete;
};

void InstallSignalHandlers() {
  // SIGTERM cancels the job at the next page boundary; interrupted reads and
  // writes resume.
  struct sigaction sa = {};
  sa.sa_handler = cancel_job;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);

  // A closed standard output or side channel shows as EPIPE on the write
  // that meets it, and is reported there, instead of ending the process.
  signal(SIGPIPE, SIG_IGN);
}

// A true value of a boolean job option, as CUPS' own filters read one.
bool IsTrue(const char* value) {
  return strcasecmp(value, "true") == 0 || strcasecmp(value, "yes") == 0 || strcasecmp(value, "on") == 0;
}

// The collate request of a finch job, from the options as CUPS parses them:
// a true Collate option (a bare "Collate" or "collate" included), or, when
// there is no Collate option, the IPP attribute asking for collated copies.
// A false one ("noCollate" parses as Collate=false) asks for nothing,
// whatever multiple-document-handling says; nor does the word inside
// another option's value, a document name for instance.
bool AsksForCollate(const CupsOptions& options) {
  if (const char* collate = options.Get("Collate")) return IsTrue(collate);
  const char* handling = options.Get("multiple-document-handling");
  return handling && strcasecmp(handling, "separate-documents-collated-copies") == 0;
}

// The copies argument read as atoi reads it (leading blanks and sign, then
// digits; 0 when there are none), held to the range of an int instead of
// overflowing.
int CopyCount(const std::string& text) {
  long value = strtol(text.c_str(), nullptr, 10);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// The finch checks, before anything is sent: page size, collate, custom
// size bounds, A5. False when the custom size is refused.
bool FinchChecks(Job* job) {
  PageSizeOf(job->options, job->ppd.get(), &job->width, &job->height);
  if (AsksForCollate(job->options)) {
    job->collate = true;
    job->copies = CopyCount(job->copies_text);
  }
  if (!CustomSizeFits(job->options, job->print_file.path())) return false;
  if (IsA5LongEdge(job->options, job->ppd.get(), job->print_file.path())) job->a5 = true;
  return true;
}

// The Heron road: back sides turned, the PDF converted, the print file
// copied with the keep-alive thread beside it. A cancelled job starts no
// further stage: a rotation or a conversion of the whole document would only
// be thrown away.
Outcome HeronRoad(Job* job) {
  int converted = 0;
  Outcome outcome = Outcome::kCanceled;
  if (!job->canceled.load()) RotateBackSides(job);
  if (!job->canceled.load()) converted = ConvertToPostScript(job);
  if (converted == 1) {
    {
      // The keep-alive thread never takes the cancel signal: the copy's wait
      // for its reader ends at once.
      SigtermBlocked blocked;
      StartKeepAlive(*job);
    }
    outcome = SendPrintFile(job->print_file.path(), job->canceled);
  } else if (converted < 0) {
    ErrWrite("DEBUG: fail to change file from pdf to ps.\n");
    ErrWrite("ERROR: Unable to convert the PDF job to PostScript; nothing is printed.\n");
    outcome = Outcome::kFailed;
  } else {
    ErrWrite("DEBUG: The job is cancelled; it is not converted.\n");
  }
  Waitpthread();
  return outcome;
}

// A print file that cannot be seeked (a FIFO, /dev/stdin on a pipe) would
// be consumed by the first stage that reads it: it is read once, in order,
// into a spool file of the filter's, which the stages then read. kFailed,
// with an ERROR line said, when it cannot be read. A file that cannot be
// opened is left to the stages, which say so.
Outcome TakeUnseekableFile(Job* job, PageIndex* pages) {
  UniqueFd fd(open(job->print_file.path(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() || lseek(fd.get(), 0, SEEK_CUR) >= 0 || errno != ESPIPE) return Outcome::kPrinted;
  std::string name = job->print_file.path();
  ErrPrintf("DEBUG: The print file \"%s\" cannot be seeked; it is read once into a spool file.\n",
            name.c_str());
  return SpoolFile(fd.get(), name.c_str(), &job->print_file, job->finch() ? nullptr : pages);
}

}  // namespace

Outcome RunJobOutcome(const JobArguments& args, const FrontEnd& front_end) {
  SideChannelCancel side_channel_cancel;
  InstallSignalHandlers();

  Job job(args);
  job.watch_device_uri = front_end.watch_device_uri;
  switch (IdentifyPrinter(&job)) {
    case Identified::kSupported:
      break;
    case Identified::kUnsupported:
      return Refuse(kUnsupportedPrinter);
    case Identified::kCanceled:
      ErrWrite("DEBUG: The job is cancelled before the printer answered; nothing is sent.\n");
      return Outcome::kCanceled;
  }

  PageIndex spool_pages;
  if (!args.file) {
    // Only the plain road sends the spool file as it is: its pages are
    // counted on the way in. Nothing to print: the spooling said why.
    Outcome spooled = SpoolStdin(&job.print_file, job.finch() ? nullptr : &spool_pages);
    if (spooled != Outcome::kPrinted) return Finish(job, spooled);
  } else if (!job.print_file.SetScheduler(args.file)) {
    // Never cut the name: a shortened name may be another file.
    ErrPrintf("ERROR: The input file name is too long (%zu bytes, at most %zu).\n", strlen(args.file),
              kPrintPathSize - 1);
    return Outcome::kFailed;
  } else if (Outcome taken = TakeUnseekableFile(&job, &spool_pages); taken != Outcome::kPrinted) {
    return Finish(job, taken);
  }

  if (job.finch() && !FinchChecks(&job)) return Refuse(kCustomSizeRefused);

  DecideHeron(&job);
  return Finish(job, job.family != Family::kHeron ? WritePostScript(job, &spool_pages) : HeronRoad(&job));
}

int RunJob(const JobArguments& args, const FrontEnd& front_end) {
  return ExitStatus(RunJobOutcome(args, front_end));
}

bool SupportsDeviceId(const char* device_id) {
  bool finch = false;
  return device_id && *device_id && IsSupportedModel(device_id, true, nullptr, &finch);
}

}  // namespace mirelo
