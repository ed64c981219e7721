// SPDX-License-Identifier: Apache-2.0
// A guard for PAPPL 1.3.1's job start. When a job arrives just as the
// printer's previous job ends, two threads check the printer's jobs at once;
// each finds the new job still pending (the job's own thread marks it
// processing only once it runs) and starts a thread for it, so that the job
// is printed twice at once and finished twice. PAPPL starts every job's
// thread at its exported _papplJobProcess, through the library's GOT: the
// definition below, found in the program first, lets one thread of a pending
// job through and ends any other at once.
#include "job-start-guard.h"

#include <dlfcn.h>

#include <mutex>
#include <unordered_set>

namespace {

using JobProcessFn = void* (*)(pappl_job_t*);

std::mutex g_mu;
std::unordered_set<pappl_job_t*> g_running;  // jobs whose thread runs

}  // namespace

extern "C" void* _papplJobProcess(pappl_job_t* job) {
  static const auto real = reinterpret_cast<JobProcessFn>(dlsym(RTLD_NEXT, "_papplJobProcess"));
  {
    // A later thread finds the job running, or no longer pending.
    std::lock_guard<std::mutex> lock(g_mu);
    if (!real || papplJobGetState(job) != IPP_JSTATE_PENDING || !g_running.insert(job).second) return nullptr;
  }
  void* result = real(job);
  std::lock_guard<std::mutex> lock(g_mu);
  g_running.erase(job);
  return result;
}
