// The PostScript writer: sends the job of every printer outside the Heron
// family to standard output. Plain models take the chunk road; finch models
// take the line road or, for collated jobs, the collated road, which tag the
// PJL job with its owner and job id, rewrite page-setup lines, and (collated)
// replay the PostScript body once for every further copy.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/io.h"
#include "filter/filter.h"
#include "monitor/monitor.h"
#include "output/chunks.h"
#include "output/output.h"

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
// The job is read line by line through a buffer this large.
constexpr size_t kInputBuffer = 64 * 1024;

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

// Appends the tags to a job-name line; line is a kLineBufSize buffer
// holding at most kLineSize - 1 bytes of text, which leaves room for all.
void TagLine(char* line, const Tags& tags) {
  if (!strchr(line, '@') || !strstr(line, kJobNameLine)) return;
  size_t len = strlen(line);
  auto append = [&](const char* text) {
    size_t n = strnlen(text, kLineBufSize - 1 - len);
    memcpy(line + len, text, n);
    len += n;
    line[len] = '\0';
  };
  append(tags.owner);
  append(tags.jobid);
  if (isA5Page) append(kA5Line);
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
  getPrinter_optiopns(argv[0], uri, sizeof(uri), make_model, sizeof(make_model));
  uri[sizeof(uri) - 1] = '\0';

  if (!g_monitor_started) {
    memset(&g_query_arg, 0, sizeof(g_query_arg));
    mirelo::CopyText(g_query_arg.uri, sizeof(g_query_arg.uri), uri);
    g_query_arg.jobid = atoi(argv[1]);
    mirelo::CopyText(g_query_arg.jobower, sizeof(g_query_arg.jobower), host);
  }
  ErrPrintf("uri:%s,jobid:%d,jobower:%s\n", g_query_arg.uri, g_query_arg.jobid, g_query_arg.jobower);
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
bool CutHere(char* line) {
  int cancel = job_canceled.load();
  if (cancel == 0) return false;
  int written = 0;
  find_pageend(line, static_cast<int>(kLineSize), &written, cancel);
  if (written == 0) return false;
  ErrPrintf("data_buf = %s, len = %d\n", line, written);
  return true;
}

// Sends the line's text and clears the line for the next read. Only the text
// needs clearing: nothing is ever read past its terminator.
void SendAndClear(char* line) {
  size_t len = strlen(line);
  mirelo::OutWrite(line, len);
  memset(line, 0, len);
}

// True when the line holds the job's own end-of-job sequence.
bool HoldsEndOfJob(const char* line) { return strchr(line, kEndOfJob[0]) && strstr(line, kEndOfJob); }

void LineRoad(FILE* in, const Tags& tags) {
  char line[kLineBufSize] = {};
  bool copy_block = false;
  while (!mirelo::OutputClosed() && fgets(line, static_cast<int>(kLineSize), in)) {
    TagLine(line, tags);
    if (CutHere(line)) break;
    FixPrnPageSize(line, width, height, &copy_block);
    SendAndClear(line);
  }
}

// The replay file beside the print file ("<print file>_m"). It is created
// new, for this process alone (mode 0600), and never through a symbolic link.
// A regular file of ours left there by an earlier job is replaced; anything
// else (a link, someone else's file, a directory) is left alone and the job
// is made without a replay file.
class ReplayFile {
 public:
  explicit ReplayFile(const char* print_path) {
    snprintf(path_, sizeof(path_), "%s_m", print_path);
    int fd = Create();
    if (fd < 0 && errno == EEXIST && RemoveStaleOwnFile()) fd = Create();
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

  bool RemoveStaleOwnFile() {
    struct stat old;
    if (lstat(path_, &old) != 0 || !S_ISREG(old.st_mode) || old.st_uid != geteuid()) return false;
    return unlink(path_) == 0;
  }

  char path_[kReplayPathSize] = {};
  struct stat st_ = {};
  FILE* file_ = nullptr;
};

// A replay file that cannot hold the whole first pass would make short
// copies: it is given up, and every copy is made by a full pass.
void GiveUpReplay(ReplayFile* replay, int* passes) {
  ErrPrintf("ERROR: Unable to store the job for its copies: %s; each copy is made from the print file.\n",
            strerror(errno));
  replay->Drop();
  *passes = copies;
}

// Tells the user, as the printer's state message, which copy is on its way.
void ShowCopy(int copy, int of) {
  if (of > 1) ErrPrintf("INFO: Printing copy %d of %d\n", copy, of);
}

void CollatedRoad(FILE* in, const char* path, const Tags& tags) {
  char line[kLineBufSize] = {};
  bool copy_block = false;
  bool cut = false;

  ReplayFile replay(path);
  int passes = 1;
  if (!replay.get()) {
    ErrWrite(kReplayError);
    passes = copies;
  }

  for (int pass = 0; pass < passes && !cut && !mirelo::OutputClosed(); ++pass) {
    ErrPrintf("copies %d \n", pass);
    ShowCopy(pass + 1, copies);
    copy_block = false;
    fseek(in, 0, SEEK_SET);
    while (!mirelo::OutputClosed() && fgets(line, static_cast<int>(kLineSize), in)) {
      TagLine(line, tags);
      // The job's own end; one end-of-job sequence closes all copies.
      if (HoldsEndOfJob(line)) memset(line, 0, sizeof(line));
      if (CutHere(line)) {
        cut = true;
        break;
      }
      FixPrnPageSize(line, width, height, &copy_block);
      mirelo::OutWrite(line, strlen(line));
      if (replay.get() && line[0] != '\0' && fputs(line, replay.get()) < 0) GiveUpReplay(&replay, &passes);
      memset(line, 0, strlen(line));
    }
    // Everything stored must be on disk before the replays read it back.
    if (replay.get() && fflush(replay.get()) != 0) GiveUpReplay(&replay, &passes);
  }

  if (!cut && replay.get()) {
    FILE* r = replay.get();
    long offset = 0;
    rewind(r);
    while (fgets(line, static_cast<int>(kLineSize), r)) {
      if (strstr(line, kEnterLanguage)) {
        offset = ftell(r);
        break;
      }
    }
    memset(line, 0, sizeof(line));
    if (offset < 0) offset = 0;

    for (int copy = 0; copy < copies - 1 && !cut && !mirelo::OutputClosed(); ++copy) {
      ErrPrintf("copies %d \n", copy + 1);
      ShowCopy(copy + 2, copies);
      fseek(r, offset, SEEK_SET);
      ErrPrintf("off %d \n", static_cast<int>(offset));
      while (!mirelo::OutputClosed() && fgets(line, static_cast<int>(kLineSize), r)) {
        if (CutHere(line)) {
          cut = true;
          break;
        }
        SendAndClear(line);
      }
    }
  }

  mirelo::OutWrite(kEndOfJob, kEndOfJobLen);
}

}  // namespace

void WritePSdataToStdout(char* const argv[], const char* path) {
  mirelo::UniqueFd fd(path ? open(path, O_RDONLY | O_CLOEXEC) : -1);
  if (!fd.valid()) {
    ErrWrite(kOpenError);
    return;
  }
  if (!isfinch) {
    mirelo::CopyChunksToStdout(fd.get(), "write file error! \n");
    return;
  }

  mirelo::UniqueFile in(fdopen(fd.get(), "r"));
  if (!in) {
    ErrWrite(kOpenError);
    return;
  }
  fd.release();
  setvbuf(in.get(), nullptr, _IOFBF, kInputBuffer);

  Tags tags;
  FinchSetUp(argv, &tags);
  if (iscollate)
    CollatedRoad(in.get(), path, tags);
  else
    LineRoad(in.get(), tags);
}
