// SPDX-License-Identifier: Apache-2.0
// The tests' words: a model of each family, the bytes of the jobs the
// scheduler hands over and of what the filter sends for them (PJL tags, end
// of job, the trailer of a job cut off at a page boundary), and the
// filter's messages that several tests look for. Written out here, not
// taken from the filter's sources, so that a change there shows.
#pragma once

#include <unistd.h>

#include <string>

#include "harness/harness.h"

namespace mtest {

inline const std::string kPlainId = DeviceIdFor("Mirelo P2200DN");
inline const std::string kFinchId = DeviceIdFor("Mirelo F4200DN");
inline const std::string kHeronId = DeviceIdFor("Mirelo H9200DN");

// Universal exit language, and the end of a PostScript job in PJL.
inline const std::string kUel = "\x1b%-12345X";
inline const std::string kEoj = "\x04\x1b%-12345X";
// What a job cut off at a page boundary ends with (69 bytes).
inline const std::string kTrailer =
    "%%Trailer\nend\n%%Pages: 4\n%%BoundingBox: 0 0 595 842\n%%EOF\n\x04\x1b%-12345X\n";

inline const char kConvertFailed[] = "DEBUG: fail to change file from pdf to ps.\n";

// This host's name, the owner in a finch job's tags.
inline std::string HostName() {
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  return host;
}

// The PJL tags of a finch job; an A5 job fed long edge first also asks for
// A5L paper.
inline std::string Tags(const std::string& job_id = "42", bool a5 = false) {
  return "@PJL SET JOBOWNER=\"" + HostName() + "\"\r\n@PJL SET JOBID=" + job_id + "\r\n" +
         (a5 ? "@PJL SET PAPER=A5L\r\n" : "");
}

// The job as CUPS wraps it for the finch PPD, whose JCL end starts with the
// end of the PostScript job: "<04><1B>%-12345X@PJL EOJ..." is written as is.
inline std::string FinchWrap(const std::string& ps) {
  std::string w = WrapInPjl(ps);
  w.insert(w.size() - (kUel + "@PJL EOJ\n" + kUel).size(), "\x04");
  return w;
}

// The tags go right behind the job-name line.
inline std::string Tagged(const std::string& job, const std::string& tags = Tags()) {
  size_t name = job.find("@PJL JOB NAME");
  if (name == std::string::npos) return job;
  std::string out = job;
  out.insert(job.find('\n', name) + 1, tags);
  return out;
}

// The lines (each with its line feed) for which keep() is true.
template <typename Keep>
std::string KeepLines(const std::string& text, Keep keep) {
  std::string out;
  for (size_t p = 0; p < text.size();) {
    size_t e = text.find('\n', p);
    e = e == std::string::npos ? text.size() : e + 1;
    std::string line = text.substr(p, e - p);
    if (keep(line)) out += line;
    p = e;
  }
  return out;
}

// The lines that do not hold the end-of-job sequence.
inline std::string DropEojLines(const std::string& text) {
  return KeepLines(text, [](const std::string& l) { return l.find(kEoj) == std::string::npos; });
}

// What a collated job of n copies sends when its replay file works.
inline std::string CollatedOutput(const std::string& first, int n) {
  size_t lang = first.find("@PJL ENTER LANGUAGE");
  std::string body = lang == std::string::npos ? first : first.substr(first.find('\n', lang) + 1);
  std::string out = first;
  for (int i = 1; i < n; ++i) out += body;
  return out + kEoj;
}

// The pages Ghostscript renders from the printer stream with the PJL taken
// off, -1 when it fails.
inline int RenderedPages(const std::string& out) {
  std::string ps = KeepLines(out, [](std::string& line) {
    for (size_t u; (u = line.find(kUel)) != std::string::npos;) line.erase(u, kUel.size());
    for (size_t c; (c = line.find('\x04')) != std::string::npos;) line.erase(c, 1);
    return line.rfind("@PJL", 0) != 0;
  });
  static int n = 0;
  std::string path = TempPath("render-" + std::to_string(++n) + ".ps");
  WriteFile(path, ps);
  int pages = GsPageCount(path);
  unlink(path.c_str());
  return pages;
}

}  // namespace mtest
