// SPDX-License-Identifier: Apache-2.0
// The end test of the spool on any last chunk.
#include <cstdint>
#include <cstring>

#include "job/entry-points.h"
#include "spool/spool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char chunk[8192];
  size_t n = size < sizeof(chunk) ? size : sizeof(chunk);
  memcpy(chunk, data, n);
  SpoolNeedsEndOfJob(chunk, n);
  return 0;
}
