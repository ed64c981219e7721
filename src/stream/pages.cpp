// SPDX-License-Identifier: Apache-2.0
// Page accounting: the PAGE lines of the pages that go out.
#include "stream/pages.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/io.h"

namespace mirelo {

namespace {

constexpr char kPageComment[] = "%%Page:";
constexpr size_t kCommentLen = sizeof(kPageComment) - 1;

bool LineEnd(char c) { return c == '\n' || c == '\r'; }

}  // namespace

void PageCounter::Page(long long end) {
  ++page_;
  if (!index_) {
    ErrPrintf("PAGE: %ld %d\n", page_, copies_);
    return;
  }
  size_t unit = static_cast<size_t>(end) / PageIndex::kUnit;
  if (index_->per_unit.size() <= unit) index_->per_unit.resize(unit + 1);
  ++index_->per_unit[unit];
}

void PageCounter::SentCounted(long pages, const char* tail, size_t tail_len) {
  for (long i = 0; i < pages; ++i) Page(offset_);
  if (tail_len > 0) sent_any_ = true;
  tail_len = std::min(tail_len, kCarry);
  if (tail_len == 0) return;
  memcpy(tail_, tail, tail_len);
  tail_len_ = tail_len;
}

void PageCounter::Sent(const char* data, size_t len) {
  if (len == 0) return;
  sent_any_ = true;
  // Comments that begin in the bytes sent before and end in these.
  if (tail_len_ > 1) {
    char joint[2 * kCarry];
    size_t take = std::min(len, kCommentLen - 1);
    memcpy(joint, tail_, tail_len_);
    memcpy(joint + tail_len_, data, take);
    for (size_t j = 1; j < tail_len_ && j + kCommentLen <= tail_len_ + take; ++j)
      if (LineEnd(joint[j - 1]) && memcmp(joint + j, kPageComment, kCommentLen) == 0)
        Page(offset_ + static_cast<long long>(j + kCommentLen - 1 - tail_len_));
  }
  // Comments that begin in these bytes and end in them. A '%' is rare in a
  // PostScript job outside its comments: finding each one is quicker than
  // a search for the whole comment.
  const char* end = data + len;
  for (const char* at = data; end - at >= static_cast<ptrdiff_t>(kCommentLen);) {
    const char* hit = static_cast<const char*>(
        memchr(at, '%', static_cast<size_t>(end - at) - (kCommentLen - 1)));
    if (!hit) break;
    if (hit[1] == '%' && memcmp(hit, kPageComment, kCommentLen) == 0 &&
        LineEnd(hit > data ? hit[-1] : tail_[tail_len_ - 1]))
      Page(offset_ + static_cast<long long>(hit - data + kCommentLen - 1));
    at = hit + 1;
  }
  offset_ += static_cast<long long>(len);
  // Keep the last bytes for the next piece.
  if (len >= kCarry) {
    memcpy(tail_, end - kCarry, kCarry);
    tail_len_ = kCarry;
  } else {
    size_t keep = std::min(tail_len_, kCarry - len);
    memmove(tail_, tail_ + tail_len_ - keep, keep);
    memcpy(tail_ + keep, data, len);
    tail_len_ = keep + len;
  }
}

void PageCounter::EndCopy(bool whole) {
  if (whole && sent_any_ && page_ == 0) Page(offset_);
  page_ = 0;
  sent_any_ = false;
  tail_[0] = '\n';
  tail_len_ = 1;
}

}  // namespace mirelo
