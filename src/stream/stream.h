// SPDX-License-Identifier: Apache-2.0
// The printer stream: the job's bytes on their way to the printer, written
// in order to the stream's sink (standard output, descriptor 1, unless a
// test points it elsewhere), its state once the reader is gone or a write
// failed, the kernel's send of a file into it, the growth of its pipe, and
// the end-of-job sequence. The spool and the writers both stand on it.
#pragma once

#include <atomic>
#include <cstddef>

namespace mirelo {

// End-of-job sequence, 10 bytes: Ctrl-D, then ESC and "%-12345X" (PJL UEL).
inline constexpr char kEndOfJob[] = "\x04\x1b%-12345X";
inline constexpr size_t kEndOfJobLen = sizeof(kEndOfJob) - 1;
static_assert(kEndOfJobLen == 10);

// Every write goes straight to the sink in order, so a "flush" is implied.
// Returns true when all bytes went out. When the reader of the stream is
// gone (EPIPE), the loss is reported once and OutputClosed() turns true; the
// writers then stop sending. Any other write error is reported once as well
// and ends the stream the same way, and OutputFailed() turns true: the job
// did not reach the printer whole.
bool OutWrite(const void* buf, size_t len);
bool OutputClosed();
bool OutputFailed();

// Points the stream at the descriptor fd (the filter's is 1, standard
// output), as a fresh stream: neither closed nor failed. For the tests,
// which run the roads inside their own process; the caller owns fd.
void SetOutputSink(int fd);

// Sends up to len bytes of the file fd from *offset to the stream through
// the kernel (sendfile, or splice into a pipe), without copying them
// through the filter; returns the bytes sent (a pipe takes what it has room
// for) and moves *offset on by them. A pipe that is full is waited for in
// poll, which a signal ends: when stop is raised by then, 0 is returned at
// once, so that nothing more goes out after a cancel. 0 also when the send
// failed: *refused is then set when the kernel or the file system cannot do
// it for these descriptors; the caller sends the rest with OutWrite, which
// meets and reports any other error.
size_t OutSendFile(int fd, long long* offset, size_t len, bool* refused,
                   const std::atomic<int>* stop = nullptr);

// Grows the stream, when it is a pipe of at least the system's default
// capacity, to hold bytes (where the system allows a pipe that large). A
// pipe made smaller than the default (a reader that asked for small
// pieces), a larger one and any other output are left as they are.
void GrowOutputPipe(size_t bytes);

}  // namespace mirelo
