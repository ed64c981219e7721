// SPDX-License-Identifier: Apache-2.0
// Spooling of standard input: the job is copied unchanged into a temporary
// file, which then is the print file of the job. A job whose end shows no
// PJL Universal Exit Language gets the end-of-job sequence appended.
#include <cerrno>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "common/io.h"
#include "filter/filter.h"
#include "output/output.h"

using mirelo::ErrPrintf;
using mirelo::ErrWrite;

namespace {

constexpr size_t kSpoolChunk = 8192;
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

}  // namespace

bool SpoolNeedsEndOfJob(const char* chunk, size_t size) {
  size_t text_len = strnlen(chunk, size);
  return text_len >= kShortestTested && !ContainsNoCase(chunk, text_len, kUelMarker);
}

void Copy_StdinToTempFile(char* path) {
  if (!path) {
    ErrWrite("DEBUG: Unable to find input file.\n");
    return;
  }

  // Removed on every way out but the last, which hands the file to the job.
  mirelo::TempFile spool;
  mirelo::UniqueFd fd(spool.Create(kSpoolNameSize));
  if (!fd.valid()) {
    ErrWrite("DEBUG: Unable to creat temp file.\n");
    spool.ReportFailure();
    g_bjobFailed.store(true);
    return;
  }
  const char* name = spool.path();
  ErrPrintf("DEBUG:copying to temp print file \"%s\"\n", name);

  // The chunk buffer is not cleared between reads: the end test looks at the
  // last read followed by whatever longer, earlier reads left behind it.
  char chunk[kSpoolChunk] = {};
  bool write_failed = false;
  int write_errno = 0;
  int read_errno = 0;  // a read error is not the end of the job
  for (;;) {
    ssize_t n = read(0, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read_errno = errno;
    if (n <= 0) break;
    if (mirelo::WriteAll(fd.get(), chunk, static_cast<size_t>(n)) != static_cast<size_t>(n)) {
      write_failed = true;
      write_errno = errno;
      break;
    }
  }

  if (!write_failed && read_errno == 0) {
    if (SpoolNeedsEndOfJob(chunk, sizeof(chunk))) {
      char tail[kEndOfJobLen + 1];
      memcpy(tail, kEndOfJob, kEndOfJobLen);
      tail[kEndOfJobLen] = '\n';
      if (mirelo::WriteAll(fd.get(), tail, sizeof(tail)) != sizeof(tail)) {
        write_failed = true;
        write_errno = errno;
      } else {
        mirelo::ErrWriteBytes(tail, sizeof(tail));
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
    g_bjobFailed.store(true);
    return;
  }
  if (read_errno != 0) {
    ErrPrintf("ERROR: Unable to read the print data from standard input: %s; nothing is printed.\n",
              strerror(read_errno));
    g_bjobFailed.store(true);
    return;
  }

  mirelo::CopyText(path, kPrintPathSize, name);
  spool.Release();
}
