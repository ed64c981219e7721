// SPDX-License-Identifier: Apache-2.0
// Tagging of a finch job, private to output/ (and reached by the tests and
// fuzz targets; defined in tagging.cpp): the job owner, job id and A5 paper
// lines that go behind the "@PJL JOB NAME" line of the job's PJL header.
#pragma once

#include <cstddef>

namespace mirelo {

// Size of a tag line, with its terminator.
inline constexpr size_t kTagSize = 256;

// The PJL lines appended after the job-name line.
struct Tags {
  char owner[kTagSize] = {};  // @PJL SET JOBOWNER="<host>"
  char jobid[kTagSize] = {};  // @PJL SET JOBID=<job id>
  bool a5 = false;            // and @PJL SET PAPER=A5L
};

// The tags of a job of this host and this job id (the text of the job id
// argument). A host name or job id too long for its line is cut, so that
// the line still ends as PJL wants it.
Tags MakeTags(const char* host, const char* job_id, bool a5);

// The PJL header of the job: the PJL lines at its very start (each may
// open with Universal Exit Language commands; blank lines between them
// count too), up to and including the "@PJL ENTER LANGUAGE" line. Only these
// lines are the job's own PJL: the same words further on are the document's
// text (a PJL manual, say) and are left alone.
class PjlHeader {
 public:
  // Takes the next line of the job; true when it belongs to the header.
  bool Takes(const char* line, size_t len);

 private:
  bool open_ = true;
};

// True when the line of len bytes holds "@PJL ENTER LANGUAGE", behind which
// every copy of a collated job starts.
bool IsLanguageLine(const char* line, size_t len);

// Tags a line of the PJL header when it holds "@PJL JOB NAME"; returns the
// new length. line is a kLineBufSize buffer holding len < kLineSize bytes.
size_t Tag(char* line, size_t len, const Tags& tags);

// Appends the owner line, the job id line and, when a5 is set, the A5 paper
// line to a line of len bytes that holds "@PJL JOB NAME". line is a
// kLineBufSize buffer holding at most kLineSize - 1 bytes, which leaves room
// for three tag lines of up to 255 bytes each. Returns the new length.
size_t TagLine(char* line, size_t len, const char* owner, const char* jobid, bool a5);

}  // namespace mirelo
