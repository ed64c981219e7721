// SPDX-License-Identifier: Apache-2.0
// The printer stream: complete writes to its sink, reported once when they
// fail, the kernel's send of a file into it and the growth of its pipe.
#include "stream/stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/io.h"

namespace mirelo {

namespace {

// The descriptor the stream goes to.
std::atomic<int> sink{1};
std::atomic<bool> output_closed{false};
std::atomic<bool> output_failed{false};
// The sink is a pipe: 1 yes, 0 no, -1 not looked at yet.
std::atomic<int> output_is_pipe{-1};

bool OutputIsPipe() {
  int known = output_is_pipe.load();
  if (known < 0) {
    struct stat st;
    known = fstat(sink.load(), &st) == 0 && S_ISFIFO(st.st_mode) ? 1 : 0;
    output_is_pipe.store(known);
  }
  return known == 1;
}

}  // namespace

void SetOutputSink(int fd) {
  sink.store(fd);
  output_closed.store(false);
  output_failed.store(false);
  output_is_pipe.store(-1);
}

bool OutWrite(const void* buf, size_t len) {
  if (output_closed.load()) return false;
  errno = 0;
  if (WriteAll(sink.load(), buf, len) == len) return true;
  int e = errno ? errno : EIO;
  // A stream that lost bytes is never continued: what followed would reach
  // the printer as a corrupt job. Reported once, whatever the error.
  if (!output_closed.exchange(true)) {
    if (e == EPIPE) {
      ErrWrite("ERROR: Unable to write print data: the printer connection is closed (Broken pipe); the rest "
               "of the job is not sent.\n");
    } else {
      output_failed.store(true);
      ErrPrintf("ERROR: Unable to write print data: %s; the rest of the job is not sent.\n", strerror(e));
    }
  }
  errno = e;
  return false;
}

bool OutputClosed() { return output_closed.load(); }

bool OutputFailed() { return output_failed.load(); }

size_t OutSendFile(int fd, long long* offset, size_t len, bool* refused, const std::atomic<int>* stop) {
  *refused = false;
  if (output_closed.load() || len == 0) return 0;
  const int out = sink.load();
  const bool to_pipe = OutputIsPipe();
  bool waited = false;  // the pipe had room when it was last looked at
  for (;;) {
    // Into a pipe the kernel moves what it has room for without waiting: a
    // wait for room is the filter's own, which a signal ends.
    loff_t from = static_cast<loff_t>(*offset);
    off_t at = static_cast<off_t>(*offset);
    ssize_t n = to_pipe ? splice(fd, &from, out, nullptr, len, SPLICE_F_NONBLOCK)
                        : sendfile(out, fd, &at, len);
    if (n > 0) {
      *offset += n;
      return static_cast<size_t>(n);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && to_pipe && !waited) {
      struct pollfd room = {out, POLLOUT, 0};
      int ready = poll(&room, 1, -1);
      if (stop && stop->load()) return 0;
      // A signal that asked for nothing: wait again.
      waited = ready > 0;
      continue;
    }
    // EAGAIN although the pipe has room: this file is not moved by the
    // kernel; the caller writes it.
    *refused = n < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EAGAIN);
    return 0;
  }
}

void GrowOutputPipe(size_t bytes) {
  // Linux makes every pipe with 16 pages.
  const long default_size = 16 * sysconf(_SC_PAGESIZE);
  const int out = sink.load();
  int now = fcntl(out, F_GETPIPE_SZ);
  if (now < default_size || static_cast<size_t>(now) >= bytes) return;
  fcntl(out, F_SETPIPE_SZ, static_cast<int>(bytes));
}

}  // namespace mirelo
