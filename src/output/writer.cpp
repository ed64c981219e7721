// SPDX-License-Identifier: Apache-2.0
// The PostScript writer: sends the job of every printer outside the Heron
// family to standard output. Plain models take the chunk road; finch models
// take the line road or, for collated jobs, the collated road, which tag the
// PJL job with its owner and job id, rewrite page-setup lines, and (collated)
// replay the PostScript body once for every further copy.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/io.h"
#include "filter/filter.h"
#include "monitor/monitor.h"
#include "output/chunks.h"
#include "output/lines.h"
#include "output/output.h"
#include "output/pages.h"

using mirelo::ErrPrintf;
using mirelo::ErrWrite;

namespace {

constexpr char kOpenError[] = "Uable open temp file error! \n";
constexpr char kReplayError[] = "Uable create temp file error! \n";
// PJL lines of a finch job: the job-name line written by the spooler, which
// the writer tags, and the language line, behind which every copy starts.
constexpr char kJobNameLine[] = "@PJL JOB NAME";
constexpr char kEnterLanguage[] = "@PJL ENTER LANGUAGE";
// Asks the printer for A5 paper fed long edge first.
constexpr char kA5Line[] = "@PJL SET PAPER=A5L\r\n";
// Size of the owner and job id lines, of the host name and of the buffers
// handed to the queue lookup.
constexpr size_t kTagSize = 256;
constexpr size_t kReplayPathSize = 8192;
constexpr size_t kReplayBuffer = 64 * 1024;

// The record the cancel monitor reads. The monitor is never joined and may
// run until the process ends, so the record must outlive the writer: it is
// process-wide and, once a monitor has been started, never written again.
cancel_query_arg g_query_arg;
bool g_monitor_started = false;

// The PJL lines appended after the job-name line.
struct Tags {
  char owner[kTagSize] = {};
  char jobid[kTagSize] = {};
};

const void* FindBytes(const char* line, size_t len, const char* text) {
  return memmem(line, len, text, strlen(text));
}

// The finch set-up: host name, queue lookup, cancel monitor, tag lines.
void FinchSetUp(char* const argv[], Tags* tags) {
  char host[kTagSize] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) {
    int e = errno;
    ErrPrintf("gethostname failed! error errno:%d, msg:%s\n", e, strerror(e));
    host[0] = '\0';
  } else {
    ErrPrintf("hostname %s\n", host);
  }

  char uri[kTagSize] = {};
  char make_model[kTagSize] = {};
  if (g_buriFromEnvironment) {
    const char* device_uri = getenv("DEVICE_URI");
    mirelo::CopyText(uri, sizeof(uri), device_uri ? device_uri : "");
  } else {
    getPrinter_optiopns(argv[0], uri, sizeof(uri), make_model, sizeof(make_model));
  }
  uri[sizeof(uri) - 1] = '\0';

  if (!g_monitor_started) {
    memset(&g_query_arg, 0, sizeof(g_query_arg));
    mirelo::CopyText(g_query_arg.uri, sizeof(g_query_arg.uri), uri);
    g_query_arg.jobid = atoi(argv[1]);
    mirelo::CopyText(g_query_arg.jobower, sizeof(g_query_arg.jobower), host);
  }
  char shown_uri[sizeof(g_query_arg.uri)];  // no password in the log
  mirelo::MaskUriPassword(g_query_arg.uri, shown_uri, sizeof(shown_uri));
  ErrPrintf("uri:%s,jobid:%d,jobower:%s\n", shown_uri, g_query_arg.jobid, g_query_arg.jobower);
  PrintPointAddress("cancel_query_arg", &g_query_arg);

  if (!g_monitor_started) {
    pthread_t thread;
    err_thread = pthread_create(&thread, nullptr, Printer_cancle_query_tread, &g_query_arg);
    if (err_thread != 0) {
      status_thread = 0;
      ErrPrintf("psrelay::Printer_cancle_query_tread Failed, err = %d\n", err_thread);
    } else {
      // Never joined: it ends by itself or with the process.
      pthread_detach(thread);
      status_thread = thread;
      g_monitor_started = true;
    }
  }

  // A host name or job id too long for its line is cut, so that the line
  // still ends as PJL wants it.
  constexpr int kOwnerRoom = static_cast<int>(kTagSize - 1 - (sizeof("@PJL SET JOBOWNER=\"\"\r\n") - 1));
  constexpr int kJobIdRoom = static_cast<int>(kTagSize - 1 - (sizeof("@PJL SET JOBID=\r\n") - 1));
  snprintf(tags->owner, sizeof(tags->owner), "@PJL SET JOBOWNER=\"%.*s\"\r\n", kOwnerRoom, host);
  snprintf(tags->jobid, sizeof(tags->jobid), "@PJL SET JOBID=%.*s\r\n", kJobIdRoom, argv[1]);
}

// Cuts a cancelled job at the page start in line, if it holds one. True when
// the job has been closed and nothing more of it may be sent.
bool CutHere(char* line, mirelo::PageCounter* pages) {
  int cancel = job_canceled.load();
  if (cancel == 0) return false;
  // The bytes kept before the cut go out; the trailer holds no page.
  long cut = mirelo::PageCutOffset(line, kLineSize);
  if (cut >= 0) pages->Sent(line, static_cast<size_t>(cut));
  int written = 0;
  find_pageend(line, static_cast<int>(kLineSize), &written, cancel);
  if (written == 0) return false;
  ErrPrintf("data_buf = %s, len = %d\n", line, written);
  return true;
}

// Every byte of the line goes out, NUL bytes included, and its pages are
// counted.
void Send(const char* line, size_t len, mirelo::PageCounter* pages) {
  if (mirelo::OutWrite(line, len)) pages->Sent(line, len);
}

// Sends the line, then clears it as far as it reached, for the next read.
void SendAndClear(char* line, size_t len, mirelo::PageCounter* pages) {
  Send(line, len, pages);
  memset(line, 0, len);
}

// The PJL header of the job: the PJL lines at its very start (each may
// open with Universal Exit Language commands; blank lines between them
// count too), up to and including the "@PJL ENTER LANGUAGE" line. Only these
// lines are the job's own PJL: the same words further on are the document's
// text (a PJL manual, say) and are left alone.
class PjlHeader {
 public:
  // Takes the next line of the job; true when it belongs to the header.
  bool Takes(const char* line, size_t len) {
    if (!open_) return false;
    size_t i = 0;
    while (i + kUelLen <= len && memcmp(line + i, kUel, kUelLen) == 0) i += kUelLen;
    bool blank = true;
    for (size_t k = i; k < len && blank; ++k) blank = line[k] == '\r' || line[k] == '\n' || line[k] == ' ';
    if (blank) return true;
    if (len - i < 4 || memcmp(line + i, "@PJL", 4) != 0) {
      open_ = false;
      return false;
    }
    if (FindBytes(line, len, kEnterLanguage)) open_ = false;
    return true;
  }

 private:
  static constexpr char kUel[] = "\x1b%-12345X";
  static constexpr size_t kUelLen = sizeof(kUel) - 1;
  bool open_ = true;
};

size_t Tag(char* line, size_t len, const Tags& tags) {
  if (!memchr(line, '@', len) || !FindBytes(line, len, kJobNameLine)) return len;
  return mirelo::TagLine(line, len, tags.owner, tags.jobid, isA5Page);
}

// Cuts the line at the job's own end-of-job sequence, if it holds one: the
// data before it stays, the sequence and the rest of the line are dropped.
// (The spool appends the sequence right behind a last line that has no line
// feed; that line is the job's and goes out.)
size_t CutAtEndOfJob(char* line, size_t len) {
  if (!memchr(line, kEndOfJob[0], len)) return len;
  const char* end = static_cast<const char*>(FindBytes(line, len, kEndOfJob));
  if (!end) return len;
  size_t keep = static_cast<size_t>(end - line);
  memset(line + keep, 0, len - keep);
  return keep;
}

// Tells the user, as the printer's state message, which copy is on its way.
void ShowCopy(int copy, int of) {
  if (of > 1) ErrPrintf("INFO: Printing copy %d of %d\n", copy, of);
}

void LineRoad(mirelo::LineReader* in, const Tags& tags) {
  char line[kLineBufSize] = {};
  bool copy_block = false;
  PjlHeader header;
  bool cut = false;
  mirelo::PageCounter pages;
  while (!mirelo::OutputClosed()) {
    size_t len = in->Read(line, kLineSize);
    if (len == 0) break;
    if (header.Takes(line, len)) len = Tag(line, len, tags);
    if (CutHere(line, &pages)) {
      cut = true;
      break;
    }
    mirelo::FixLine(line, &len, width, height, &copy_block);
    // The job's copy-count block stays: the printer makes that many of
    // every page.
    if (memchr(line, '%', len))
      if (int n = mirelo::CopyBlockCopies(line)) pages.SetCopies(n);
    SendAndClear(line, len, &pages);
  }
  pages.EndCopy(!cut && !mirelo::OutputClosed());
}

// The replay file beside the print file ("<print file>_m"). It is created
// new, for this process alone (mode 0600), and never through a symbolic link.
// Whatever already stands at that name (a user's own file among them) is
// never truncated or removed: the job is then made without a replay file.
class ReplayFile {
 public:
  explicit ReplayFile(const char* print_path) {
    snprintf(path_, sizeof(path_), "%s_m", print_path);
    int fd = Create();
    if (fd < 0) return;
    if (fstat(fd, &st_) != 0 || !(file_ = fdopen(fd, "w+"))) {
      close(fd);
      unlink(path_);
      return;
    }
    // The first pass stores line by line; a large buffer keeps that to a
    // write every few dozen kilobytes.
    setvbuf(file_, nullptr, _IOFBF, kReplayBuffer);
  }
  ~ReplayFile() { Drop(); }
  ReplayFile(const ReplayFile&) = delete;
  ReplayFile& operator=(const ReplayFile&) = delete;

  FILE* get() const { return file_; }

  // Closes the file and deletes it, as long as the name still leads to it.
  void Drop() {
    if (!file_) return;
    fclose(file_);
    file_ = nullptr;
    struct stat now;
    if (lstat(path_, &now) == 0 && now.st_dev == st_.st_dev && now.st_ino == st_.st_ino) unlink(path_);
  }

 private:
  int Create() { return open(path_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); }

  char path_[kReplayPathSize] = {};
  struct stat st_ = {};
  FILE* file_ = nullptr;
};

// A cancelled job is cut at its next page. A copy sent whole while the job
// was already cancelled held no page to cut at, and no later copy will hold
// one either: no further copy is made then, so that a cancelled job of a
// huge copy count ends instead of running on for ever.
class CopyGuard {
 public:
  bool MayStartCopy() {
    if (cancelled_before_) {
      ErrWrite("DEBUG: The job is cancelled and its copies hold no page to cut at; "
               "no further copy is sent.\n");
      return false;
    }
    cancelled_before_ = job_canceled.load() != 0;
    return true;
  }

 private:
  bool cancelled_before_ = false;
};

// A replay file that cannot hold the whole first pass would make short
// copies: it is given up, and every copy is made by a full pass.
void GiveUpReplay(ReplayFile* replay, int* passes) {
  ErrPrintf("ERROR: Unable to store the job for its copies: %s; each copy is made from the print file.\n",
            strerror(errno));
  replay->Drop();
  *passes = copies;
}

void CollatedRoad(mirelo::LineReader* in, const char* path, const Tags& tags) {
  char line[kLineBufSize] = {};
  bool copy_block = false;
  bool cut = false;
  CopyGuard guard;
  mirelo::PageCounter pages;

  ReplayFile replay(path);
  int passes = 1;
  if (!replay.get()) {
    ErrWrite(kReplayError);
    passes = copies;
  }

  // Where the replays start: right behind the PJL header's language line as
  // stored, 0 when the job has none.
  long offset = 0;
  for (int pass = 0; pass < passes && !cut && !mirelo::OutputClosed() && guard.MayStartCopy(); ++pass) {
    ErrPrintf("copies %d \n", pass);
    ShowCopy(pass + 1, copies);
    copy_block = false;
    in->Seek(0);
    PjlHeader header;
    long stored = 0;
    while (!mirelo::OutputClosed()) {
      size_t len = in->Read(line, kLineSize);
      if (len == 0) break;
      bool in_header = header.Takes(line, len);
      bool language_line = in_header && FindBytes(line, len, kEnterLanguage);
      // The job's own end; one end-of-job sequence closes all copies.
      len = CutAtEndOfJob(line, len);
      if (in_header) len = Tag(line, len, tags);
      if (CutHere(line, &pages)) {
        cut = true;
        break;
      }
      mirelo::FixLine(line, &len, width, height, &copy_block);
      Send(line, len, &pages);
      if (replay.get() && len != 0 && fwrite(line, 1, len, replay.get()) != len) GiveUpReplay(&replay, &passes);
      stored += static_cast<long>(len);
      if (language_line && pass == 0) offset = stored;
      memset(line, 0, len);
    }
    // Everything stored must be on disk before the replays read it back.
    if (replay.get() && fflush(replay.get()) != 0) GiveUpReplay(&replay, &passes);
    pages.EndCopy(!cut && !mirelo::OutputClosed());
  }

  if (!cut && replay.get()) {
    mirelo::LineReader r(replay.get());

    for (int copy = 0; copy < copies - 1 && !cut && !mirelo::OutputClosed() && guard.MayStartCopy();
         ++copy) {
      ErrPrintf("copies %d \n", copy + 1);
      ShowCopy(copy + 2, copies);
      r.Seek(offset);
      ErrPrintf("off %d \n", static_cast<int>(offset));
      while (!mirelo::OutputClosed()) {
        size_t len = r.Read(line, kLineSize);
        if (len == 0) break;
        if (CutHere(line, &pages)) {
          cut = true;
          break;
        }
        SendAndClear(line, len, &pages);
      }
      pages.EndCopy(!cut && !mirelo::OutputClosed());
    }
  }

  mirelo::OutWrite(kEndOfJob, kEndOfJobLen);
}

}  // namespace

void WritePSdataToStdout(char* const argv[], const char* path, const mirelo::PageIndex* pages) {
  mirelo::UniqueFd fd(path ? open(path, O_RDONLY | O_CLOEXEC) : -1);
  if (!fd.valid()) {
    int e = path ? errno : ENOENT;
    ErrWrite(kOpenError);
    ErrPrintf("ERROR: Unable to open the print file \"%s\": %s\n", path ? path : "", strerror(e));
    g_bjobFailed.store(true);
    return;
  }
  if (!isfinch) {
    mirelo::CopyChunksToStdout(fd.get(), "write file error! \n", pages);
    return;
  }

  mirelo::UniqueFile file(fdopen(fd.get(), "r"));
  if (!file) {
    int e = errno;
    ErrWrite(kOpenError);
    ErrPrintf("ERROR: Unable to open the print file \"%s\": %s\n", path, strerror(e));
    g_bjobFailed.store(true);
    return;
  }
  fd.release();

  Tags tags;
  FinchSetUp(argv, &tags);
  mirelo::LineReader in(file.get());
  if (iscollate)
    CollatedRoad(&in, path, tags);
  else
    LineRoad(&in, tags);
  if (ferror(file.get())) {
    ErrWrite("ERROR: Unable to read the print file; the job is incomplete.\n");
    g_bjobFailed.store(true);
  }
}

size_t mirelo::LineReader::Read(char* out, size_t size) {
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

bool mirelo::LineReader::Seek(long offset) {
  pos_ = end_ = 0;
  consumed_ = offset;
  return fseek(file_, offset, SEEK_SET) == 0;
}

size_t mirelo::TagLine(char* line, size_t len, const char* owner, const char* jobid, bool a5) {
  if (len >= kLineSize) return len;  // not a line as read
  auto append = [&](const char* text) {
    size_t n = strnlen(text, kLineBufSize - 1 - len);
    memcpy(line + len, text, n);
    len += n;
    line[len] = '\0';
  };
  append(owner);
  append(jobid);
  if (a5) append(kA5Line);
  return len;
}
