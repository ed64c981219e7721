// SPDX-License-Identifier: Apache-2.0
// The page-end cut-off of a cancelled job, and the print-file copy that sends
// a converted Heron job in chunks.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/io.h"
#include "filter/filter.h"
#include "output/chunks.h"
#include "output/output.h"

using mirelo::ErrPrintf;
using mirelo::ErrWrite;

namespace {

// Setup end directly followed by the first page: a buffer holding it is never cut.
constexpr char kSetupThenPage[] = "%%EndSetup\n%%Page:";
// Start of a page: the cut is made right before it.
constexpr char kPageMarker[] = "%%Page:";
// A buffer is cleared at least this far before the trailer goes in.
constexpr size_t kMinClear = 70;

const char* FindIn(const char* text, size_t n, const char* needle) {
  return static_cast<const char*>(memmem(text, n, needle, strlen(needle)));
}

// Fills buf from fd as far as the file allows; returns the bytes read, 0 at
// the end of the file, -1 on a read error with nothing read.
ssize_t ReadChunk(int fd, char* buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buf + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (got == 0) return n;
      break;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

int find_pageend(char* buf, int clear_len, int* written, int cancel) {
  *written = 0;
  // Only the caller's data counts, and a text search ends at a NUL byte.
  size_t n = strnlen(buf, static_cast<size_t>(std::max(clear_len, 0)));
  if (FindIn(buf, n, kSetupThenPage)) return 0;
  const char* page = FindIn(buf, n, kPageMarker);
  if (!page) return 0;

  ErrWrite("find page end\n");
  if (cancel == 0) return 1;

  size_t keep = static_cast<size_t>(page - buf);
  bool sent = mirelo::OutWrite(buf, keep);
  if (!sent) ErrWrite("Write data error:");

  memset(buf, 0, std::max(static_cast<size_t>(std::max(clear_len, 0)), kMinClear));
  *written = static_cast<int>(kCutoffTrailerLen);
  memcpy(buf, kCutoffTrailer, kCutoffTrailerLen);

  if (!mirelo::OutWrite(kCutoffTrailer, kCutoffTrailerLen)) {
    ErrWrite("Write data error:");
    sent = false;
  }
  // Only a trailer that went out closed the output.
  if (sent) ErrWrite("INFO: Job cancelled; the output was closed at a page boundary\n");
  return 1;
}

bool mirelo::CopyChunksToStdout(int fd, const char* write_error) {
  char chunk[kChunkSize + 1] = {};  // one spare NUL behind a full chunk
  int written = 0;
  for (;;) {
    ssize_t n = ReadChunk(fd, chunk, kChunkSize);
    if (n < 0) {
      // What was sent so far is all there is; say so rather than end quietly.
      ErrPrintf("ERROR: Unable to read the print file: %s\n", strerror(errno));
      g_bjobFailed.store(true);
      return false;
    }
    if (n == 0) break;
    chunk[n] = '\0';
    if (int cancel = job_canceled.load()) find_pageend(chunk, static_cast<int>(n), &written, cancel);
    if (written) {
      ErrPrintf("data_buf = %s, len = %d\n", chunk, written);
      break;
    }
    if (!mirelo::OutWrite(chunk, static_cast<size_t>(n))) {
      // The stream has ended (reported once); a failure is also told in
      // the caller's words, once.
      if (write_error && mirelo::OutputFailed()) ErrWrite(write_error);
      return false;
    }
  }
  return !mirelo::OutputClosed();
}

void WritePrintFileToStdout(const char* path) {
  if (!path) {
    ErrWrite("DEBUG: Unable to find Print file.\n");
    return;
  }
  mirelo::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    int e = errno;
    ErrPrintf("DEBUG:Unable open a print file \"%s\"\n", path);
    ErrPrintf("ERROR: Unable to open the print file \"%s\": %s\n", path, strerror(e));
    g_bjobFailed.store(true);
    return;
  }
  bool sent = mirelo::CopyChunksToStdout(fd.get(), nullptr);
  fd.reset();
  if (sent) ErrWrite("DEBUG:Successfully write print file to stdout.\n");
}
