// SPDX-License-Identifier: Apache-2.0
// The page-end cut-off on any chunk, cancelled or not; what it sends to the
// printer goes to /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "job/entry-points.h"
#include "output/output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;
  char buf[kChunkSize + 1] = {};
  size_t n = size - 1 < kChunkSize ? size - 1 : kChunkSize;
  memcpy(buf, data + 1, n);
  int written = 0;
  find_pageend(buf, static_cast<int>(n), &written, data[0] & 1);
  if (written && memcmp(buf, kCutoffTrailer, kCutoffTrailerLen) != 0) abort();
  return 0;
}
