// SPDX-License-Identifier: Apache-2.0
// Page accounting, private to output/: as the last filter of the queue the
// filter tells the scheduler every page it sends, with the line
// "PAGE: <page> <copies>" on standard error; the scheduler counts the job's
// pages from them (page_log, quotas, job-impressions-completed).
#pragma once

#include <cstddef>

namespace mirelo {

// Follows the bytes of one copy of a job as they go out and writes a PAGE
// line for every page that starts in them. A page starts with the page
// comment "%%Page:" at the start of a line (the first byte of the stream, or
// behind a carriage return or line feed); a comment split across two pieces
// of the stream counts once, when its last byte goes out.
class PageCounter {
 public:
  // copies: how many of each page the printer makes.
  explicit PageCounter(int copies = 1) { SetCopies(copies); }

  void SetCopies(int copies) { copies_ = copies > 0 ? copies : 1; }
  // len more bytes of the copy went out.
  void Sent(const char* data, size_t len);
  // The copy is over. One that went out whole without holding any page
  // comment is one page. The next copy's pages are numbered from 1 again.
  void EndCopy(bool whole);
  long pages() const { return page_; }

 private:
  void Page();

  static constexpr size_t kCarry = 7;  // the length of "%%Page:"
  int copies_ = 1;
  long page_ = 0;
  bool sent_any_ = false;
  // The last bytes that went out: a line feed before the first one.
  char tail_[kCarry] = {'\n'};
  size_t tail_len_ = 1;
};

// Where find_pageend cuts a buffer of n bytes (the offset of its page
// marker), or -1 when it holds no cut point.
long PageCutOffset(const char* buf, size_t n);

}  // namespace mirelo
