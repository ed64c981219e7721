// SPDX-License-Identifier: Apache-2.0
// The line road of a finch job, and the pieces it shares with the collated
// road: the cut-off at a page start and the sending of a line.
#include "output/output-private.h"

#include <cstring>

#include "common/io.h"
#include "job/entry-points.h"
#include "stream/stream.h"

namespace mirelo {

bool CutHere(char* line, const std::atomic<int>& canceled, PageCounter* pages) {
  int cancel = canceled.load();
  if (cancel == 0) return false;
  // The bytes kept before the cut go out; the trailer holds no page.
  long cut = PageCutOffset(line, kLineSize);
  if (cut >= 0) pages->Sent(line, static_cast<size_t>(cut));
  int written = 0;
  find_pageend(line, static_cast<int>(kLineSize), &written, cancel);
  if (written == 0) return false;
  ErrPrintf("data_buf = %s, len = %d\n", line, written);
  return true;
}

void Send(const char* line, size_t len, PageCounter* pages) {
  if (OutWrite(line, len)) pages->Sent(line, len);
}

void SendAndClear(char* line, size_t len, PageCounter* pages) {
  Send(line, len, pages);
  memset(line, 0, len);
}

void LineRoad(LineReader* in, const Job& job, const Tags& tags) {
  char line[kLineBufSize] = {};
  bool copy_block = false;
  PjlHeader header;
  bool cut = false;
  PageCounter pages;
  while (!OutputClosed()) {
    size_t len = in->Read(line, kLineSize);
    if (len == 0) break;
    if (header.Takes(line, len)) len = Tag(line, len, tags);
    if (CutHere(line, job.canceled, &pages)) {
      cut = true;
      break;
    }
    FixLine(line, &len, job.width, job.height, job.collate, &copy_block);
    // The job's copy-count block stays: the printer makes that many of
    // every page.
    if (memchr(line, '%', len))
      if (int n = CopyBlockCopies(line)) pages.SetCopies(n);
    SendAndClear(line, len, &pages);
  }
  pages.EndCopy(!cut && !OutputClosed());
}

}  // namespace mirelo
