// SPDX-License-Identifier: Apache-2.0
// The cut-off of a cancelled job: the job ends right before its next page
// with the cut-off trailer.
#include "output/output-private.h"

#include <algorithm>
#include <cstring>

#include "common/io.h"
#include "job/entry-points.h"
#include "stream/stream.h"

namespace mirelo {

namespace {

// Setup end directly followed by the first page: a buffer holding it is never cut.
constexpr char kSetupThenPage[] = "%%EndSetup\n%%Page:";
// Start of a page: the cut is made right before it.
constexpr char kPageMarker[] = "%%Page:";

}  // namespace

long PageCutOffset(const char* buf, size_t n) {
  n = strnlen(buf, n);
  if (FindBytes(buf, n, kSetupThenPage)) return -1;
  const char* page = FindBytes(buf, n, kPageMarker);
  return page ? page - buf : -1;
}

}  // namespace mirelo

int find_pageend(char* buf, int clear_len, int* written, int cancel) {
  // A buffer is cleared at least this far before the trailer goes in.
  constexpr size_t kMinClear = 70;
  *written = 0;
  // Only the caller's data counts, and a text search ends at a NUL byte.
  long cut = mirelo::PageCutOffset(buf, static_cast<size_t>(std::max(clear_len, 0)));
  if (cut < 0) return 0;

  mirelo::ErrWrite("find page end\n");
  if (cancel == 0) return 1;

  size_t keep = static_cast<size_t>(cut);
  bool sent = mirelo::OutWrite(buf, keep);
  if (!sent) mirelo::ErrWrite("Write data error:");

  memset(buf, 0, std::max(static_cast<size_t>(std::max(clear_len, 0)), kMinClear));
  *written = static_cast<int>(kCutoffTrailerLen);
  memcpy(buf, kCutoffTrailer, kCutoffTrailerLen);

  if (!mirelo::OutWrite(kCutoffTrailer, kCutoffTrailerLen)) {
    mirelo::ErrWrite("Write data error:");
    sent = false;
  }
  // Only a trailer that went out closed the output.
  if (sent) mirelo::ErrWrite("INFO: Job cancelled; the output was closed at a page boundary\n");
  return 1;
}
