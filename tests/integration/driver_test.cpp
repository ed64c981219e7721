// SPDX-License-Identifier: Apache-2.0
// The filter run as the scheduler runs it: arguments, refusals, printer
// identification, spooling and the plain PostScript road, cancel by SIGTERM.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "harness/harness.h"
#include "harness/words.h"

using namespace mtest;

namespace {

std::string FirstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

// A multi-page PostScript job with its PJL wrapping, as CUPS hands it over.
const std::string& RealJob() {
  static const std::string job = WrapInPjl(ReadFile(PsFromPdftops(MakePdf(400))));
  return job;
}

}  // namespace

TEST(Driver, UnsupportedPrinterIsRefusedBeforeReadingInput) {
  FilterJob job;
  job.ppd = FixturePpd("unsupported");
  job.side = {SideAnswer::Id(DeviceIdFor("Mirelo X1000"))};
  job.input = "%!PS\nshowpage\n";
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.stdin_unread, job.input.size());
  EXPECT_GE(r.seconds, 0.95);
  EXPECT_LT(r.seconds, 5.0);
  // libcups writes the prefix, the message (which ends in its own line feed),
  // then ": " and the system error text.
  EXPECT_EQ(FirstLine(r.err), "ERROR:当前打印机不可打印，请使用正确的打印机") << r.err;
  size_t after = r.err.find("请使用正确的打印机\n");
  ASSERT_NE(after, std::string::npos);
  EXPECT_EQ(r.err.substr(after + strlen("请使用正确的打印机\n"), 2), ": ");
}

TEST(Driver, UsageWithTooFewArguments) {
  FilterJob job;
  job.raw_args = {"1", "alice", "title", "1"};
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("ERROR: Usage: ", 0), 0u) << r.err;
  EXPECT_EQ(r.side_requests, 0);
}

TEST(Driver, SevenArgumentsPrintTheNamedFileWithoutReadingStdin) {
  std::string path = PsFromPs2write(MakePdf(3));
  FilterJob job = PlainJob("stdin must stay unread");
  job.file = path;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.stdin_unread, job.input.size());
  EXPECT_TRUE(r.out == ReadFile(path)) << HexDiff(ReadFile(path), r.out);
  EXPECT_TRUE(FileExists(path));
}

TEST(Driver, OverlongFileNameIsRefusedNotCut) {
  FilterJob job = PlainJob("");
  job.file = "/tmp/" + std::string(600, 'a');
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("ERROR:"), std::string::npos);
}

TEST(Driver, PlainJobPassesByteForByte) {
  FilterJob job = PlainJob(RealJob());
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.out == RealJob()) << HexDiff(RealJob(), r.out);
  EXPECT_EQ(r.side_requests, 2);
  EXPECT_EQ(r.err.find(kEoj), std::string::npos);
  EXPECT_EQ(r.output_pipe_size, 64 * 1024) << "a short job leaves the pipe as it is";
}

// A reader that takes a long job fast gets it through a larger pipe, but one
// that made its pipe small keeps it small. (A slow reader keeps the default:
// the cancel end to end, whose backend is slow, cuts inside a short job.)
TEST(Driver, FastReaderGetsALargerOutputPipe) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the test's reader, under ThreadSanitizer, is slower than the filter's mark of a fast one";
#endif
  std::string big;
  while (big.size() < (32u << 20)) big += RealJob();
  FilterJob job = PlainJob(big);
  FilterResult r = RunFilter(job);
  EXPECT_TRUE(r.out == big);
  EXPECT_EQ(r.output_pipe_size, 256 * 1024);
  job.output_pipe_size = 4096;
  EXPECT_EQ(RunFilter(job).output_pipe_size, 4096);
}

TEST(Driver, SpoolAddsEndOfJobOnlyWhenTheEndShowsNone) {
  struct Case {
    std::string input, expected_out;
    bool appended;
  };
  std::string ps = ReadFile(PsFromPs2write(MakePdf(2)));
  std::string tail_marker_lower = std::string(20000, 'x') + "\n\x1b%-12345x\n";
  const Case cases[] = {
      {"", "", false},                                     // empty input
      {"%!PS\nabc", "%!PS\nabc", false},                   // 9 bytes: not tested
      {"%!PS\nabcde", "%!PS\nabcde" + kEoj + "\n", true},  // 10 bytes, no marker
      {ps, ps + kEoj + "\n", true},                        // a real job without PJL
      {tail_marker_lower, tail_marker_lower, false},       // lower-case x counts
      // A NUL ends the tested text: the marker behind it is not seen.
      {std::string("%!PS\nshowpage\n\0\x1b%-12345X", 24),
       std::string("%!PS\nshowpage\n\0\x1b%-12345X", 24) + kEoj + "\n", true},
      // ...and a text shortened below 10 bytes appends nothing.
      {std::string("%!PS\n\0aaaaaaaaaa", 16), std::string("%!PS\n\0aaaaaaaaaa", 16), false},
  };
  for (const Case& c : cases) {
    FilterResult r = RunFilter(PlainJob(c.input));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out == c.expected_out) << HexDiff(c.expected_out, r.out);
    EXPECT_EQ(r.err.find(kEoj + "\n") != std::string::npos, c.appended)
        << HexDiff(c.input.substr(0, 40), r.err.substr(0, 0)) << r.err;
  }
}

TEST(Driver, MarkerLeftBehindByALongerEarlierReadCounts) {
  // 8192 bytes ending in the marker, then a short last read: the end test
  // sees the short read followed by the rest of the earlier chunk.
  std::string first(8192 - 9, 'a');
  first += kUel;
  std::string job = first + "short tail\n";
  FilterJob fj = PlainJob("");
  std::string path = TempPath("two-reads.ps");
  // Feed through stdin in one go: the pipe delivers 8192 and then the rest.
  fj.input = job;
  FilterResult r = RunFilter(fj);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.out == job) << HexDiff(job, r.out);
}

TEST(Driver, IdentificationByDeviceIdOrNickname) {
  // A known device ID wins over an unknown nickname.
  {
    FilterJob job = PlainJob("%!PS\n" + kUel);
    job.ppd = FixturePpd("unsupported");
    EXPECT_EQ(RunFilter(job).exit_code, 0);
  }
  // A received device ID shuts out the nickname.
  {
    FilterJob job = PlainJob("%!PS\n");
    job.side = {SideAnswer::Id(DeviceIdFor("Mirelo X1000"))};
    EXPECT_EQ(RunFilter(job).exit_code, 1);
  }
  // No device ID (not implemented, closed, no channel): the nickname decides.
  for (auto side : {std::vector<SideAnswer>{SideAnswer::Status(7), SideAnswer::Status(7)},
                    std::vector<SideAnswer>{SideAnswer::Close()}, std::vector<SideAnswer>{}}) {
    FilterJob job = PlainJob("%!PS\n" + kUel);
    job.side = side;
    job.no_side_channel = side.empty();
    FilterResult r = RunFilter(job);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.term_signal, 0);
    size_t miss = r.err.find("cups api can't find 1284 information.\n");
    size_t nick = r.err.find("attr->value :Mirelo P2200DN Series PS.\n");
    ASSERT_NE(miss, std::string::npos) << r.err;
    ASSERT_NE(nick, std::string::npos) << r.err;
    EXPECT_LT(miss, nick);
    EXPECT_EQ(r.out, "%!PS\n" + kUel);
  }
  // Neither: refused, also without any PPD.
  {
    FilterJob job = PlainJob("%!PS\n");
    job.side = {SideAnswer::Status(2)};
    job.ppd = FixturePpd("unsupported");
    EXPECT_EQ(RunFilter(job).exit_code, 1);
    job.ppd.reset();
    EXPECT_EQ(RunFilter(job).exit_code, 1);
  }
}

TEST(Driver, DeviceIdSizeLimits) {
  // 511 bytes still fit the buffer; more is refused by the channel, and the
  // PPD nickname decides.
  std::string id511 = kPlainId + std::string(511 - kPlainId.size(), 'z');
  FilterJob job = PlainJob("%!PS\n" + kUel);
  job.ppd = FixturePpd("unsupported");
  job.side = {SideAnswer::Id(id511), SideAnswer::Id(id511)};
  EXPECT_EQ(RunFilter(job).exit_code, 0);
  job.side = {SideAnswer::Id(id511 + "zz")};
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cups api can't find 1284 information."), std::string::npos);
}

TEST(Driver, SideChannelClosedAfterFirstAnswerDoesNotKill) {
  FilterJob job = PlainJob("%!PS\n" + kUel);
  job.side = {SideAnswer::Id(kPlainId), SideAnswer::Close()};
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, job.input);
}

// The reader stops at a point, the filter fills the pipe and waits, the
// cancel comes: what was in the pipe and the rest of the chunk in flight go
// out, and the cut falls where the chunk copy from there puts it (from
// standard input, whose pages the spool counted, and from argument 6).
TEST(Driver, SigtermCutsAtTheNextPageWithTheTrailer) {
  const std::string& full = RealJob();
  std::string path = TempPath("cut.ps");
  WriteFile(path, full);
  // A negative point: the same, the job named as argument 6.
  for (long at : {1L, 30000L, 131072L, 150000L, -131072L}) {
    FilterJob job = PlainJob(full);
    if (at < 0) job.file = path, at = -at;
    job.term_at_output = at;
    job.hold_output_until_term = true;
    FilterResult r = RunFilter(job);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("cancel_job =1\n"), std::string::npos);
    ASSERT_GT(r.out.size(), kTrailer.size());
    ASSERT_EQ(r.out.substr(r.out.size() - kTrailer.size()), kTrailer) << "at " << at;
    size_t kept = r.out.size() - kTrailer.size();
    EXPECT_EQ(r.out.substr(0, kept), full.substr(0, kept));
    EXPECT_EQ(full.compare(kept, 7, "%%Page:"), 0) << "cut not before a page at " << kept;
    EXPECT_GE(kept, static_cast<size_t>(at));
    // At most a full default pipe (64 KiB) ahead of the reader, then the chunk copy.
    EXPECT_LE(kept, ChunkCut(full, static_cast<size_t>(at) + 65536 + 8191)) << "at " << at;
    EXPECT_EQ(r.out.find(kTrailer), kept) << "trailer once";
    EXPECT_EQ(PageLines(r.err), ExpectedPageLines(PageComments(r.out)))
        << "only the pages sent count, at " << at;
    EXPECT_NE(r.err.find("data_buf = "), std::string::npos);
    // Said once, in the scheduler's terms.
    size_t info = r.err.find("INFO: Job cancelled; the output was closed at a page boundary\n");
    EXPECT_NE(info, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("INFO: Job cancelled", info + 1), std::string::npos);
  }
}

TEST(Driver, SigtermDuringSpoolingSpoolsAllThenCutsAtTheFirstPage) {
  const std::string& full = RealJob();
  FilterJob job = PlainJob(full);
  job.stall_input_at = 50000;
  job.stall_input_for = 0.6;
  job.term_after = 0.3;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.stdin_unread, 0u) << "the whole input is spooled";
  EXPECT_NE(r.err.find("cancel_job =1\n"), std::string::npos);
  // Chunks of 8192 bytes go out whole until the first one that holds a page
  // start not directly behind the end of the setup; it is cut there.
  std::string expected = full.substr(0, ChunkCut(full, 0)) + kTrailer;
  EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
  EXPECT_EQ(PageLines(r.err), ExpectedPageLines(PageComments(r.out)));
}

// Page accounting: a PAGE line for every page sent, whether the job comes on
// a pipe (moved into the spool by the kernel and counted there), as a file,
// or on descriptors the kernel moves nothing between (a regular file as the
// input, an output opened for appending): the plain copy then sends the
// same bytes.
TEST(Driver, EveryPageSentIsCountedOnEveryWayIn) {
  const std::string& job = RealJob();
  ASSERT_EQ(PageComments(job), 400);
  std::string path = TempPath("counted.ps");
  WriteFile(path, job);
  FilterJob named = PlainJob("");
  named.file = path;
  FilterJob plain_copy = PlainJob("");
  plain_copy.input_file = path;
  plain_copy.output_file = TempPath("appended.out");
  for (const FilterJob& j : {PlainJob(job), named, plain_copy}) {
    FilterResult r = RunFilter(j);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out == job) << HexDiff(job, r.out);
    EXPECT_EQ(PageLines(r.err), ExpectedPageLines(400));
  }
  // A job without page comments is one page.
  EXPECT_EQ(PageLines(RunFilter(PlainJob("%!PS\nshowpage\n")).err), "PAGE: 1 1\n");
}

TEST(Driver, TwoSigtermsWriteTheLineTwice) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer holds a signal that arrives during a blocked write and merges "
                  "the second one into it";
#endif
  FilterJob job = PlainJob(RealJob());
  job.term_at_output = 1;
  job.hold_output_until_term = true;
  job.term_count = 2;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  size_t first = r.err.find("cancel_job =1\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(r.err.find("cancel_job =1\n", first + 1), std::string::npos);
}

TEST(Driver, ClosedOutputIsReportedOnceAndStopsTheJob) {
  std::string big;
  for (int i = 0; i < 2000; ++i) big += RealJob().substr(0, 4096);
  std::string path = TempPath("big-plain.ps");
  WriteFile(path, big);
  FilterJob job = PlainJob("");
  job.file = path;
  job.close_output = true;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.term_signal, 0) << "killed by SIGPIPE";
  EXPECT_EQ(r.exit_code, 0);
  size_t first = r.err.find("Broken pipe");
  ASSERT_NE(first, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Broken pipe", first + 1), std::string::npos);
  EXPECT_EQ(r.err.find("write file error!"), std::string::npos);
}

TEST(Driver, FullSpoolDiskLosesNothingSilently) {
  std::string tmp = TempPath("spool-full");
  mkdir(tmp.c_str(), 0700);
  FilterJob job = PlainJob(RealJob());
  job.env["TMPDIR"] = tmp;
  job.file_size_limit = 20000;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "") << "a truncated job must not print";
  EXPECT_NE(r.err.find("ERROR: Unable to write the print data to the spool file"), std::string::npos)
      << r.err;
  EXPECT_TRUE(ListDir(tmp).empty()) << "partial spool file left behind";
}
