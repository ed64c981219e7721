// SPDX-License-Identifier: Apache-2.0
// Paper checks of the finch family: the PPD page size of the job, the bounds
// of a custom page size found in the print file, and A5 paper fed long edge
// first. All run on the main thread before any output.
#include "paper/paper.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string.h>

#include "common/io.h"
#include "common/spawn.h"
#include "paper/paper-private.h"

using mirelo::ErrPrintf;
using mirelo::ErrWrite;

namespace {

// Custom page sizes the printer takes, in points, bounds included.
constexpr float kMinWidth = 211.0f;
constexpr float kMaxWidth = 613.0f;
constexpr float kMinHeight = 418.0f;
constexpr float kMaxHeight = 1010.0f;

// A piece of grep output as fgets reads it: at most 511 characters.
constexpr size_t kReplySize = 512;
// Text of one number as it is logged: 9 characters and the terminator.
constexpr size_t kNumberText = 10;
// A line of the A5 scan: at most 1023 characters a read.
constexpr size_t kA5LineSize = 1024;
// Read buffer of the A5 scan.
constexpr size_t kScanBuffer = 64 * 1024;

// A5 portrait in whole points, and the slack allowed either way.
constexpr int kA5Width = 420;
constexpr int kA5Height = 595;
constexpr int kA5Slack = 2;

// What the two scans look for, and where the A5 scan reads its numbers.
constexpr char kMediaBoxPattern[] = "<</Type/Page/MediaBox";
constexpr char kSetupPaperPattern[] = " pdfSetupPaper";
constexpr char kA5MediaBox[] = "<</Type/Page/MediaBox [0 0";
constexpr char kSetupPaper[] = "pdfSetupPaper";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool InBounds(float w, float h) {
  return w >= kMinWidth && w <= kMaxWidth && h >= kMinHeight && h <= kMaxHeight;
}

// One number of a grep reply: its text as logged (cut to 9 characters) and
// its value, read from the whole text however long it is.
struct Number {
  char text[kNumberText] = {};
  float value = 0;
};

// Reads the next number from p: skips every character that is not a decimal
// digit (signs and leading points included), then takes the text up to the
// next blank, ']' or the end. A number missing at the end reads as 0.
// Returns where the reading stopped.
const char* ReadNumber(const char* p, Number* n) {
  while (*p && !IsDigit(*p)) ++p;
  const char* start = p;
  while (*p && *p != ' ' && *p != ']') ++p;
  size_t len = static_cast<size_t>(p - start);
  char whole[kReplySize] = {};  // a piece holds at most 511 characters
  memcpy(whole, start, len < sizeof(whole) ? len : sizeof(whole) - 1);
  mirelo::CopyText(n->text, sizeof(n->text), whole);
  n->value = static_cast<float>(atof(whole));
  return p;
}

// Runs grep for the first line of path that holds pattern (letter case
// ignored, silent about a missing file), without a shell.
struct GrepFirst {
  explicit GrepFirst(const char* pattern, const char* path)
      : argv{"grep", "-i", "-m", "1", "-s", "-e", pattern, "--", path, nullptr}, reader(argv) {}
  const char* argv[10];
  mirelo::ProgramReader reader;
};

// Media-box scan: 0 when a page dictionary's media box is out of bounds,
// 1 when it is within them or cannot be read.
int ScanMediaBox(const char* path) {
  GrepFirst grep(kMediaBoxPattern, path);
  if (!grep.reader.Started()) return 1;
  char piece[kReplySize];
  while (fgets(piece, sizeof(piece), grep.reader.Stream())) {
    int verdict = mirelo::CheckMediaBoxPiece(piece);
    if (verdict < 0) return 1;
    if (verdict == 0) return 0;
  }
  return 1;
}

// Page-setup scan: 0 when the operands of the page-setup call are out of
// bounds, else 1.
bool ScanSetupPaper(const char* path) {
  GrepFirst grep(kSetupPaperPattern, path);
  if (!grep.reader.Started()) return true;
  char piece[kReplySize];
  while (fgets(piece, sizeof(piece), grep.reader.Stream())) {
    int verdict = mirelo::CheckSetupPaperPiece(piece);
    if (verdict < 0) return true;
    if (verdict == 0) return false;
  }
  return true;
}

// Value of a run of decimal digits; a run too long for an int saturates,
// so that no run can pass for an A5 dimension by being cut short.
int RunValue(const char* begin, const char* end) {
  long long v = 0;
  for (const char* p = begin; p < end; ++p) {
    v = v * 10 + (*p - '0');
    if (v > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(v);
}

// Reads width and height from a media-box line, starting after the marker.
void ReadMediaBoxSize(const char* p, int* w, int* h) {
  int* out[2] = {w, h};
  for (int* dst : out) {
    while (*p && !IsDigit(*p)) ++p;
    const char* start = p;
    while (IsDigit(*p)) ++p;
    *dst = RunValue(start, p);
  }
}

// Reads the two digit runs in front of a page-setup call: the last one is
// the height, the one before it the width.
void ReadSetupPaperSize(const char* line, const char* match, int* w, int* h) {
  const char* p = match;
  int* out[2] = {h, w};
  for (int* dst : out) {
    while (p > line && !IsDigit(p[-1])) --p;
    const char* end = p;
    while (p > line && IsDigit(p[-1])) --p;
    *dst = RunValue(p, end);
  }
}

// Looks for the first line of the print file that shows a page size and
// tells whether that size is A5 portrait.
bool FileShowsA5(const char* path) {
  mirelo::UniqueFile file(fopen(path, "re"));
  if (!file) {
    ErrPrintf("%s open file %s failed!,code:%d\n", "isA5PageSize", path, errno);
    return false;
  }
  // The first qualifying line may stand near the end of a large job.
  setvbuf(file.get(), nullptr, _IOFBF, kScanBuffer);
  char line[kA5LineSize];
  while (fgets(line, sizeof(line), file.get())) {
    int w = 0, h = 0;
    if (mirelo::ReadA5LineSize(line, &w, &h)) return mirelo::IsA5Size(w, h);
  }
  return false;
}

}  // namespace

int checkmediasize(char* const argv[], int* width, int* height) {
  if (!argv || !argv[5] || !width || !height) return 0;
  mirelo::CupsOptions options(argv[5]);
  const char* value = options.Get("PageSize");
  if (!value) return 0;
  mirelo::UniquePpd ppd = mirelo::OpenJobPpd();
  if (!ppd) return 1;
  if (ppd_size_t* size = ppdPageSize(ppd.get(), value)) {
    // Whole points, fractions cut off; a size no page can have is ignored.
    constexpr float kIntLimit = 2147483648.0f;  // 2^31: the first value an int cannot hold
    if (size->width >= 0 && size->width < kIntLimit && size->length >= 0 && size->length < kIntLimit) {
      *width = static_cast<int>(size->width);
      *height = static_cast<int>(size->length);
      ErrPrintf("pagesize:%s width:%d,heigh:%d\n", value, *width, *height);
    }
  }
  return 1;
}

bool isSupportCustomPageSize(const char* options, const char* path) {
  mirelo::CupsOptions parsed(options);
  bool custom = false;
  if (const char* size = parsed.Get("PageSize")) {
    ErrPrintf("PageSize:%s\n", size);
    custom = strcasestr(size, "Custom") != nullptr;
  } else if (const char* media = parsed.Get("media")) {
    ErrPrintf("media=%s\n", media);
    custom = strcasestr(media, "Custom") != nullptr;
  }
  if (!custom) return true;
  if (!path) path = "";
  if (ScanMediaBox(path) == 0) return false;
  return ScanSetupPaper(path);
}

bool isA5PageSize(const char* options, const char* path) {
  mirelo::CupsOptions parsed(options);
  bool a5;
  if (const char* size = parsed.Get("PageSize"))
    a5 = strstr(size, "A5") != nullptr;
  else
    a5 = FileShowsA5(path ? path : "");
  if (!a5) return false;

  if (const char* edge = parsed.Get("FeedEdge")) {
    ErrPrintf("FeedEdge=%s\n", edge);
    bool long_edge = strcasestr(edge, "LongEdge") != nullptr;
    ErrWrite(long_edge ? "LongEdge =true\n" : "LongEdge =false\n");
    return long_edge;
  }
  mirelo::UniquePpd ppd = mirelo::OpenJobPpd();
  if (!ppd) return true;
  ppd_option_t* option = ppdFindOption(ppd.get(), "FeedEdge");
  if (!option) return true;
  return strcasestr(option->defchoice, "LongEdge") != nullptr;
}

int mirelo::CheckMediaBoxPiece(const char* piece) {
  const char* open = strchr(piece, '[');
  if (!open || !strchr(piece, ']')) return -1;
  Number left, top, right, bottom;
  const char* p = ReadNumber(open, &left);
  p = ReadNumber(p, &top);
  p = ReadNumber(p, &right);
  ReadNumber(p, &bottom);
  ErrPrintf("left:%s,top:%s,right:%s,bottom:%s\n", left.text, top.text, right.text, bottom.text);
  return InBounds(right.value - left.value, bottom.value - top.value) ? 1 : 0;
}

int mirelo::CheckSetupPaperPiece(const char* piece) {
  if (!strcasestr(piece, kSetupPaperPattern)) return -1;
  Number w, h;
  ReadNumber(ReadNumber(piece, &w), &h);
  ErrPrintf("pdfsetuppaper:width;%s,height:%s\n", w.text, h.text);
  return InBounds(w.value, h.value) ? 1 : 0;
}

bool mirelo::ReadA5LineSize(const char* line, int* width, int* height) {
  *width = 0;
  *height = 0;
  if (const char* box = mirelo::FindNoCase(line, kA5MediaBox)) {
    ReadMediaBoxSize(box + strlen(kA5MediaBox), width, height);
    return true;
  }
  if (const char* call = mirelo::FindNoCase(line, kSetupPaper)) {
    // The procedure's definition (/pdfSetupPaper) or a line that starts
    // with the name holds no size: read on.
    if (call == line || call[-1] == '/') return false;
    ReadSetupPaperSize(line, call, width, height);
    return true;
  }
  return false;
}

bool mirelo::IsA5Size(int width, int height) {
  return abs(width - kA5Width) <= kA5Slack && abs(height - kA5Height) <= kA5Slack;
}
