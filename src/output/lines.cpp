// SPDX-License-Identifier: Apache-2.0
// Reading a job line by line, for the finch roads.
#include "output/output-private.h"

#include <algorithm>
#include <cstring>

namespace mirelo {

size_t LineReader::Read(char* out, size_t size) {
  size_t len = 0;
  if (size == 0) return 0;
  bool after_cr = false;  // the line ended with a CR at the end of the buffer
  while (len + 1 < size) {
    if (pos_ == end_) {
      pos_ = 0;
      end_ = fread(buf_, 1, sizeof(buf_), file_);
      if (end_ == 0) break;
    }
    if (after_cr) {
      if (buf_[pos_] == '\n') {
        out[len++] = '\n';
        ++pos_;
      }
      break;
    }
    size_t room = std::min(size - 1 - len, end_ - pos_);
    const char* from = buf_ + pos_;
    // A line ends with a line feed, a CR and a line feed, or a lone CR (all
    // three are PostScript's line ends).
    const char* nl = static_cast<const char*>(memchr(from, '\n', room));
    const char* cr = static_cast<const char*>(memchr(from, '\r', nl ? static_cast<size_t>(nl - from) : room));
    const char* stop = cr ? cr : nl;
    size_t take = stop ? static_cast<size_t>(stop - from) + 1 : room;
    memcpy(out + len, from, take);
    pos_ += take;
    len += take;
    if (cr) {
      if (pos_ == end_) {
        after_cr = true;
        continue;
      }
      if (buf_[pos_] == '\n' && len + 1 < size) {
        out[len++] = '\n';
        ++pos_;
      }
      break;
    }
    if (nl) break;
  }
  out[len] = '\0';
  consumed_ += static_cast<long>(len);
  return len;
}

bool LineReader::Seek(long offset) {
  pos_ = end_ = 0;
  consumed_ = offset;
  return fseek(file_, offset, SEEK_SET) == 0;
}

}  // namespace mirelo
