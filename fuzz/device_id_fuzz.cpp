// SPDX-License-Identifier: Apache-2.0
// Supported-model and Heron checks on any device ID text the backend might
// return (up to the 511 bytes the driver accepts).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "identify/identify.h"
#include "job/entry-points.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool no_ppd = [] {
    unsetenv("PPD");
    return true;
  }();
  (void)no_ppd;
  char id[512];
  size_t n = size < 511 ? size : 511;
  memcpy(id, data, n);
  id[n] = '\0';
  bool finch = false;
  bool supported = isSupportPrinter(id, true, &finch);
  bool heron = isHeronPrinter(id, true);
  if (heron && !supported) abort();  // every Heron model is supported
  return 0;
}
