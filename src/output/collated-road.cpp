// SPDX-License-Identifier: Apache-2.0
// The collated road of a finch job: the filter makes the copies itself. The
// first copy goes out line by line as on the line road and is stored in the
// replay file beside the print file; every further copy is replayed from
// that file, from behind the PJL header on, and one end-of-job sequence
// closes them all.
#include "output/output-private.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/io.h"
#include "stream/stream.h"

namespace mirelo {

namespace {

constexpr char kReplayError[] = "Uable create temp file error! \n";
constexpr size_t kReplayPathSize = 8192;
constexpr size_t kReplayBuffer = 64 * 1024;

// Cuts the line at the job's own end-of-job sequence, if it holds one: the
// data before it stays, the sequence and the rest of the line are dropped.
// (The spool appends the sequence right behind a last line that has no line
// feed; that line is the job's and goes out.)
size_t CutAtEndOfJob(char* line, size_t len) {
  if (!memchr(line, kEndOfJob[0], len)) return len;
  const char* end = FindBytes(line, len, kEndOfJob);
  if (!end) return len;
  size_t keep = static_cast<size_t>(end - line);
  memset(line + keep, 0, len - keep);
  return keep;
}

// Tells the user, as the printer's state message, which copy is on its way.
void ShowCopy(int copy, int of) {
  if (of > 1) ErrPrintf("INFO: Printing copy %d of %d\n", copy, of);
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
  explicit CopyGuard(const std::atomic<int>& canceled) : canceled_(canceled) {}
  bool MayStartCopy() {
    if (cancelled_before_) {
      ErrWrite("DEBUG: The job is cancelled and its copies hold no page to cut at; "
               "no further copy is sent.\n");
      return false;
    }
    cancelled_before_ = canceled_.load() != 0;
    return true;
  }

 private:
  const std::atomic<int>& canceled_;
  bool cancelled_before_ = false;
};

// A replay file that cannot hold the whole first pass would make short
// copies: it is given up, and every copy is made by a full pass.
void GiveUpReplay(ReplayFile* replay, int* passes, int copies) {
  ErrPrintf("ERROR: Unable to store the job for its copies: %s; each copy is made from the print file.\n",
            strerror(errno));
  replay->Drop();
  *passes = copies;
}

}  // namespace

void CollatedRoad(LineReader* in, const Job& job, const Tags& tags) {
  const int copies = job.copies;
  char line[kLineBufSize] = {};
  bool copy_block = false;
  bool cut = false;
  CopyGuard guard(job.canceled);
  PageCounter pages;

  ReplayFile replay(job.print_file.path());
  int passes = 1;
  if (!replay.get()) {
    ErrWrite(kReplayError);
    passes = copies;
  }

  // Where the replays start: right behind the PJL header's language line as
  // stored, 0 when the job has none.
  long offset = 0;
  for (int pass = 0; pass < passes && !cut && !OutputClosed() && guard.MayStartCopy(); ++pass) {
    ErrPrintf("copies %d \n", pass);
    ShowCopy(pass + 1, copies);
    copy_block = false;
    in->Seek(0);
    PjlHeader header;
    long stored = 0;
    while (!OutputClosed()) {
      size_t len = in->Read(line, kLineSize);
      if (len == 0) break;
      bool in_header = header.Takes(line, len);
      bool language_line = in_header && IsLanguageLine(line, len);
      // The job's own end; one end-of-job sequence closes all copies.
      len = CutAtEndOfJob(line, len);
      if (in_header) len = Tag(line, len, tags);
      if (CutHere(line, job.canceled, &pages)) {
        cut = true;
        break;
      }
      FixLine(line, &len, job.width, job.height, job.collate, &copy_block);
      Send(line, len, &pages);
      if (replay.get() && len != 0 && fwrite(line, 1, len, replay.get()) != len)
        GiveUpReplay(&replay, &passes, copies);
      stored += static_cast<long>(len);
      if (language_line && pass == 0) offset = stored;
      memset(line, 0, len);
    }
    // Everything stored must be on disk before the replays read it back.
    if (replay.get() && fflush(replay.get()) != 0) GiveUpReplay(&replay, &passes, copies);
    pages.EndCopy(!cut && !OutputClosed());
  }

  if (!cut && replay.get()) {
    LineReader r(replay.get());

    for (int copy = 0; copy < copies - 1 && !cut && !OutputClosed() && guard.MayStartCopy(); ++copy) {
      ErrPrintf("copies %d \n", copy + 1);
      ShowCopy(copy + 2, copies);
      r.Seek(offset);
      ErrPrintf("off %d \n", static_cast<int>(offset));
      while (!OutputClosed()) {
        size_t len = r.Read(line, kLineSize);
        if (len == 0) break;
        if (CutHere(line, job.canceled, &pages)) {
          cut = true;
          break;
        }
        SendAndClear(line, len, &pages);
      }
      pages.EndCopy(!cut && !OutputClosed());
    }
  }

  OutWrite(kEndOfJob, kEndOfJobLen);
}

}  // namespace mirelo
