// SPDX-License-Identifier: Apache-2.0
// The job: the process-wide job state that the SIGTERM handler and the
// threads share with the main thread, the buffer sizes of the job, and the
// job record that the stages are handed. Every layer may include this
// header; it includes nothing of the project but common/.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "common/io.h"

// Size of the print-file path buffer: at most 511 characters and a
// terminating NUL.
inline constexpr size_t kPrintPathSize = 512;

// Size of the device ID buffer; the capacity handed to a query is one less.
inline constexpr size_t kDeviceIdSize = 512;

// Job state. All zero when the process starts, never reset during the job.
// The flags shared with the SIGTERM handler and the monitoring threads are
// atomic: each only ever goes from 0 to 1, and every poll reads it afresh.
// The job record below is what the stages read. The finch flags are the
// fixed entry points' (job/entry-points.h): their callers set them, and the
// adapters build the record from them; RunJob leaves them as they are.
extern std::atomic<int> job_canceled;  // the job is cancelled (SIGTERM or the printer)
extern bool isfinch;                   // the printer is a finch model
extern int width;                      // page width in points (finch), 0 when not set
extern int height;                     // page length in points (finch), 0 when not set
extern bool iscollate;                 // the job asks for collated copies (finch)
extern bool isA5Page;                  // A5 fed long edge first (finch)
extern int copies;                     // collated copies to make, set with iscollate

// SIGTERM handler: raises job_canceled and writes "cancel_job =1\n". Only
// async-signal-safe work. Once PrepareSideChannelCancel has run, a cancel
// that comes while a device ID request waits for the backend (between
// BeginSideChannelWait and EndSideChannelWait) also puts /dev/null in the
// place of the side channel, so that the wait ends at once; a cancel at any
// other moment leaves the side channel to the backend.
void cancel_job(int sig);

// Called once before the SIGTERM handler is installed: when the side
// channel is open, keeps a descriptor of /dev/null for the handler.
void PrepareSideChannelCancel();

// Closes the descriptor that PrepareSideChannelCancel kept; a cancel after
// this leaves the side channel as it is.
void EndSideChannelCancel();

namespace mirelo {

// Around one device ID request: while it waits for the backend a cancel
// ends the wait. EndSideChannelWait returns true when a cancel has taken
// the side channel away (during this request or an earlier one): a request
// that failed then was cut short by the cancel, and tells nothing of the
// printer.
void BeginSideChannelWait();
bool EndSideChannelWait();

// Blocks SIGTERM on the calling thread while it lives. A thread started
// meanwhile keeps it blocked, so that the job's cancel always reaches the
// main thread, which sends the job: a wait of the main thread for its
// reader then ends at once.
class SigtermBlocked {
 public:
  SigtermBlocked();
  ~SigtermBlocked();
  SigtermBlocked(const SigtermBlocked&) = delete;
  SigtermBlocked& operator=(const SigtermBlocked&) = delete;

 private:
  sigset_t old_;
};

// The printer families: plain models get the job as it is, finch models the
// paper checks, tags, rewriting and the filter's collated copies, Heron
// models the PDF road.
enum class Family { kPlain, kFinch, kHeron };

// How a job ended, or one of its stages (the spool, the writer, the
// print-file send, the Heron road); the core makes the job's outcome of its
// stages'.
enum class Outcome {
  kPrinted,       // sent whole; for a stage before the roads: done
  kFailed,        // not printed, or not whole, through no cancel: an ERROR line said why
  kStreamClosed,  // the printer stream's reader is gone (the backend reports that)
  kCanceled,      // the job was cancelled
};

// The exit status of a job's outcome: 1 when it failed, 0 when it was
// printed, cancelled, or the printer connection closed.
int ExitStatus(Outcome outcome);

// The print file of the job: the file that the scheduler named (never
// removed), or a file the filter made itself (the spool file, or the output
// of a stage of the PDF road), which is removed when it is replaced and when
// the owner goes, however the job ends.
class PrintFile {
 public:
  PrintFile() = default;
  ~PrintFile() { Reset(); }
  PrintFile(const PrintFile&) = delete;
  PrintFile& operator=(const PrintFile&) = delete;

  // The scheduler's file. False, with nothing set, when the name is longer
  // than 511 characters: a shortened name may be another file.
  bool SetScheduler(const char* path);
  // The filter's own file takes the place of the print file (the one before
  // it is removed when it was the filter's own).
  void Adopt(TempFile* file);
  // The same for a file of the filter's own known by its name alone.
  void AdoptPath(const char* path);
  // Forgets the file without removing it; the caller owns a file of the
  // filter's from now on.
  void Release() { own_ = false; }

  const char* path() const { return path_; }
  bool own() const { return own_; }

 private:
  void Reset();

  char path_[kPrintPathSize] = {};
  bool own_ = false;
};

// The arguments a front end hands over for one job: those of a CUPS filter
// (queue, job id, user, title, copies, options and the file; no file: the
// job comes on standard input).
struct JobArguments {
  const char* queue = "";
  const char* job_id = "";
  const char* user = "";
  const char* title = "";
  const char* copies = "";
  const char* options = "";
  const char* file = nullptr;
};

// The arguments of a CUPS filter's argument vector: queue, job id, user,
// title, copies, options and, when argc is 7, the file. argc is 6 or 7.
JobArguments FilterArguments(int argc, char* const argv[]);

// One job, built once from the arguments, the environment and the PPD; the
// stages take what they need of it.
struct Job {
  explicit Job(const JobArguments& args);
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  bool finch() const { return family == Family::kFinch; }

  std::string queue;
  std::string job_id;
  std::string user;
  std::string title;
  std::string copies_text;   // argument 4 as given
  std::string options_text;  // argument 5 as given
  CupsOptions options;       // argument 5, parsed once
  UniquePpd ppd;             // the queue's PPD (environment PPD), opened once; null without one
  std::string device_uri;    // DEVICE_URI; empty when unset
  bool have_device_uri = false;
  // The cancel monitor asks the printer of device_uri instead of looking the
  // queue up among the CUPS destinations (a front end whose printers CUPS
  // does not know).
  bool watch_device_uri = false;

  PrintFile print_file;

  // The device ID as the backend answered, and the length a next query goes
  // in with (the one the last query left).
  char device_id[kDeviceIdSize] = {};
  int device_id_len = kDeviceIdSize - 1;
  bool have_device_id = false;  // the last query's answer was a device ID

  Family family = Family::kPlain;
  // Finch only: the page size of the PageSize option in whole points (0 when
  // not set), collated copies made by the filter, A5 fed long edge first.
  int width = 0;
  int height = 0;
  bool collate = false;
  int copies = 0;
  bool a5 = false;

  // Polled by the writers before every line or chunk.
  const std::atomic<int>& canceled = job_canceled;
};

}  // namespace mirelo
