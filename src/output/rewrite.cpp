// SPDX-License-Identifier: Apache-2.0
// Rewriting of single lines of a finch job before they are sent: page-setup
// lines take the PPD page size of the job, the job's own copy-count block is
// removed when the filter makes collated copies itself, and the deferred
// media dictionary gets the slash its key lacks.
#include "output/output-private.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string.h>
#include <strings.h>

#include "common/io.h"
#include "job/entry-points.h"
#include "job/job.h"

namespace mirelo {

namespace {

// Page dictionary of a ps2write page, opening with its media box.
constexpr char kMediaBox[] = "<</Type/Page/MediaBox [0 0";
// The page-setup procedure of pdftops; written with a slash before it, it
// is the procedure's definition.
constexpr char kSetupPaper[] = "pdfSetupPaper";
// The copy-count block that the spooler writes when it leaves copies to the
// printer.
constexpr char kCopyBlockBegin[] = "%RBIBeginNonPPDFeature: *NumCopies";
constexpr char kCopyBlockEnd[] = "%RBIEndNonPPDFeature";
// Deferred media selection written without the slash of its key.
constexpr char kDeferredMedia[] = "<<DeferredMediaSelection";
constexpr char kSetPageDevice[] = ">>setpagedevice";

bool Has(const char* line, const char* text) { return strcasestr(line, text) != nullptr; }

// The statements that the rewriting replaces, as PostScript and PDF producers
// write them: the whole line is the statement, nothing stands beside it.
// Only such a line is the job's own page set-up; a line that also holds
// other program text (a document that mentions the procedure, or a long
// piece of a job whose lines end in CR alone) is no such statement.
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Skips a number (an optional sign, digits, an optional fraction); null when
// p does not start with one.
const char* SkipNumber(const char* p, const char* end) {
  if (p < end && (*p == '-' || *p == '+')) ++p;
  const char* digits = p;
  while (p < end && ((*p >= '0' && *p <= '9') || *p == '.')) ++p;
  return p > digits ? p : nullptr;
}

const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && IsBlank(*p)) ++p;
  return p;
}

// True when p, blanks aside, is the line's end: a line feed, CR and line
// feed, a lone CR, or the end of the line's bytes.
bool AtLineEnd(const char* p, const char* end) {
  p = SkipBlanks(p, end);
  if (p < end && *p == '\r') ++p;
  if (p < end && *p == '\n') ++p;
  return p == end;
}

bool SkipWord(const char** p, const char* end, const char* word) {
  size_t n = strlen(word);
  if (static_cast<size_t>(end - *p) < n || strncasecmp(*p, word, n) != 0) return false;
  *p += n;
  return true;
}

// "W H pdfSetupPaper" alone on its line.
bool IsSetupPaperStatement(const char* line, size_t len) {
  const char* end = line + len;
  const char* p = SkipBlanks(line, end);
  for (int i = 0; i < 2; ++i) {
    if (!(p = SkipNumber(p, end)) || p == end || !IsBlank(*p)) return false;
    p = SkipBlanks(p, end);
  }
  return SkipWord(&p, end, kSetupPaper) && AtLineEnd(p, end);
}

// "<</Type/Page/MediaBox [0 0 W H]" at the start of the line: the opening
// of a page dictionary as ps2write writes it. Returns where the media box
// ends (behind its "]"), null when the line does not open so.
const char* MediaBoxStatementEnd(const char* line, size_t len) {
  const char* end = line + len;
  const char* p = line;
  if (!SkipWord(&p, end, kMediaBox)) return nullptr;
  for (int i = 0; i < 2; ++i) {
    if (p == end || !IsBlank(*p)) return nullptr;
    p = SkipBlanks(p, end);
    if (!(p = SkipNumber(p, end))) return nullptr;
  }
  p = SkipBlanks(p, end);
  return p < end && *p == ']' && !memchr(line, '\0', len) ? p + 1 : nullptr;
}

bool StartsWith(const char* p, const char* text) { return strncasecmp(p, text, strlen(text)) == 0; }

// What a line holds of the texts the rewriting looks for, letter case
// ignored, found in one pass over the line: each text begins with '<', '%'
// or a 'p' (the slash of the procedure's definition is the character before
// it), so only those places are compared.
struct Marks {
  bool media_box = false;
  bool setup_paper_def = false;
  bool setup_paper = false;
  bool copy_begin = false;
  bool copy_end = false;
  char* deferred_media = nullptr;  // the first one
};

Marks Scan(char* line) {
  Marks m;
  for (char* p = strpbrk(line, "<%pP"); p; p = strpbrk(p + 1, "<%pP")) {
    switch (*p) {
      case '<':
        if (!m.media_box && StartsWith(p, kMediaBox)) m.media_box = true;
        if (!m.deferred_media && StartsWith(p, kDeferredMedia)) m.deferred_media = p;
        break;
      case '%':
        if (!m.copy_begin && StartsWith(p, kCopyBlockBegin)) m.copy_begin = true;
        if (!m.copy_end && StartsWith(p, kCopyBlockEnd)) m.copy_end = true;
        break;
      default:  // 'p' or 'P'
        if ((p[1] == 'd' || p[1] == 'D') && StartsWith(p, kSetupPaper)) {
          m.setup_paper = true;
          if (p > line && p[-1] == '/') m.setup_paper_def = true;
        }
        break;
    }
  }
  return m;
}

// Empties the line: the writer then sends and stores nothing for it.
bool Empty(char* line, size_t* len) {
  memset(line, 0, *len);
  *len = 0;
  return true;
}

// Replaces the whole line by the formatted text and logs the new line.
template <typename... Args>
bool Replace(char* line, size_t* len, const char* fmt, Args... args) {
  memset(line, 0, *len);
  snprintf(line, kLineBufSize, fmt, args...);
  *len = strlen(line);
  ErrPrintf("%s\n", line);
  return true;
}

}  // namespace

bool FixLine(char* line, size_t* len, int width, int height, bool collate, bool* copy_block) {
  const bool have_size = width != 0 && height != 0;
  const Marks m = Scan(line);

  if (m.media_box) {
    const char* box_end = have_size ? MediaBoxStatementEnd(line, *len) : nullptr;
    if (!box_end) return false;
    if (AtLineEnd(box_end, line + *len))
      return Replace(line, len, "<</Type/Page/MediaBox [0 0 %d %d]\n", width, height);
    // The rest of the page dictionary on the line stays as it was.
    char rest[kLineSize];
    if (!CopyText(rest, sizeof(rest), box_end)) return false;
    return Replace(line, len, "<</Type/Page/MediaBox [0 0 %d %d]%s", width, height, rest);
  }
  if (m.setup_paper_def) return false;
  if (m.setup_paper) {
    if (!have_size || !IsSetupPaperStatement(line, *len)) return false;
    return Replace(line, len, "%d %d pdfSetupPaper\n", width, height);
  }
  if (collate) {
    if (m.copy_begin) {
      *copy_block = true;
      return Empty(line, len);
    }
    if (m.copy_end) {
      *copy_block = false;
      return Empty(line, len);
    }
    if (*copy_block) return Empty(line, len);
  }

  char* key = m.deferred_media;
  if (key && Has(line, kSetPageDevice)) {
    // Insert one slash right behind the two angle brackets; everything else,
    // the line end included, stays as it was.
    if (*len + 2 > kLineBufSize) return false;  // no room for one more byte
    char* after = key + 2;
    memmove(after + 1, after, *len - static_cast<size_t>(after - line) + 1);
    *after = '/';
    ++*len;
    ErrWrite("Modified <</DeferredMediaSelection\n");
    return true;
  }
  return false;
}

int CopyBlockCopies(const char* line) {
  const char* begin = FindNoCase(line, kCopyBlockBegin);
  if (!begin) return 0;
  long n = strtol(begin + strlen(kCopyBlockBegin), nullptr, 10);
  return n > 0 && n <= INT_MAX ? static_cast<int>(n) : 0;
}

}  // namespace mirelo

bool FixPrnPageSize(char* line, int width, int height, bool* copy_block) {
  size_t len = strlen(line);
  return mirelo::FixLine(line, &len, width, height, iscollate, copy_block);
}
