// SPDX-License-Identifier: Apache-2.0
// The writer's handling of one line of a finch job: tagging of a job-name
// line with the longest tags, then the rewriting (page size, copy-count
// block, deferred media), then the cut-off's look for a page start. The line
// lives in a heap buffer of exactly the writer's size, so that any write
// past its end is caught.
//
// Input: byte 0 flags (1 collated, 2 inside a copy-count block, 4 A5, 8 tag
// the line, 16 cancelled), bytes 1-8 width and height (two 32-bit values),
// then the line (at most 1023 bytes, as the writer reads it).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "job/entry-points.h"
#include "job/job.h"
#include "output/output.h"
#include "output/output-private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);  // what a cut sends to the printer
    return true;
  }();
  (void)quiet;
  if (size < 9) return 0;
  const uint8_t flags = data[0];
  int32_t w, h;
  memcpy(&w, data + 1, 4);
  memcpy(&h, data + 5, 4);
  data += 9;
  size -= 9;

  // The longest owner and job id lines the writer can make (255 bytes each).
  static const std::string owner = "@PJL SET JOBOWNER=\"" + std::string(233, 'h') + "\"\r\n";
  static const std::string jobid = "@PJL SET JOBID=" + std::string(238, '7') + "\r\n";

  std::unique_ptr<char[]> line(new char[kLineBufSize]);
  memset(line.get(), 0, kLineBufSize);
  size_t len = size < kLineSize - 1 ? size : kLineSize - 1;
  memcpy(line.get(), data, len);

  iscollate = flags & 1;
  bool copy_block = flags & 2;
  if (flags & 8) len = mirelo::TagLine(line.get(), len, owner.c_str(), jobid.c_str(), flags & 4);
  if (len >= kLineBufSize || line[len] != '\0') abort();

  int written = 0;
  find_pageend(line.get(), static_cast<int>(kLineSize), &written, (flags & 16) ? 1 : 0);
  if (written) {
    if (memcmp(line.get(), kCutoffTrailer, kCutoffTrailerLen) != 0) abort();
    return 0;
  }

  bool changed = mirelo::FixLine(line.get(), &len, w, h, flags & 1, &copy_block);
  if (len >= kLineBufSize || line[len] != '\0') abort();
  if (!changed && len != (size < kLineSize - 1 ? size : kLineSize - 1) && !(flags & 8)) abort();

  // The text-only form the unit tests use.
  FixPrnPageSize(line.get(), w, h, &copy_block);
  if (strnlen(line.get(), kLineBufSize) >= kLineBufSize) abort();
  return 0;
}
