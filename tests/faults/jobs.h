// SPDX-License-Identifier: Apache-2.0
// Jobs of every road as the scheduler hands them over, and what the filter
// sends for them, for the fault, storm and resource tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "harness/harness.h"

namespace mtest::jobs {

inline const std::string kPlainId = DeviceIdFor("Mirelo P2200DN");
inline const std::string kFinchId = DeviceIdFor("Mirelo F4200DN");
inline const std::string kHeronId = DeviceIdFor("Mirelo H9200DN");
inline const std::string kUel = "\x1b%-12345X";
inline const std::string kEoj = "\x04" + kUel;
inline const std::string kTrailer =
    "%%Trailer\nend\n%%Pages: 4\n%%BoundingBox: 0 0 595 842\n%%EOF\n\x04" + kUel + "\n";
inline const char kConvertFailed[] = "DEBUG: fail to change file from pdf to ps.\n";

inline std::string HostName() {
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  return host;
}

inline std::string Tags(const std::string& job_id = "42") {
  return "@PJL SET JOBOWNER=\"" + HostName() + "\"\r\n@PJL SET JOBID=" + job_id + "\r\n";
}

// The job as CUPS wraps it for the finch PPD, whose JCL end starts with the
// end of the PostScript job.
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

// The lines (with their line feeds) that do not hold the end-of-job sequence.
inline std::string DropEojLines(const std::string& text) {
  std::string out;
  for (size_t p = 0; p < text.size();) {
    size_t e = text.find('\n', p);
    e = e == std::string::npos ? text.size() : e + 1;
    std::string line = text.substr(p, e - p);
    if (line.find(kEoj) == std::string::npos) out += line;
    p = e;
  }
  return out;
}

// What a collated job of n copies sends when its replay file works.
inline std::string CollatedOutput(const std::string& first, int n) {
  size_t lang = first.find("@PJL ENTER LANGUAGE");
  std::string body = lang == std::string::npos ? first : first.substr(first.find('\n', lang) + 1);
  std::string out = first;
  for (int i = 1; i < n; ++i) out += body;
  return out + kEoj;
}

inline FilterJob CollatedJob(const std::string& input, const std::string& copies) {
  FilterJob job = FinchJob(input, "Collate=True");
  job.copies = copies;
  return job;
}

// A Heron queue whose PPD asks for long-edge duplex: the back sides are turned.
inline FilterJob HeronJob(const std::string& pdf_bytes) {
  FilterJob job;
  job.ppd = FixturePpd("heron");
  job.side = {SideAnswer::Id(kHeronId), SideAnswer::Id(kHeronId), SideAnswer::Id(kHeronId)};
  job.input = pdf_bytes;
  return job;
}

// A new, empty folder under the test's temporary folder.
inline std::string FreshDir(const std::string& name) {
  static int n = 0;
  std::string dir = TempPath(name + "-" + std::to_string(++n));
  mkdir(dir.c_str(), 0755);
  return dir;
}

// The pages Ghostscript renders from the printer stream with the PJL taken
// off, -1 when it fails.
inline int RenderedPages(const std::string& out) {
  std::string ps;
  for (size_t p = 0; p < out.size();) {
    size_t e = out.find('\n', p);
    e = e == std::string::npos ? out.size() : e + 1;
    std::string line = out.substr(p, e - p);
    for (size_t u; (u = line.find(kUel)) != std::string::npos;) line.erase(u, kUel.size());
    for (size_t c; (c = line.find('\x04')) != std::string::npos;) line.erase(c, 1);
    if (line.rfind("@PJL", 0) != 0) ps += line;
    p = e;
  }
  static int n = 0;
  std::string path = TempPath("render-" + std::to_string(++n) + ".ps");
  WriteFile(path, ps);
  int pages = GsPageCount(path);
  unlink(path.c_str());
  return pages;
}

}  // namespace mtest::jobs
