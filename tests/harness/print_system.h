// SPDX-License-Identifier: Apache-2.0
// Test support: the whole print path under a private scheduler. A
// CupsScheduler with the built filter, the test backend (mtest:, which plays
// the printer: it answers the device ID request and stores the job) and the
// generated PPDs (lpinfo -m lists them as mirelo/<file>.ppd); queues made
// with lpadmin; jobs submitted with lp and followed with lpstat. The
// scheduler and everything it starts run in a network namespace of their
// own, so nothing they do can reach another machine or the system's CUPS.
#pragma once

#include <string>
#include <vector>

#include "harness/scheduler.h"

namespace mtest {

struct QueueSpec {
  std::string name;
  std::string ppd;        // path of the queue's PPD
  std::string device_id;  // what the printer answers to the device ID request
  int delay_ms = 0;       // a slow printer: pause after every 1024 bytes
};

// The state of a job, as the scheduler and lpstat report it.
struct JobReport {
  int state = 0;            // IPP job-state: 3 pending ... 6 stopped, 7 canceled, 8 aborted, 9 completed
  bool completed = false;   // listed by lpstat -W completed -o (completed, canceled or aborted)
  std::string long_status;  // lpstat -l -W all -o <queue> lines of the job
};

class PrintSystem {
 public:
  // Starts the scheduler; false with the reason when it cannot run here
  // (not root, no cupsd, no network namespace).
  bool Start(std::string* why);
  void Stop() { sched_.Stop(); }
  CupsScheduler& Scheduler() { return sched_; }
  const CupsScheduler& Scheduler() const { return sched_; }

  // lpadmin -p name -E -v mtest:/... -P ppd; true when it worked.
  bool AddQueue(const QueueSpec& queue, std::string* err = nullptr);

  // lp -d queue <lp_args...> file; the job id, or -1 with lp's message.
  int Submit(const std::string& queue, const std::string& file, const std::vector<std::string>& lp_args = {},
             std::string* err = nullptr);
  // The job's IPP job-state (0 when the scheduler does not know it).
  int JobState(const std::string& queue, int job) const;
  // Waits until the job is no longer pending or processing (a job whose
  // filter failed ends stopped); false when it still is after timeout seconds.
  bool WaitDone(const std::string& queue, int job, double timeout = 60) const;
  // Waits until the backend has started storing the job (its file exists
  // and holds at least min_bytes).
  bool WaitPrinting(const std::string& queue, int job, size_t min_bytes, double timeout = 30) const;
  // cancel <job>; its exit code.
  int Cancel(int job) const;

  JobReport Report(const std::string& queue, int job) const;
  // What reached the printer for the job; empty when nothing did.
  std::string Output(const std::string& queue, int job) const;
  std::string OutputPath(const std::string& queue, int job) const;
  bool PrinterSawJob(const std::string& queue, int job) const;
  // The device ID requests the backend answered for the job, -1 when unknown.
  int DeviceIdRequests(const std::string& queue, int job) const;

  // The pages the scheduler's page_log counts for the job: the number of its
  // "total" line, -1 when there is none (yet).
  long PageLogTotal(const std::string& queue, int job) const;

  // lpinfo -m; its output.
  std::string ListModels() const;

 private:
  std::string OutDir() const { return sched_.Dir() + "/printed"; }
  CupsScheduler sched_;
};

// The device ID a printer of the product list answers with.
std::string PrinterDeviceId(const std::string& model);
// The generated PPD of a model, e.g. "Mirelo F4200DN".
std::string GeneratedPpd(const std::string& model);

// The PostScript jobs inside a printer stream: every stretch between PJL
// Universal Exit Language commands, from its "%!" on, without a closing
// Ctrl-D. A stream holds more than one when the spooler or the filter sent
// the job once per copy.
std::vector<std::string> PostScriptParts(const std::string& stream);
// The copy count a PostScript job asks the printer for in its copy-count
// block ("%RBIBeginNonPPDFeature: *NumCopies N"); 1 when it has none.
int DeviceCopies(const std::string& ps);
// The page numbers of the demo pages ("Page N of M") that Ghostscript finds
// in a PostScript or PDF file, in the order it renders them.
std::vector<int> RenderedPageNumbers(const std::string& file);

}  // namespace mtest
