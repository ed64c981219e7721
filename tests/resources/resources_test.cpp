// SPDX-License-Identifier: Apache-2.0
// The filter's use of resources: its peak memory stays flat whatever the
// job's size (a 10 MB and a 1 GB job on the plain and the finch roads), and
// under valgrind a normal job of every road has no memory error, no leak, no
// descriptor left open and no keep-alive thread left unjoined.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "faults/jobs.h"
#include "harness/harness.h"
#include "harness/printer_link.h"

using namespace mtest;
using namespace mtest::jobs;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr const char* kSanitized =
    "the filter is built with a sanitizer, which changes its memory and cannot run under valgrind";
#else
constexpr const char* kSanitized = nullptr;
#endif

// A PostScript-like job of about `bytes` bytes in lines of some 1000 bytes,
// with a page start every 64 lines, closed by the PJL Universal Exit
// Language so that the spool adds nothing.
void MakeBigJob(const std::string& path, size_t bytes) {
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::string filler = "% " + std::string(996, 'x') + "\n";
  size_t written = fprintf(f, "%%!PS-Adobe-3.0\n");
  for (size_t line = 0; written < bytes; ++line) {
    if (line % 64 == 0) written += fprintf(f, "%%%%Page: %zu %zu\n", line / 64 + 1, line / 64 + 1);
    written += fwrite(filler.data(), 1, filler.size(), f);
  }
  fputs((kUel + "\n").c_str(), f);
  fclose(f);
}

struct BigRun {
  long rss_kb = 0;
  bool same = false;
};

BigRun RunBig(FilterJob job, const std::string& path) {
  std::string tmp = FreshDir("big");
  job.input_file = path;
  job.digest_output = true;
  job.env["TMPDIR"] = tmp;
  job.timeout = 600;
  // The filter reports its own peak (VmHWM) at exit.
  const std::string report = FreshDir("peak") + "/report";
  job.env["LD_PRELOAD"] = MTEST_PEAKRSS;
  job.env["MIRELOPS_BENCH_REPORT"] = report;
  FilterResult r = RunFilter(job);
  r.max_rss_kb = atol(ReadFile(report).c_str());
  EXPECT_EQ(r.exit_code, 0) << r.err.substr(0, 2000);
  EXPECT_FALSE(r.timed_out);
  struct stat st = {};
  stat(path.c_str(), &st);
  EXPECT_EQ(r.out_size, static_cast<size_t>(st.st_size));
  BigRun run;
  run.rss_kb = r.max_rss_kb;
  run.same = r.out_digest == FileDigest(path);
  std::filesystem::remove_all(tmp);
  return run;
}

}  // namespace

TEST(Resources, PeakMemoryStaysFlatWhateverTheJobSize) {
  if (kSanitized) GTEST_SKIP() << kSanitized;
  std::string dir = FreshDir("huge");
  std::string small = dir + "/10MB.ps", huge = dir + "/1GB.ps";
  MakeBigJob(small, 10u << 20);
  MakeBigJob(huge, 1u << 30);
  struct Road {
    const char* name;
    FilterJob job;
  };
  const Road roads[] = {{"plain", PlainJob("")}, {"finch line", FinchJob("")}};
  for (const Road& road : roads) {
    BigRun a = RunBig(road.job, small);
    BigRun b = RunBig(road.job, huge);
    EXPECT_TRUE(a.same && b.same) << road.name << ": output differs from the job";
    printf("%s: peak RSS %ld kB for 10 MB, %ld kB for 1 GB\n", road.name, a.rss_kb, b.rss_kb);
    EXPECT_GT(a.rss_kb, 0);
    EXPECT_LT(b.rss_kb, 32 * 1024) << road.name;
    EXPECT_LT(b.rss_kb - a.rss_kb, 2 * 1024) << road.name << ": memory grows with the job";
  }
  std::filesystem::remove_all(dir);
}

TEST(Resources, ValgrindFindsNoErrorLeakOrOpenDescriptor) {
  if (kSanitized) GTEST_SKIP() << kSanitized;
  if (mtest::Run({"valgrind", "--version"}) != 0) GTEST_SKIP() << "valgrind is not installed";
  std::string ps = ReadFile(PsFromPdftops(MakePdf(3)));
  struct Road {
    const char* name;
    FilterJob job;
  };
  const Road roads[] = {{"plain", PlainJob(WrapInPjl(ps))},
                        {"finch line", FinchJob(FinchWrap(ps))},
                        {"finch collated", CollatedJob(FinchWrap(ps), "3")},
                        {"heron", HeronJob(ReadFile(MakePdf(4)))}};
  // With a network printer the Heron road runs its keep-alive thread, which
  // wakes 127.0.0.1: only inside a private network.
  std::string why;
  bool private_net = EnterPrivateNetwork(&why);
  for (const Road& road : roads) {
    FilterJob job = road.job;
    if (road.job.ppd == FixturePpd("heron") && private_net) job.device_uri = "socket://127.0.0.1:9100";
    job.env["TMPDIR"] = FreshDir("valgrind");
    job.timeout = 300;
    // Memory: no error, no definite leak.
    job.wrapper = {"valgrind", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite",
                   "--show-leak-kinds=definite,possible"};
    FilterResult r = RunFilter(job);
    EXPECT_EQ(r.exit_code, 0) << road.name << ": valgrind found errors\n" << r.err;
    EXPECT_FALSE(r.out.empty()) << road.name;
    EXPECT_NE(r.err.find("ERROR SUMMARY: 0 errors"), std::string::npos) << road.name << r.err;

    // Descriptors, in a run of their own: valgrind 3.23 and later count every
    // descriptor open at the exit as an error, the inherited ones too (which
    // no suppression can name), so this run is judged by what it lists.
    // Every descriptor open at the exit came from the scheduler (0, 1, 2 and
    // the side channel); none is the filter's own. No descriptor is closed
    // twice or used while not open (valgrind 3.23 and later report those
    // with the stack) but by libcups, which closes -1 when a connect failed
    // (here its queue lookup, with no scheduler to ask).
    FilterJob fds = job;
    fds.wrapper = {"valgrind", "--track-fds=yes"};
    fds.env["TMPDIR"] = FreshDir("valgrind");
    FilterResult f = RunFilter(fds);
    EXPECT_EQ(f.exit_code, 0) << road.name << f.err;
    for (const char* misuse : {"Invalid file descriptor", "was closed already"}) {
      for (size_t p = 0; (p = f.err.find(misuse, p)) != std::string::npos; ++p) {
        std::string report = f.err.substr(p, f.err.find("== \n", p) - p);
        EXPECT_NE(report.find("by 0x"), std::string::npos) << road.name << ": " << report;
        EXPECT_NE(report.find(": httpAddrClose (in "), std::string::npos) << road.name << ": " << report;
      }
    }
    std::istringstream lines(f.err);
    std::string line, open_entry;
    std::vector<std::string> own;
    while (std::getline(lines, line)) {
      size_t at = line.find("Open ");
      if (at != std::string::npos && line.find("file descriptor") == std::string::npos &&
          line.find("socket") == std::string::npos)
        at = std::string::npos;
      if (at != std::string::npos && line.find("FILE DESCRIPTORS") == std::string::npos) {
        if (!open_entry.empty()) own.push_back(open_entry);
        open_entry = line.substr(at);
      } else if (!open_entry.empty() && line.find("<inherited from parent>") != std::string::npos) {
        open_entry.clear();
      }
    }
    if (!open_entry.empty()) own.push_back(open_entry);
    EXPECT_TRUE(own.empty()) << road.name << ": descriptor left open: " << own[0] << "\n" << f.err;

    // Threads: no thread's stack is left behind. The cancel monitor of the
    // finch roads is detached (never joined, it ends by itself or with the
    // process); the keep-alive thread of the Heron road is joined.
    size_t threads = 0;
    for (size_t p = 0; (p = r.err.find("allocate_stack", p)) != std::string::npos; ++p) ++threads;
    EXPECT_EQ(threads, 0u) << road.name << r.err;
    if (job.device_uri) {
      EXPECT_NE(r.err.find("End::g_bDammyEnd = 1"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("fail to get host name"), std::string::npos) << "no keep-alive thread ran";
    }
  }
  if (!private_net) GTEST_SKIP() << "the Heron road ran without its keep-alive thread: " << why;
}
