// SPDX-License-Identifier: Apache-2.0
// Printer link monitoring, as the driver and the writer see it: the cancel
// monitor of the finch roads, which asks the printer whether the job was
// cancelled at its panel, and the keep-alive thread of the Heron road. The
// monitor starts and owns both threads.
#pragma once

#include <pthread.h>

#include <atomic>

#include "job/job.h"

// The threads' own state. All zero when the process starts.
extern pthread_t dummy_thread;         // keep-alive thread, 0 when none runs
extern std::atomic<bool> g_bdummyEnd;  // asks the keep-alive thread to end
extern pthread_t status_thread;        // cancel monitor thread, 0 when none
extern int err_thread;                 // result of starting the cancel monitor

namespace mirelo {

// Creatpthread for the job's printer.
void StartKeepAlive(const Job& job);

// Starts the cancel monitor of a finch job, once per process: finds the
// printer (the queue's device URI among the CUPS destinations, or the job's
// DEVICE_URI when job.watch_device_uri is set), logs what it will watch,
// and starts the thread, which is never joined. host is this host's name,
// the job owner the printer reports.
void StartCancelWatch(const Job& job, const char* host);

// True once the cancel monitor has seen the printer report the job
// cancelled at its panel (then it has raised job_canceled too).
bool CanceledAtPrinter();

}  // namespace mirelo
