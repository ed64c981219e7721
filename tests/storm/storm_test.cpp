// SPDX-License-Identifier: Apache-2.0
// Cancel storm: the same jobs of every road (plain, finch line, finch
// collated, Heron) cancelled by SIGTERM at a few hundred random points, and
// by the printer (the fake printer's status reply) at random times. Every
// output must be the uncancelled output cut right before a "%%Page:" line and
// closed by the trailer exactly once (and the end-of-job sequence on the
// collated road), or the whole uncancelled output when the cancel came too
// late; Ghostscript renders each; no temporary file is left (a Heron job
// cancelled before its conversion, and any job cancelled while the printer
// is first asked for its device ID, sends nothing). The seed is printed; MIRELOPS_STORM_SEED repeats it.
#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "faults/jobs.h"
#include "harness/harness.h"
#include "harness/printer_link.h"
#include "harness/scheduler.h"

using namespace mtest;
using namespace mtest::jobs;

namespace {

unsigned StormSeed() {
  static const unsigned seed = [] {
    const char* env = getenv("MIRELOPS_STORM_SEED");
    unsigned s = env ? static_cast<unsigned>(strtoul(env, nullptr, 10))
                     : static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    printf("cancel storm seed: %u (MIRELOPS_STORM_SEED=%u repeats it)\n", s, s);
    return s;
  }();
  return seed;
}

// pdftops and Ghostscript stamp their output with the time; such lines are
// not compared.
std::string WithoutDates(const std::string& s) {
  std::string out;
  for (size_t p = 0; p < s.size();) {
    size_t e = s.find('\n', p);
    e = e == std::string::npos ? s.size() : e + 1;
    if (s.compare(p, 15, "%%CreationDate:") != 0) out.append(s, p, e - p);
    p = e;
  }
  return out;
}

struct Road {
  Road(std::string n, FilterJob j, bool c = false, bool h = false)
      : name(std::move(n)), job(std::move(j)), collated(c), heron(h) {}
  std::string name;
  FilterJob job;
  bool collated = false;
  bool heron = false;
  std::string full;  // the uncancelled output, dates taken out
};

// Checks one cancelled run against the uncancelled output. Returns "" when
// it is sound, else what is wrong.
std::string CheckCut(const Road& road, const std::string& raw) {
  std::string out = WithoutDates(raw);
  if (out == road.full) return "";
  std::string end = kTrailer + (road.collated ? kEoj : "");
  if (out.size() < end.size() || out.compare(out.size() - end.size(), end.size(), end) != 0)
    return "does not end with the trailer";
  size_t kept = out.size() - end.size();
  if (out.compare(0, kept, road.full, 0, kept) != 0)
    return "not a prefix: " + HexDiff(road.full.substr(0, kept), out.substr(0, kept));
  if (road.full.compare(kept, 7, "%%Page:") != 0) return "cut not before a page at " + std::to_string(kept);
  if (kept > 0 && road.full[kept - 1] != '\n') return "cut inside a line at " + std::to_string(kept);
  if (out.find(kTrailer) != kept) return "trailer more than once";
  return "";
}

class Storm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string ps = ReadFile(PsFromPdftops(MakePdf(15)));
    roads_ = new std::vector<Road>;
    roads_->emplace_back("plain", PlainJob(WrapInPjl(ps)));
    roads_->emplace_back("finch line", FinchJob(FinchWrap(ps)));
    roads_->emplace_back("finch collated", CollatedJob(FinchWrap(ps), "3"), true);
    // The Heron printer's PPD names another model: a cancel never makes the
    // job plain (its PDF sent as it is).
    roads_->emplace_back("heron", HeronJob(ReadFile(MakePdf(12))), false, true);
    roads_->back().job.ppd = MakePpd("Mirelo P2200DN Series PS", "DuplexNoTumble");
    for (Road& road : *roads_) {
      road.job.output_pipe_size = 4096;
      FilterResult r = RunFilter(road.job);
      road.full = WithoutDates(r.out);
    }
  }
  static void TearDownTestSuite() {
    delete roads_;
    roads_ = nullptr;
  }
  static inline std::vector<Road>* roads_ = nullptr;
};

}  // namespace

TEST_F(Storm, SigtermAtRandomPoints) {
  std::mt19937 rng(StormSeed());
  std::map<std::string, std::map<size_t, std::string>> distinct;  // road -> length -> output
  for (const Road& road : *roads_) {
    ASSERT_GT(road.full.size(), 10000u) << road.name;
    ASSERT_EQ(RenderedPages(road.full), static_cast<int>(Count(road.full, "%%Page:"))) << road.name;
    const int runs = road.heron ? 30 : 80;
    for (int i = 0; i < runs; ++i) {
      FilterJob job = road.job;
      std::string tmp = FreshDir("storm");
      job.env["TMPDIR"] = tmp;
      std::string when;
      if (i % 5 == 4) {
        // By the clock: also while the job is spooled or converted.
        job.term_after = std::uniform_real_distribution<double>(0, road.heron ? 0.6 : 0.05)(rng);
        when = "after " + std::to_string(job.term_after) + " s";
      } else {
        // By the output: the reader stops there and the filter blocks soon after.
        // Every other run stops among the pages, past the prolog (which is
        // most of a converted job), so that every road meets several cut points.
        long from = i % 2 ? static_cast<long>(road.full.find("%%Page:")) : 0;
        job.term_at_output = std::uniform_int_distribution<long>(
            from, static_cast<long>(road.full.size()) - 1)(rng);
        job.hold_output_until_term = true;
        when = "at output byte " + std::to_string(job.term_at_output);
      }
      FilterResult r = RunFilter(job);
      if (r.term_signal == SIGTERM) {
        // Signalled before the filter had set up its handler, in its first
        // milliseconds: it ends at once, before anything was sent or made.
        ASSERT_TRUE(r.out.empty()) << road.name << " " << when;
        ASSERT_TRUE(ListDir(tmp).empty()) << road.name << " " << when;
        continue;
      }
      ASSERT_EQ(r.exit_code, 0) << road.name << " " << when;
      // Every file of the job is gone, whenever it was cancelled.
      ASSERT_TRUE(ListDir(tmp).empty()) << road.name << " " << when;
      // A Heron job cancelled before its conversion is not converted or sent;
      // no job cancelled while the printer is first asked is.
      if (r.out.empty() &&
          (road.heron ||
           r.err.find("DEBUG: The job is cancelled before the printer answered") != std::string::npos))
        continue;
      std::string wrong = CheckCut(road, r.out);
      ASSERT_EQ(wrong, "") << road.name << " cancelled " << when << " (seed " << StormSeed() << ")";
      // The plain road sends no more than the pipe (4 KiB) held when the
      // reader stopped, and the rest of the chunk in flight, before it cuts.
      if (road.name == "plain" && job.term_at_output >= 0 && r.out != road.full) {
        ASSERT_LE(r.out.size() - kTrailer.size(),
                  ChunkCut(road.full, static_cast<size_t>(job.term_at_output) + 4096 + 8191))
            << when << " (seed " << StormSeed() << ")";
      }
      // The pages sent, each counted once.
      ASSERT_EQ(CountedPages(r.err), PageComments(r.out)) << road.name << " " << when;
      distinct[road.name].emplace(r.out.size(), WithoutDates(r.out));
    }
  }
  // Ghostscript renders every distinct output, with the pages it holds.
  for (const auto& [name, outs] : distinct) {
    // The chunk roads cut only in an 8 KiB chunk that holds a page start
    // (and not the first page right behind the setup): fewer cut points.
    size_t least = name == "plain" || name == "heron" ? 2 : 5;
    EXPECT_GE(outs.size(), least) << name << ": too few distinct cut points";
    for (const auto& [size, out] : outs) {
      int pages = RenderedPages(out);
      EXPECT_EQ(pages, static_cast<int>(Count(out, "%%Page:"))) << name << ", " << size << " bytes";
    }
  }
}

TEST_F(Storm, ThePrinterCancelsAtRandomTimes) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  CupsScheduler sched;
  std::string why;
  if (!sched.Start(&why)) GTEST_SKIP() << "no private CUPS scheduler: " << why;
  ASSERT_TRUE(sched.AddQueue("storm_q", "socket://127.0.0.1:9100", FixturePpd("finch"), &why)) << why;

  std::mt19937 rng(StormSeed() + 1);
  for (const Road& road : *roads_) {
    if (road.name == "plain" || road.heron) continue;  // only the finch roads watch the printer
    for (int i = 0; i < 2; ++i) {
      // The monitor asks 2 s after the writer starts and then every 2.5 s;
      // the printer reports the cancel at its first or its second answer,
      // while the filter stands still at a random point of the job.
      int answer = std::uniform_int_distribution<int>(0, 1)(rng);
      FakePrinter printer;
      std::vector<FakePrinter::Answer> script(
          answer, FakePrinter::Answer::Reply(FakePrinter::StatusReply(120, 0x07, HostName())));
      script.push_back(FakePrinter::Answer::Reply(FakePrinter::StatusReply(120, 0x86, HostName())));
      printer.Script(script);
      ASSERT_TRUE(printer.Start(&why)) << why;

      FilterJob job = road.job;
      job.queue = "storm_q";
      for (const auto& [key, value] : sched.ClientEnv()) job.env[key] = value;
      std::string tmp = FreshDir("printer-cancel");
      job.env["TMPDIR"] = tmp;
      job.pause_output_at = std::uniform_int_distribution<long>(0,
                                                                static_cast<long>(road.full.size()) / 2)(rng);
      job.pause_output_seconds = answer == 0 ? 3.5 : 6.0;
      FilterResult r = RunFilter(job);
      printer.Stop();
      EXPECT_EQ(r.exit_code, 0);
      EXPECT_NE(r.err.find("ip:127.0.0.1\n"), std::string::npos) << r.err.substr(0, 3000);
      EXPECT_EQ(printer.Count(), static_cast<size_t>(answer + 1)) << road.name;
      EXPECT_EQ(r.err.find("cancel_job =1"), std::string::npos);
      std::string out = WithoutDates(r.out);
      EXPECT_NE(out, road.full) << road.name << ": the printer's cancel was not seen";
      EXPECT_EQ(CheckCut(road, r.out), "") << road.name << " paused at " << job.pause_output_at;
      EXPECT_EQ(RenderedPages(out), static_cast<int>(Count(out, "%%Page:")));
      EXPECT_TRUE(ListDir(tmp).empty()) << road.name;
    }
  }
}
