// SPDX-License-Identifier: Apache-2.0
// Page accounting: as the last filter of the queue the filter tells the
// scheduler every page it sends, with the line "PAGE: <page> <copies>" on
// standard error; the scheduler counts the job's pages from them (page_log,
// quotas, job-impressions-completed). Used by the writers, and by the spool,
// which counts the pages of a job while it is spooled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mirelo {

// The pages of a file, counted once so that sending it needs no second
// read: for each stretch of kUnit bytes, the page comments that end in it.
struct PageIndex {
  static constexpr size_t kUnit = 64 * 1024;
  std::vector<uint16_t> per_unit;
  bool complete = false;  // counted to the end of the file as it is
};

// Follows the bytes of one copy of a job as they go out and writes a PAGE
// line for every page that starts in them (or, with an index, notes where
// it ends). A page starts with the page comment "%%Page:" at the start of a
// line (the first byte of the stream, or behind a carriage return or line
// feed); a comment split across two pieces counts once, when its last byte
// goes out.
class PageCounter {
 public:
  // copies: how many of each page the printer makes.
  explicit PageCounter(int copies = 1) { SetCopies(copies); }
  // Counts into the index instead of writing PAGE lines.
  explicit PageCounter(PageIndex* index) : index_(index) {}

  void SetCopies(int copies) { copies_ = copies > 0 ? copies : 1; }
  // len more bytes of the copy went out.
  void Sent(const char* data, size_t len);
  // pages more went out, counted elsewhere (an index); the bytes before the
  // next ones that are sent are tail (up to 7 bytes).
  void SentCounted(long pages, const char* tail, size_t tail_len);
  // The copy is over. One that went out whole without holding any page
  // comment is one page. The next copy's pages are numbered from 1 again.
  void EndCopy(bool whole);
  long pages() const { return page_; }

  static constexpr size_t kCarry = 7;  // the length of "%%Page:"

 private:
  void Page(long long end);

  PageIndex* index_ = nullptr;
  int copies_ = 1;
  long page_ = 0;
  bool sent_any_ = false;
  long long offset_ = 0;  // bytes sent before the next ones
  // The last bytes that went out: a line feed before the first one.
  char tail_[kCarry] = {'\n'};
  size_t tail_len_ = 1;
};

}  // namespace mirelo
