// SPDX-License-Identifier: Apache-2.0
// The parts of the PostScript writer, private to output/ (and reached by
// the tests and fuzz targets): line reading, tagging, rewriting, the
// cut-off, and the line, collated and chunk roads, each defined in the file
// of its name.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "job/job.h"
#include "output/output.h"
#include "stream/pages.h"

namespace mirelo {

// ---- Line reading (lines.cpp). A line is counted, not only terminated: a job
// may carry binary data, and every byte of a line, NUL bytes included, goes
// to the printer.

// Reads a file line by line through a buffer of its own: a line is found
// with one memchr instead of a look at every byte.
class LineReader {
 public:
  explicit LineReader(FILE* file) : file_(file) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads one line (up to and including its line end: a line feed, a CR and
  // a line feed, or a lone CR) of at most size - 1 bytes into out and
  // terminates it; a longer line comes in pieces. Returns the bytes read, 0
  // at the end of the file.
  size_t Read(char* out, size_t size);
  // Goes on reading at offset bytes from the start of the file.
  bool Seek(long offset);
  // The offset of the next byte that Read returns.
  long Tell() const { return consumed_; }

 private:
  FILE* file_;
  char buf_[64 * 1024];
  size_t pos_ = 0;
  size_t end_ = 0;
  long consumed_ = 0;
};

// ---- Tagging (tagging.cpp): the job owner, job id and A5 paper lines that go
// behind the "@PJL JOB NAME" line of the job's PJL header.

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

// ---- Rewriting of the lines of a finch job (rewrite.cpp).

// FixPrnPageSize on a counted line of *len bytes in a kLineBufSize buffer;
// *len is updated. collate: the filter makes the collated copies itself,
// so the job's own copy-count block is dropped. The tests look at the
// line's text up to its first NUL; bytes behind it are kept unless the
// whole line is replaced or emptied.
bool FixLine(char* line, size_t* len, int width, int height, bool collate, bool* copy_block);

// The copy count N of a line that opens the job's copy-count block
// ("%RBIBeginNonPPDFeature: *NumCopies N", letter case ignored, text up to
// the first NUL): the copies the printer makes of every page. 0 for any
// other line.
int CopyBlockCopies(const char* line);

// ---- Where the cut-off cuts (cut-off.cpp): the writers count the pages of the
// bytes kept before a cut.

// Where find_pageend cuts a buffer of n bytes (the offset of its page
// marker), or -1 when it holds no cut point.
long PageCutOffset(const char* buf, size_t n);

// ---- The line road (line-road.cpp), which sends the job once, and the pieces
// it shares with the collated road: both tag, rewrite and cut the job line
// by line.

// The line road: the job once, its own copy-count block left to the
// printer.
void LineRoad(LineReader* in, const Job& job, const Tags& tags);

// Cuts a cancelled job at the page start in line, if it holds one. True when
// the job has been closed and nothing more of it may be sent.
bool CutHere(char* line, const std::atomic<int>& canceled, PageCounter* pages);

// Every byte of the line goes out, NUL bytes included, and its pages are
// counted.
void Send(const char* line, size_t len, PageCounter* pages);

// Sends the line, then clears it as far as it reached, for the next read.
void SendAndClear(char* line, size_t len, PageCounter* pages);

// ---- The collated road (collated-road.cpp): the filter makes the copies
// itself.

// job.copies copies of the job: the first sent line by line and stored in
// the replay file beside the print file, every further one replayed from
// there; one end-of-job sequence closes them all.
void CollatedRoad(LineReader* in, const Job& job, const Tags& tags);

// ---- The chunk road (chunk-road.cpp), which the plain models take and the
// print-file send of a converted Heron job.

// Copies the open file fd to standard output in chunks of 8192 bytes, with
// the page-end cut-off once canceled is raised, and writes the PAGE line
// of every page sent. write_error, when not null, is written to standard
// error, once, when the stream fails (not when its reader is gone). index,
// when not null, holds the file's pages as the spool counted them. kPrinted
// when the whole file, or a cancelled job up to its trailer, went out;
// kFailed after a read error (reported as the job's error) or when the
// stream failed; kStreamClosed when its reader is gone.
Outcome CopyChunksToStdout(int fd, const std::atomic<int>& canceled, const char* write_error,
                           const PageIndex* index = nullptr);

// ---- The writer (writer.cpp).

// The outcome of a road that went its course, by the printer stream: kFailed
// when a write to it failed, kStreamClosed when its reader is gone, else
// kPrinted.
Outcome StreamOutcome();

}  // namespace mirelo
