// SPDX-License-Identifier: Apache-2.0
// The job driver: the process-wide job state that every subsystem reads or
// writes, the SIGTERM handler, and the spooling of standard input.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>

namespace mirelo {
struct PageIndex;
}

// Size of the driver's print-file path buffer: at most 511 characters and a
// terminating NUL.
inline constexpr size_t kPrintPathSize = 512;

// Size of the device ID buffer; the capacity handed to a query is one less.
inline constexpr size_t kDeviceIdSize = 512;

// Job state. All zero when the process starts, never reset during the job.
// The flags shared with the SIGTERM handler and the monitoring threads are
// atomic: each only ever goes from 0 to 1, and every poll reads it afresh.
extern std::atomic<int> job_canceled;  // the job is cancelled (SIGTERM or the printer)
extern bool isfinch;                   // the printer is a finch model
extern int width;                      // page width in points (finch), 0 when not set
extern int height;                     // page length in points (finch), 0 when not set
extern bool iscollate;                 // the job asks for collated copies (finch)
extern bool isA5Page;                  // A5 fed long edge first (finch)
extern int copies;                     // collated copies to make, set with iscollate
extern pthread_t dummy_thread;         // keep-alive thread, 0 when none runs
extern std::atomic<bool> g_bdummyEnd;  // asks the keep-alive thread to end
extern pthread_t status_thread;        // cancel monitor thread, 0 when none
extern int err_thread;                 // result of starting the cancel monitor
// Set by the cancel monitor, before it raises job_canceled, when the printer
// reported the job cancelled at its panel.
extern std::atomic<bool> g_bcanceledAtPrinter;
// The finch cancel monitor asks the printer of DEVICE_URI instead of looking
// the queue (argument 0) up among the CUPS destinations. Set by the Printer
// Application's job process, whose printers CUPS does not know; main thread
// only, before the writer starts.
extern bool g_buriFromEnvironment;

// True while the print file is one the filter made itself (the spool file of
// standard input, or a file of the Heron road); false for the file that the
// scheduler named in argument 6, which the filter must never remove. Set by
// main after spooling and by the stages that replace the print file; main
// thread only.
extern bool g_bownPrintFile;

// Set when the job cannot be printed, or only cut short, through no cancel:
// an ERROR line has said why, and the filter ends with exit status 1 (unless
// the job was cancelled, which ends with 0 whatever else went wrong).
extern std::atomic<bool> g_bjobFailed;

// SIGTERM handler: raises job_canceled and writes "cancel_job =1\n". Only
// async-signal-safe work. Once PrepareSideChannelCancel has run, it also
// puts /dev/null in the place of the side channel, so that a device ID
// request that waits for the backend ends at once and a later one gets no
// answer without waiting.
void cancel_job(int sig);

// Called once before the SIGTERM handler is installed: when the side
// channel is open, keeps a descriptor of /dev/null for the handler.
void PrepareSideChannelCancel();

// Closes the descriptor that PrepareSideChannelCancel kept; a cancel after
// this leaves the side channel as it is.
void EndSideChannelCancel();

// Copies standard input into a new spool file and writes its path into path
// (kPrintPathSize bytes). Adds the end-of-job sequence when the input's end
// shows none. On failure path is left as it was. pages, when not null, gets
// the pages of the spool file, counted on the way.
void Copy_StdinToTempFile(char* path, mirelo::PageIndex* pages = nullptr);

// The end test of the spool: true when the text in chunk (up to its first
// NUL, at most size bytes) is 10 bytes or longer and holds no PJL Universal
// Exit Language, letter case ignored.
bool SpoolNeedsEndOfJob(const char* chunk, size_t size);
