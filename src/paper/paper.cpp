// SPDX-License-Identifier: Apache-2.0
// Paper checks of the finch family: the PPD page size of the job, the bounds
// of a custom page size found in the print file, and A5 paper fed long edge
// first. All run on the main thread before any output.
#include "paper/paper.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <strings.h>
#include <string.h>

#include "common/io.h"
#include "job/entry-points.h"
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

// Media-box scan: 0 when a page dictionary's media box is out of bounds,
// 1 when it is within them or cannot be read.
int ScanMediaBox(const char* path) {
  return mirelo::ScanFirstLine(path, kMediaBoxPattern, mirelo::CheckMediaBoxPiece) == 0 ? 0 : 1;
}

// Page-setup scan: 0 when the operands of the page-setup call are out of
// bounds, else 1.
bool ScanSetupPaper(const char* path) {
  return mirelo::ScanFirstLine(path, kSetupPaperPattern, mirelo::CheckSetupPaperPiece) != 0;
}

// Where pattern (letter case ignored, its first character not a letter)
// starts in the n bytes at p, NUL bytes included; null when it does not.
const char* FindBytesNoCase(const char* p, size_t n, const char* pattern) {
  size_t m = strlen(pattern);
  for (const char* end = p + n; static_cast<size_t>(end - p) >= m; ++p) {
    p = static_cast<const char*>(memchr(p, pattern[0], static_cast<size_t>(end - p) - m + 1));
    if (!p) return nullptr;
    if (strncasecmp(p + 1, pattern + 1, m - 1) == 0) {
      // strncasecmp stops at a NUL of the text; such a place is no match.
      if (!memchr(p, '\0', m)) return p;
    }
  }
  return nullptr;
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
  if (!options.Get("PageSize")) return 0;
  mirelo::UniquePpd ppd = mirelo::OpenJobPpd();
  return mirelo::PageSizeOf(options, ppd.get(), width, height);
}

int mirelo::PageSizeOf(const CupsOptions& options, ppd_file_t* ppd, int* width, int* height) {
  const char* value = options.Get("PageSize");
  if (!value) return 0;
  if (!ppd) return 1;
  if (ppd_size_t* size = ppdPageSize(ppd, value)) {
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
  return mirelo::CustomSizeFits(mirelo::CupsOptions(options), path);
}

bool mirelo::CustomSizeFits(const CupsOptions& parsed, const char* path) {
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
  mirelo::UniquePpd ppd = mirelo::OpenJobPpd();
  return mirelo::IsA5LongEdge(mirelo::CupsOptions(options), ppd.get(), path);
}

bool mirelo::IsA5LongEdge(const CupsOptions& parsed, ppd_file_t* ppd, const char* path) {
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
  if (!ppd) return true;
  ppd_option_t* option = ppdFindOption(ppd, "FeedEdge");
  if (!option) return true;
  return strcasestr(option->defchoice, "LongEdge") != nullptr;
}

int mirelo::ScanFirstLine(const char* path, const char* pattern, int (*check)(const char* piece)) {
  mirelo::UniqueFile file(fopen(path, "re"));
  if (!file) return -1;
  // Find the first line that holds the pattern: blocks of the file, each
  // with the pattern's length less one byte of the block before it, so that
  // a match across two blocks is found too.
  char buf[kScanBuffer];
  const size_t keep = strlen(pattern) - 1;
  size_t carried = 0;
  long block_start = 0;  // file offset of buf[0]
  long line_start = 0;   // file offset of the line being read
  bool found = false;
  for (;;) {
    size_t got = fread(buf + carried, 1, sizeof(buf) - carried, file.get());
    if (got == 0) break;
    size_t n = carried + got;
    if (const char* match = FindBytesNoCase(buf, n, pattern)) {
      const char* nl = static_cast<const char*>(memrchr(buf, '\n', static_cast<size_t>(match - buf)));
      if (nl) line_start = block_start + (nl + 1 - buf);
      found = true;
      break;
    }
    if (const char* nl = static_cast<const char*>(memrchr(buf, '\n', n)))
      line_start = block_start + (nl + 1 - buf);
    carried = std::min(keep, n);
    memmove(buf, buf + n - carried, carried);
    block_start += static_cast<long>(n - carried);
  }
  if (!found || fseek(file.get(), line_start, SEEK_SET) != 0) return -1;

  // That line, in pieces of at most 511 bytes as a reader of grep's output
  // gets them; a NUL byte in it reads as a blank, so that it neither ends a
  // piece early nor joins two numbers.
  char piece[kReplySize];
  bool line_end = false;
  while (!line_end) {
    size_t len = 0;
    int c;
    while (len + 1 < sizeof(piece) && (c = getc(file.get())) != EOF) {
      piece[len++] = c == '\0' ? ' ' : static_cast<char>(c);
      if (c == '\n') {
        line_end = true;
        break;
      }
    }
    if (len == 0) break;
    piece[len] = '\0';
    int verdict = check(piece);
    if (verdict <= 0) return verdict;
  }
  return 1;
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
