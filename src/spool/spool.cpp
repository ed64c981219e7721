// SPDX-License-Identifier: Apache-2.0
// Spooling of standard input: the job is copied unchanged into a temporary
// file, which then is the print file of the job. A job whose end shows no
// PJL Universal Exit Language gets the end-of-job sequence appended. From a
// pipe (as the scheduler gives the job) the kernel moves the data into the
// file (splice) without copying it through the filter.
#include "spool/spool.h"

#include <cups/cups.h>
#include <fcntl.h>

#include <algorithm>
#include <utility>
#include <cerrno>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "common/io.h"
#include "job/entry-points.h"
#include "stream/pages.h"
#include "stream/stream.h"

using mirelo::ErrPrintf;
using mirelo::ErrWrite;
using mirelo::kEndOfJob;
using mirelo::kEndOfJobLen;

namespace {

constexpr size_t kSpoolChunk = 8192;
// The most one splice call moves.
constexpr size_t kSpliceMax = 1 << 20;
constexpr size_t kSpoolNameSize = 255;
constexpr size_t kShortestTested = 10;
constexpr char kUelMarker[] = "%-12345X";

// Case-insensitive search for needle within the first n bytes of text.
bool ContainsNoCase(const char* text, size_t n, const char* needle) {
  size_t m = strlen(needle);
  for (size_t i = 0; i + m <= n; ++i)
    if (strncasecmp(text + i, needle, m) == 0) return true;
  return false;
}

// Moves the input in (standard input, or a print file that cannot be seeked)
// into the file fd by splice for as long as the kernel does it, and adds the
// bytes moved to *size. The pages of what was moved
// are counted right behind it, while it is still in the cache. Stops at the end of the input
// (true), or at the first failure (false): the kernel refuses a descriptor
// that is no pipe, or a file system cannot take it, or a read or write
// failed. The plain copy then goes on from there and meets and reports any
// real error itself. *uncounted is set when what was moved could not be
// read back to count its pages: the copy to the printer then counts them.
bool SpliceInput(int in, int fd, size_t* size, mirelo::PageCounter* pages, bool* uncounted) {
  // A larger pipe lets each call move more, with fewer switches between the
  // filter and the program that feeds it. Not every pipe can grow (the
  // user's limit on pipe memory); it works as well without.
  fcntl(in, F_SETPIPE_SZ, static_cast<int>(kSpliceMax));
  for (;;) {
    ssize_t n = splice(in, nullptr, fd, nullptr, kSpliceMax, SPLICE_F_MOVE | SPLICE_F_MORE);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    size_t start = *size;
    *size += static_cast<size_t>(n);
    for (size_t done = 0; pages && done < static_cast<size_t>(n);) {
      char buf[mirelo::PageIndex::kUnit];
      size_t want = std::min(sizeof(buf), static_cast<size_t>(n) - done);
      ssize_t got = pread(fd, buf, want, static_cast<off_t>(start + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        // The data is in the file but cannot be read back to be counted: the
        // job still prints whole, without page accounting.
        pages = nullptr;
        *uncounted = true;
        ErrPrintf("DEBUG: Unable to count the pages of the spool file: %s\n",
                  got < 0 ? strerror(errno) : "end of file");
        break;
      }
      pages->Sent(buf, static_cast<size_t>(got));
      done += static_cast<size_t>(got);
    }
  }
}

// The chunk buffer as the copy loop leaves it when it reads the job in
// chunks of 8192 bytes: the last read at its start, then what the read
// before it left behind. Read back from the spool file of size bytes.
void LastChunk(int fd, size_t size, char* chunk) {
  memset(chunk, 0, kSpoolChunk);
  if (size == 0) return;
  size_t last = (size - 1) / kSpoolChunk * kSpoolChunk;
  size_t tail = size - last;
  if (pread(fd, chunk, tail, static_cast<off_t>(last)) != static_cast<ssize_t>(tail)) return;
  if (last > 0 && pread(fd, chunk + tail, kSpoolChunk - tail, static_cast<off_t>(size - kSpoolChunk)) < 0)
    return;
}

}  // namespace

bool SpoolNeedsEndOfJob(const char* chunk, size_t size) {
  size_t text_len = strnlen(chunk, size);
  return text_len >= kShortestTested && !ContainsNoCase(chunk, text_len, kUelMarker);
}

void Copy_StdinToTempFile(char* path, mirelo::PageIndex* index) {
  if (!path) {
    ErrWrite("DEBUG: Unable to find input file.\n");
    return;
  }
  mirelo::PrintFile spooled;
  if (mirelo::SpoolStdin(&spooled, index) != mirelo::Outcome::kPrinted) return;
  mirelo::CopyText(path, kPrintPathSize, spooled.path());
  spooled.Release();
}

namespace {

// The spool: the input in, read once from its start to its end, into a new
// file that becomes the print file. from names the input in the ERROR line
// of a read error. add_end: the end-of-job sequence is added when the end
// shows none (standard input).
mirelo::Outcome Spool(int in, const char* from, bool add_end, mirelo::PrintFile* print_file,
                      mirelo::PageIndex* index) {
  // Removed on every way out but the last, which hands the file to the job.
  mirelo::TempFile spool;
  mirelo::UniqueFd fd(spool.Create(kSpoolNameSize));
  if (!fd.valid()) {
    ErrWrite("DEBUG: Unable to creat temp file.\n");
    spool.ReportFailure();
    return mirelo::Outcome::kFailed;
  }
  const char* name = spool.path();
  ErrPrintf("DEBUG:copying to temp print file \"%s\"\n", name);

  // The chunk buffer is not cleared between reads: the end test looks at the
  // last read followed by whatever longer, earlier reads left behind it.
  char chunk[kSpoolChunk] = {};
  bool write_failed = false;
  int write_errno = 0;
  int read_errno = 0;  // a read error is not the end of the job
  size_t size = 0;
  mirelo::PageIndex counted;
  mirelo::PageCounter pages(&counted);
  bool uncounted = false;  // the index is left incomplete: the copy counts
  bool at_end = SpliceInput(in, fd.get(), &size, index ? &pages : nullptr, &uncounted);
  if (uncounted) index = nullptr;
  while (!at_end) {
    ssize_t n = read(in, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read_errno = errno;
    if (n <= 0) break;
    if (mirelo::WriteAll(fd.get(), chunk, static_cast<size_t>(n)) != static_cast<size_t>(n)) {
      write_failed = true;
      write_errno = errno;
      break;
    }
    size += static_cast<size_t>(n);
    if (index) pages.Sent(chunk, static_cast<size_t>(n));
  }

  if (add_end && !write_failed && read_errno == 0) {
    // The test sees the job's end as reads of 8192 bytes leave it, however
    // the job came: in one piece or in any number of pieces.
    LastChunk(fd.get(), size, chunk);
    if (SpoolNeedsEndOfJob(chunk, sizeof(chunk))) {
      char tail[kEndOfJobLen + 1];
      memcpy(tail, kEndOfJob, kEndOfJobLen);
      tail[kEndOfJobLen] = '\n';
      if (mirelo::WriteAll(fd.get(), tail, sizeof(tail)) != sizeof(tail)) {
        write_failed = true;
        write_errno = errno;
      } else {
        mirelo::ErrWriteBytes(tail, sizeof(tail));
        pages.Sent(tail, sizeof(tail));
      }
    }
  }

  if (close(fd.release()) != 0 && !write_failed) {
    write_failed = true;
    write_errno = errno;
  }

  // A spool file that lacks part of the job must never print as if whole.
  if (write_failed) {
    ErrPrintf("ERROR: Unable to write the print data to the spool file: %s\n", strerror(write_errno));
    return mirelo::Outcome::kFailed;
  }
  if (read_errno != 0) {
    if (from)
      ErrPrintf("ERROR: Unable to read the print file \"%s\": %s; nothing is printed.\n", from,
                strerror(read_errno));
    else
      ErrPrintf("ERROR: Unable to read the print data from standard input: %s; nothing is printed.\n",
                strerror(read_errno));
    return mirelo::Outcome::kFailed;
  }

  print_file->Adopt(&spool);
  if (index) {
    counted.complete = true;
    *index = std::move(counted);
  }
  return mirelo::Outcome::kPrinted;
}

}  // namespace

namespace mirelo {

Outcome SpoolStdin(PrintFile* print_file, PageIndex* index) {
  return Spool(0, nullptr, true, print_file, index);
}

Outcome SpoolFile(int in, const char* name, PrintFile* print_file, PageIndex* index) {
  return Spool(in, name, false, print_file, index);
}

}  // namespace mirelo
