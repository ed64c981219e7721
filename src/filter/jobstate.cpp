// SPDX-License-Identifier: Apache-2.0
// The process-wide job state and the SIGTERM handler.
#include <cerrno>
#include <unistd.h>

#include "filter/filter.h"

std::atomic<int> job_canceled{0};
bool isfinch = false;
int width = 0;
int height = 0;
bool iscollate = false;
bool isA5Page = false;
int copies = 0;
pthread_t dummy_thread = 0;
std::atomic<bool> g_bdummyEnd{false};
pthread_t status_thread = 0;
int err_thread = 0;
bool g_bownPrintFile = false;

static_assert(std::atomic<int>::is_always_lock_free, "job_canceled is set from a signal handler");

void cancel_job(int /*sig*/) {
  static const char kLine[] = "cancel_job =1\n";
  job_canceled.store(1);
  // write(2) is async-signal-safe; errno is kept for the interrupted code.
  int saved = errno;
  ssize_t ignored = write(2, kLine, sizeof(kLine) - 1);
  (void)ignored;
  errno = saved;
}
