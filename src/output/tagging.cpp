// SPDX-License-Identifier: Apache-2.0
// Tagging of a finch job: the PJL header is found, and its job-name line
// gets the job owner, job id and (A5 long edge) paper lines behind it.
#include "output/output-private.h"

#include <cstdio>
#include <cstring>

#include "common/io.h"

namespace mirelo {

namespace {

// The job-name line written by the spooler, which is tagged, and the
// language line, which ends the PJL header.
constexpr char kJobNameLine[] = "@PJL JOB NAME";
constexpr char kEnterLanguage[] = "@PJL ENTER LANGUAGE";
// Asks the printer for A5 paper fed long edge first.
constexpr char kA5Line[] = "@PJL SET PAPER=A5L\r\n";
constexpr char kUel[] = "\x1b%-12345X";
constexpr size_t kUelLen = sizeof(kUel) - 1;

}  // namespace

Tags MakeTags(const char* host, const char* job_id, bool a5) {
  constexpr int kOwnerRoom = static_cast<int>(kTagSize - 1 - (sizeof("@PJL SET JOBOWNER=\"\"\r\n") - 1));
  constexpr int kJobIdRoom = static_cast<int>(kTagSize - 1 - (sizeof("@PJL SET JOBID=\r\n") - 1));
  Tags tags;
  snprintf(tags.owner, sizeof(tags.owner), "@PJL SET JOBOWNER=\"%.*s\"\r\n", kOwnerRoom, host);
  snprintf(tags.jobid, sizeof(tags.jobid), "@PJL SET JOBID=%.*s\r\n", kJobIdRoom, job_id);
  tags.a5 = a5;
  return tags;
}

bool PjlHeader::Takes(const char* line, size_t len) {
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

bool IsLanguageLine(const char* line, size_t len) { return FindBytes(line, len, kEnterLanguage) != nullptr; }

size_t Tag(char* line, size_t len, const Tags& tags) {
  if (!memchr(line, '@', len) || !FindBytes(line, len, kJobNameLine)) return len;
  return TagLine(line, len, tags.owner, tags.jobid, tags.a5);
}

size_t TagLine(char* line, size_t len, const char* owner, const char* jobid, bool a5) {
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

}  // namespace mirelo
