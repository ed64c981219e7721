// SPDX-License-Identifier: Apache-2.0
// The PostScript writer: sends the job of every printer outside the Heron
// family to standard output. Plain models take the chunk road; finch models
// take the line road or, for collated jobs, the collated road, which tag the
// PJL job with its owner and job id, rewrite page-setup lines, and (collated)
// replay the PostScript body once for every further copy.
#include "output/output-private.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/io.h"
#include "job/entry-points.h"
#include "monitor/monitor.h"
#include "stream/pages.h"
#include "stream/stream.h"

namespace mirelo {

namespace {

constexpr char kOpenError[] = "Uable open temp file error! \n";

// The finch set-up: host name, cancel monitor, tag lines.
Tags FinchSetUp(const Job& job) {
  char host[kTagSize] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) {
    int e = errno;
    ErrPrintf("gethostname failed! error errno:%d, msg:%s\n", e, strerror(e));
    host[0] = '\0';
  } else {
    ErrPrintf("hostname %s\n", host);
  }
  {
    // The cancel monitor never takes the cancel signal: the main thread does.
    SigtermBlocked blocked;
    StartCancelWatch(job, host);
  }
  return MakeTags(host, job.job_id.c_str(), job.a5);
}

}  // namespace

Outcome StreamOutcome() {
  if (OutputFailed()) return Outcome::kFailed;
  return OutputClosed() ? Outcome::kStreamClosed : Outcome::kPrinted;
}

Outcome WritePostScript(const Job& job, const PageIndex* pages) {
  const char* path = job.print_file.path();
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    int e = errno;
    ErrWrite(kOpenError);
    ErrPrintf("ERROR: Unable to open the print file \"%s\": %s\n", path, strerror(e));
    return Outcome::kFailed;
  }
  if (!job.finch()) {
    return CopyChunksToStdout(fd.get(), job.canceled, "write file error! \n", pages);
  }

  UniqueFile file(fdopen(fd.get(), "r"));
  if (!file) {
    int e = errno;
    ErrWrite(kOpenError);
    ErrPrintf("ERROR: Unable to open the print file \"%s\": %s\n", path, strerror(e));
    return Outcome::kFailed;
  }
  fd.release();

  Tags tags = FinchSetUp(job);
  LineReader in(file.get());
  if (job.collate)
    CollatedRoad(&in, job, tags);
  else
    LineRoad(&in, job, tags);
  if (ferror(file.get())) {
    ErrWrite("ERROR: Unable to read the print file; the job is incomplete.\n");
    return Outcome::kFailed;
  }
  return StreamOutcome();
}

}  // namespace mirelo

void WritePSdataToStdout(char* const argv[], const char* path, const mirelo::PageIndex* pages) {
  mirelo::Job job(mirelo::FilterArguments(6, argv));
  if (path) job.print_file.SetScheduler(path);
  job.family = isfinch ? mirelo::Family::kFinch : mirelo::Family::kPlain;
  job.width = width;
  job.height = height;
  job.collate = iscollate;
  job.copies = copies;
  job.a5 = isA5Page;
  mirelo::WritePostScript(job, pages);
}
