// SPDX-License-Identifier: Apache-2.0
// A guard for PAPPL 1.3.1's job start. PAPPL reads the printer's processing
// job before it takes the printer's lock and marks a job processing only once
// the job's own thread runs, so that two threads that check the printer's
// jobs at once (a job ending as another arrives, or is released) each start
// one: the same pending job twice, or two jobs of one printer at once. Two
// jobs at once share PAPPL's one device of the printer, and the first to end
// lets the status check replace it while the other still prints (the
// replaced device, its connection to the printer with it, is never closed).
// PAPPL starts every job's thread at its exported _papplJobProcess, through
// the library's GOT: the definition below, found in the program first, lets
// one thread of a pending job through and ends any other at once, and runs
// one job of a printer at a time: a job whose printer is busy waits for the
// job before it to end, then runs if it is still pending.
#include "job-start-guard.h"

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_set>

#include "device.h"

namespace {

using JobProcessFn = void* (*)(pappl_job_t*);

std::mutex g_mu;
std::condition_variable g_freed;
std::unordered_set<long long> g_jobs;  // the jobs that have a thread: Key()
std::unordered_set<int> g_printers;    // ids of the printers a job runs on
bool g_stopping = false;               // the system is being deleted
int g_looking = 0;                     // threads looking their job up

// A job by its printer's id and its own (job ids count per printer).
long long Key(int printer_id, int job_id) { return static_cast<long long>(printer_id) << 32 | job_id; }

}  // namespace

extern "C" void* _papplJobProcess(pappl_job_t* job) {
  static const auto real = reinterpret_cast<JobProcessFn>(dlsym(RTLD_NEXT, "_papplJobProcess"));
  // Ids, not pointers, while a thread waits: the job or its printer may be
  // deleted meanwhile.
  pappl_printer_t* printer = papplJobGetPrinter(job);
  pappl_system_t* system = papplPrinterGetSystem(printer);
  const int job_id = papplJobGetID(job), printer_id = papplPrinterGetID(printer);
  {
    std::unique_lock<std::mutex> lock(g_mu);
    // A later thread finds the job running, or no longer pending.
    if (!real || papplJobGetState(job) != IPP_JSTATE_PENDING ||
        !g_jobs.insert(Key(printer_id, job_id)).second)
      return nullptr;
    g_freed.wait(lock, [&] { return g_stopping || !g_printers.count(printer_id); });
    if (g_stopping) {
      g_jobs.erase(Key(printer_id, job_id));
      return nullptr;
    }
    g_printers.insert(printer_id);
    ++g_looking;
  }
  // The job as it is now: cancelled, held or deleted while it waited, it
  // does not run.
  printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr);
  job = printer ? papplPrinterFindJob(printer, job_id) : nullptr;
  bool run = job && papplJobGetState(job) == IPP_JSTATE_PENDING;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    --g_looking;
    g_freed.notify_all();
    run = run && !g_stopping;
  }
  mirelo_app::SetJobThread(true);
  void* result = run ? real(job) : nullptr;
  mirelo_app::SetJobThread(false);
  std::lock_guard<std::mutex> lock(g_mu);
  g_jobs.erase(Key(printer_id, job_id));
  g_printers.erase(printer_id);
  g_freed.notify_all();
  return result;
}

// PAPPL's main loop deletes the system when it stops, after its jobs have
// ended or 60 seconds on: a thread still waiting for its printer then ends
// without looking at the system, and the delete waits (a moment at most) for
// a thread that is looking its job up.
extern "C" void papplSystemDelete(pappl_system_t* system) {
  static const auto real = reinterpret_cast<decltype(&papplSystemDelete)>(
      dlsym(RTLD_NEXT, "papplSystemDelete"));
  {
    std::unique_lock<std::mutex> lock(g_mu);
    g_stopping = true;
    g_freed.notify_all();
    g_freed.wait_for(lock, std::chrono::seconds(2), [] { return g_looking == 0; });
  }
  if (real) real(system);
}
