// SPDX-License-Identifier: Apache-2.0
// The chunk road: the copy of a file to standard output that the plain
// models take, and the print-file send of a converted Heron job on it: sent
// by the kernel while the job is not cancelled, then chunk by chunk with the
// page-end cut-off.
#include "output/output-private.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/io.h"
#include "job/entry-points.h"
#include "job/job.h"
#include "stream/pages.h"
#include "stream/stream.h"

namespace mirelo {

namespace {

// The uncancelled part of a job goes out in units of this many bytes, a
// whole number of chunks: read once into the filter to count its pages, sent
// by the kernel.
constexpr size_t kSendUnit = PageIndex::kUnit;
static_assert(kSendUnit % kChunkSize == 0);

// The output pipe grows from the default (64 KiB) to 256 KiB once its reader
// has shown that it takes the stream fast: 4 MiB in under 40 ms (over
// 100 MB/s). A backend that feeds a printer never does; one that does writes
// to a file, or into a network connection's own buffer of megabytes, beside
// which the larger pipe adds little to what is on its way ahead of a
// cancel's cut. That reader then takes the stream in larger pieces, with
// fewer switches between it and the filter.
class ReaderPace {
 public:
  void Sent(size_t n) {
    if (grown_) return;
    window_ += n;
    if (window_ < kWindow) return;
    auto now = std::chrono::steady_clock::now();
    if (now - start_ < kFast) {
      GrowOutputPipe(kFastReaderPipe);
      grown_ = true;
    }
    start_ = now;
    window_ = 0;
  }

 private:
  static constexpr size_t kWindow = 4 << 20;
  static constexpr std::chrono::milliseconds kFast{40};
  static constexpr size_t kFastReaderPipe = 256 * 1024;

  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  size_t window_ = 0;
  bool grown_ = false;
};

// Fills buf from fd as far as the file allows; returns the bytes read, 0 at
// the end of the file, -1 on a read error with nothing read.
ssize_t ReadChunk(int fd, char* buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buf + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (got == 0) return n;
      break;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Fills buf from offset on as far as the file allows; the bytes read, 0 at
// the end of the file, -1 on a read error.
ssize_t ReadAt(int fd, char* buf, size_t size, long long offset) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = pread(fd, buf + got, size - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// How a stretch of the copy ended.
enum class Copied { kAll, kHandOver, kStopped };

// Writes bytes from..n of a unit (a stretch of the file that starts at a
// chunk boundary) as the chunk copy writes chunks: one write for each piece
// up to the next chunk boundary, a failed write reported with write_error,
// and before every chunk a look at the cancel flag. The rest of a chunk
// begun by the kernel goes out without that look, as a chunk being written
// does. *at is set to where it stopped.
Copied WritePieces(const char* unit, size_t from, size_t n, const std::atomic<int>& canceled,
                   const char* write_error, PageCounter* pages, size_t* at) {
  for (*at = from; *at < n;) {
    size_t pos = *at;
    if (pos % kChunkSize == 0 && canceled.load()) return Copied::kHandOver;
    size_t len = std::min(n, (pos / kChunkSize + 1) * kChunkSize) - pos;
    if (!OutWrite(unit + pos, len)) {
      // The stream has ended (reported once); a failure is also told in the
      // caller's words, once.
      if (write_error && OutputFailed()) ErrWrite(write_error);
      return Copied::kStopped;
    }
    pages->Sent(unit + pos, len);
    *at = pos + len;
  }
  return Copied::kAll;
}

// Where the copy takes its page count from: the index of the spool, or the
// bytes it reads itself. After whole units counted by the index the counter
// is told the bytes before the next ones it sees.
class PageSource {
 public:
  PageSource(int fd, const PageIndex* index, PageCounter* pages) : fd_(fd), pages_(pages) {
    struct stat st;
    if (index && index->complete && fstat(fd, &st) == 0) {
      index_ = index;
      size_ = st.st_size;
    }
  }

  bool indexed() const { return index_ != nullptr; }
  long long size() const { return size_; }

  // The unit at offset went out whole.
  void UnitSent(long long offset) {
    size_t unit = static_cast<size_t>(offset) / kSendUnit;
    pages_->SentCounted(unit < index_->per_unit.size() ? index_->per_unit[unit] : 0, nullptr, 0);
    stale_ = true;
  }

  // The copy goes on byte by byte from offset.
  void Resync(long long offset) {
    if (!stale_) return;
    stale_ = false;
    char tail[PageCounter::kCarry];
    long long from = std::max(0LL, offset - static_cast<long long>(sizeof(tail)));
    ssize_t n = pread(fd_, tail, static_cast<size_t>(offset - from), static_cast<off_t>(from));
    if (n > 0) pages_->SentCounted(0, tail, static_cast<size_t>(n));
  }

 private:
  int fd_;
  PageCounter* pages_;
  const PageIndex* index_ = nullptr;
  long long size_ = 0;
  bool stale_ = false;
};

// The copy of a job that is not cancelled: unit by unit, sent by the
// kernel; each unit read once to count its pages, unless the spool counted
// them. Where the kernel refuses, or a send fails, the unit is written from
// the filter as the chunk copy does. A cancel seen in the middle of a unit
// (also while the send waits for its reader) lets the chunk being sent go
// out whole, and no more. Returns kHandOver with *offset at the chunk
// boundary where the chunk copy takes over (also for a read error, which
// the chunk copy meets again and reports).
Copied SendUncancelled(int fd, const std::atomic<int>& canceled, const char* write_error, PageSource* source,
                       PageCounter* pages, long long* offset) {
  char unit[kSendUnit];
  bool use_sendfile = true;
  ReaderPace pace;
  for (;;) {
    if (OutputClosed()) return Copied::kStopped;
    if (canceled.load()) return Copied::kHandOver;
    bool have = false;  // the unit is in the buffer
    size_t len = 0;
    if (source->indexed() && use_sendfile) {
      len = static_cast<size_t>(std::clamp(source->size() - *offset, 0LL, static_cast<long long>(kSendUnit)));
    } else {
      source->Resync(*offset);
      ssize_t n = ReadAt(fd, unit, sizeof(unit), *offset);
      if (n < 0) return Copied::kHandOver;
      len = static_cast<size_t>(n);
      have = true;
    }
    if (len == 0) return Copied::kAll;
    // The cancel is looked at before every send, also a unit's first: what
    // a send has not yet moved when the cancel comes stays behind, and only
    // the rest of the chunk in flight goes out before the chunk copy.
    size_t sent = 0;
    while (use_sendfile && sent < len && !canceled.load()) {
      long long at = *offset + static_cast<long long>(sent);
      bool refused = false;
      size_t k = OutSendFile(fd, &at, len - sent, &refused, &canceled);
      if (k == 0) {
        use_sendfile = !refused;
        break;
      }
      if (have) pages->Sent(unit + sent, k);
      pace.Sent(k);
      sent += k;
    }
    // Cancelled before anything of the unit went out: the chunk copy begins.
    if (sent == 0 && canceled.load()) return Copied::kHandOver;
    if (!have) {
      if (sent == len) {
        source->UnitSent(*offset);
        *offset += static_cast<long long>(len);
        continue;
      }
      // Part of the unit is left: it goes on from the filter.
      source->Resync(*offset);
      if (ReadAt(fd, unit, len, *offset) != static_cast<ssize_t>(len)) {
        *offset += static_cast<long long>(sent);
        return Copied::kHandOver;
      }
      pages->Sent(unit, sent);
    }
    size_t at = sent;
    Copied how = WritePieces(unit, sent, len, canceled, write_error, pages, &at);
    *offset += static_cast<long long>(at);
    if (how != Copied::kAll) return how;
  }
}

}  // namespace

Outcome CopyChunksToStdout(int fd, const std::atomic<int>& canceled, const char* write_error,
                           const PageIndex* index) {
  PageCounter pages;
  PageSource source(fd, index, &pages);
  long long offset = 0;
  Copied how = SendUncancelled(fd, canceled, write_error, &source, &pages, &offset);
  bool failed = false;
  source.Resync(offset);
  if (how == Copied::kHandOver && lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    // The chunk copy cannot go on from there: never end as if sent.
    ErrPrintf("ERROR: Unable to read the print file: %s\n", strerror(errno));
    failed = true;
    how = Copied::kStopped;
  }
  bool whole = how == Copied::kAll;

  // The chunk copy of a cancelled job, with the cut-off.
  char chunk[kChunkSize + 1] = {};  // one spare NUL behind a full chunk
  int written = 0;
  while (how == Copied::kHandOver) {
    ssize_t n = ReadChunk(fd, chunk, kChunkSize);
    if (n < 0) {
      // What was sent so far is all there is; say so rather than end quietly.
      ErrPrintf("ERROR: Unable to read the print file: %s\n", strerror(errno));
      return Outcome::kFailed;
    }
    if (n == 0) {
      whole = true;
      break;
    }
    chunk[n] = '\0';
    if (int cancel = canceled.load()) {
      // The pages of the bytes kept before the cut (the trailer is none).
      long cut = PageCutOffset(chunk, static_cast<size_t>(n));
      if (cut >= 0) pages.Sent(chunk, static_cast<size_t>(cut));
      find_pageend(chunk, static_cast<int>(n), &written, cancel);
    }
    if (written) {
      ErrPrintf("data_buf = %s, len = %d\n", chunk, written);
      break;
    }
    if (OutWrite(chunk, static_cast<size_t>(n))) {
      pages.Sent(chunk, static_cast<size_t>(n));
    } else {
      // The stream has ended (reported once); a failure is also told in
      // the caller's words, once.
      if (write_error && OutputFailed()) ErrWrite(write_error);
      break;
    }
  }
  pages.EndCopy(whole && !OutputClosed());
  // A copy stopped but not failed stopped with the stream.
  return failed ? Outcome::kFailed : StreamOutcome();
}

Outcome SendPrintFile(const char* path, const std::atomic<int>& canceled) {
  if (!path) {
    // Nothing to send: no failure, as ever.
    ErrWrite("DEBUG: Unable to find Print file.\n");
    return Outcome::kPrinted;
  }
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    int e = errno;
    ErrPrintf("DEBUG:Unable open a print file \"%s\"\n", path);
    ErrPrintf("ERROR: Unable to open the print file \"%s\": %s\n", path, strerror(e));
    return Outcome::kFailed;
  }
  Outcome sent = CopyChunksToStdout(fd.get(), canceled, nullptr);
  fd.reset();
  if (sent == Outcome::kPrinted) ErrWrite("DEBUG:Successfully write print file to stdout.\n");
  return sent;
}

}  // namespace mirelo

void WritePrintFileToStdout(const char* path) { mirelo::SendPrintFile(path, job_canceled); }
