// SPDX-License-Identifier: Apache-2.0
// mirelops: the CUPS filter for the Mirelo PostScript laser printers.
//
// The scheduler starts it once per job as the last filter of the queue:
//   mirelops job-id user title copies options [file]
// with PPD and DEVICE_URI in the environment and the backend on the side
// channel. It checks that the printer is a supported model, takes the job,
// runs the finch paper checks, and sends the printer-ready stream to
// standard output: plain and finch models through the PostScript writer,
// Heron models (PDF in) through rotation, conversion and the print-file copy.
#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "common/io.h"
#include "filter/filter.h"
#include "identify/identify.h"
#include "monitor/monitor.h"
#include "output/output.h"
#include "output/pages.h"
#include "paper/paper.h"
#include "pdfpath/pdfpath.h"

// Exported by libcups but missing from the headers it installs: writes
// "<prefix>:<localized message>: <strerror(errno)>\n" to standard error.
extern "C" void _cupsLangPrintError(const char* prefix, const char* message);

namespace {

constexpr char kUnsupportedPrinter[] = "当前打印机不可打印，请使用正确的打印机\n";
constexpr char kCustomSizeRefused[] =
    "The current custom pager cannot be printed,please use the corrent paper\n";

// A refusal the user sees as the job's error: one second's pause, then the
// ERROR line. Returns the exit status 1, for main to return (so that the
// job's files are removed on the way out).
int Refuse(const char* message) {
  sleep(1);
  _cupsLangPrintError("ERROR", message);
  return 1;
}

// The exit status of a job that ran its course: 1 when it could not be
// printed whole (an ERROR line said why), 0 when it was printed, or
// cancelled, or the printer connection closed (the backend reports that).
int JobExitStatus() {
  if (job_canceled.load()) return 0;
  return g_bjobFailed.load() || mirelo::OutputFailed() ? 1 : 0;
}

// Removes, when the job ends however it ends, the print file that the
// filter made itself (the spool file or a file of the Heron road); never
// the file that the scheduler named in argument 6.
class OwnPrintFileRemover {
 public:
  explicit OwnPrintFileRemover(const char* path) : path_(path) {}
  ~OwnPrintFileRemover() {
    if (g_bownPrintFile && path_[0] != '\0') unlink(path_);
  }
  OwnPrintFileRemover(const OwnPrintFileRemover&) = delete;
  OwnPrintFileRemover& operator=(const OwnPrintFileRemover&) = delete;

 private:
  const char* path_;
};

// Holds the side channel's stand-in for a cancel for the job's life.
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
// a true Collate option (a bare "Collate" or "collate" included; "noCollate"
// parses as Collate=false), or the IPP attribute asking for collated copies.
// The word inside another option's value, a document name for instance,
// asks for nothing.
bool AsksForCollate(const char* options) {
  mirelo::CupsOptions parsed(options);
  if (const char* collate = parsed.Get("Collate"); collate && IsTrue(collate)) return true;
  const char* handling = parsed.Get("multiple-document-handling");
  return handling && strcasecmp(handling, "separate-documents-collated-copies") == 0;
}

// The copies argument read as atoi reads it (leading blanks and sign, then
// digits; 0 when there are none), held to the range of an int instead of
// overflowing.
int CopyCount(const char* text) {
  long value = strtol(text, nullptr, 10);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

}  // namespace

int main(int argc, char* argv[]) {
  char device_id[kDeviceIdSize] = {};
  int device_id_len = kDeviceIdSize - 1;
  char print_path[kPrintPathSize] = {};
  OwnPrintFileRemover remover(print_path);
  mirelo::PageIndex spool_pages;

  // Closed standard descriptors would be taken by the first files opened:
  // the log would end up in the spool file and so in the printed job.
  mirelo::OpenStandardDescriptors();
  setvbuf(stderr, nullptr, _IONBF, 0);

  if (argc < 6 || argc > 7) {
    mirelo::ErrPrintf("ERROR: Usage: %s job-id user title copies options [file]\n",
                      argc > 0 ? argv[0] : "mirelops");
    return 1;
  }

  SideChannelCancel side_channel_cancel;
  InstallSignalHandlers();

  bool have_device_id = query1284info(device_id, &device_id_len);
  if (!isSupportPrinter(device_id, have_device_id, &isfinch)) return Refuse(kUnsupportedPrinter);

  if (argc == 6) {
    // Only the plain road sends the spool file as it is: its pages are
    // counted on the way in.
    Copy_StdinToTempFile(print_path, isfinch ? nullptr : &spool_pages);
    g_bownPrintFile = print_path[0] != '\0';
    // Nothing to print: the spooling said why.
    if (!g_bownPrintFile) return JobExitStatus();
  } else if (!mirelo::CopyText(print_path, sizeof(print_path), argv[6])) {
    // Never cut the name: a shortened name may be another file.
    mirelo::ErrPrintf("ERROR: The input file name is too long (%zu bytes, at most %zu).\n",
                      strlen(argv[6]), sizeof(print_path) - 1);
    return 1;
  }

  if (isfinch) {
    const char* options = argv[5];
    checkmediasize(argv, &width, &height);
    if (AsksForCollate(options)) {
      iscollate = true;
      copies = CopyCount(argv[4]);
    }
    if (!isSupportCustomPageSize(options, print_path)) return Refuse(kCustomSizeRefused);
    if (isA5PageSize(options, print_path)) isA5Page = true;
  }

  // The second query goes in with the length the first one left.
  have_device_id = query1284info(device_id, &device_id_len);
  if (!isHeronPrinter(device_id, have_device_id)) {
    WritePSdataToStdout(argv, print_path, &spool_pages);
    return JobExitStatus();
  }

  // A cancelled job starts no further stage: a rotation or a conversion of
  // the whole document would only be thrown away.
  int converted = 0;
  if (!job_canceled.load()) CreatRotateDuplex(argv, print_path);
  if (!job_canceled.load()) converted = pdf2ps(print_path, argv);
  if (converted == 1) {
    Creatpthread(argv);
    WritePrintFileToStdout(print_path);
  } else if (converted < 0) {
    mirelo::ErrWrite("DEBUG: fail to change file from pdf to ps.\n");
    mirelo::ErrWrite("ERROR: Unable to convert the PDF job to PostScript; nothing is printed.\n");
    g_bjobFailed.store(true);
  } else {
    mirelo::ErrWrite("DEBUG: The job is cancelled; it is not converted.\n");
  }
  Waitpthread();
  return JobExitStatus();
}
