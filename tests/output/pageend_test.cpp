// SPDX-License-Identifier: Apache-2.0
// The page-end cut-off on hand-made buffers; what it sends to standard
// output is captured through a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include "harness/harness.h"
#include "job/entry-points.h"
#include "job/job.h"
#include "output/output.h"
#include "stream/pages.h"
#include "stream/stream.h"

namespace {

// Runs fn with standard output going to a file, and returns what it wrote.
template <typename Fn>
std::string CaptureStdout(Fn fn) {
  std::string path = mtest::TempPath("stdout.capture");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  int saved = dup(1);
  dup2(fd, 1);
  fn();
  dup2(saved, 1);
  close(saved);
  close(fd);
  return mtest::ReadFile(path);
}

const std::string kTrailer(kCutoffTrailer, kCutoffTrailerLen);

}  // namespace

TEST(PageEnd, CutsBeforeTheFirstPageMarker) {
  char buf[kLineSize] = "setup stuff\n%%Page: 2 2\nmore %%Page: 3 3\n";
  int written = -1;
  std::string out = CaptureStdout([&] { EXPECT_EQ(find_pageend(buf, sizeof(buf), &written, 1), 1); });
  EXPECT_EQ(written, 69);
  EXPECT_EQ(out, "setup stuff\n" + kTrailer);
  EXPECT_EQ(std::string(buf), kTrailer);
}

TEST(PageEnd, NoCutWhereSetupEndsRightBeforeThePage) {
  char buf[kLineSize] = "%%EndSetup\n%%Page: 1 1\nx\n%%Page: 2 2\n";
  int written = -1;
  std::string out = CaptureStdout([&] { EXPECT_EQ(find_pageend(buf, sizeof(buf), &written, 1), 0); });
  EXPECT_EQ(written, 0);
  EXPECT_EQ(out, "");
  EXPECT_STREQ(buf, "%%EndSetup\n%%Page: 1 1\nx\n%%Page: 2 2\n");
}

TEST(PageEnd, OnlyTheCallersBytesUpToANulAreSearched) {
  int written = -1;
  // Marker beyond the clear length (bytes of an earlier chunk).
  char chunk[100] = "abc%%Page: 1 1\n";
  EXPECT_EQ(find_pageend(chunk, 3, &written, 1), 0);
  EXPECT_EQ(written, 0);
  // Marker behind a NUL.
  char nul[100] = "abc\0%%Page: 1 1\n";
  EXPECT_EQ(find_pageend(nul, 16, &written, 1), 0);
  // Not cancelled: the cut point is reported, nothing written.
  char line[100] = "%%Page: 1 1\n";
  std::string out = CaptureStdout([&] { EXPECT_EQ(find_pageend(line, 100, &written, 0), 1); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(written, 0);
}

TEST(PageEnd, MarkerAtTheStartSendsOnlyTheTrailer) {
  char buf[kLineSize] = "%%Page: 1 1\n";
  int written = 0;
  std::string out = CaptureStdout([&] { find_pageend(buf, sizeof(buf), &written, 1); });
  EXPECT_EQ(out, kTrailer);
}

// Page accounting counts a page comment at the start of a line once, however
// the stream is cut into pieces: in two at every place, and byte by byte.
TEST(PageEnd, PageCommentsCountOnceWhereverThePiecesSplitThem) {
  const std::string s = "%%Page: 1 1\nx %%Page: 9 9\r%%Page: 2 2\n%%Pag";
  for (size_t cut = 0; cut <= s.size(); ++cut) {
    mirelo::PageIndex index;
    mirelo::PageCounter pages(&index);
    pages.Sent(s.data(), cut);
    pages.Sent(s.data() + cut, s.size() - cut);
    EXPECT_EQ(pages.pages(), 2) << "cut at " << cut;
  }
  mirelo::PageIndex index;
  mirelo::PageCounter pages(&index);
  for (char c : s) pages.Sent(&c, 1);
  EXPECT_EQ(pages.pages(), 2);
}

// The stream goes to its sink: the cut-off into a pipe of the test's own;
// once the pipe's reader is gone the stream ends, closed but not failed.
TEST(PageEnd, TheStreamGoesToItsSink) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  mirelo::SetOutputSink(ends[1]);
  char buf[kLineSize] = "a\n%%Page: 1 1\n";
  int written = 0;
  find_pageend(buf, sizeof(buf), &written, 1);
  std::string out(2 + kCutoffTrailerLen, '\0');
  EXPECT_EQ(read(ends[0], out.data(), out.size()), static_cast<ssize_t>(out.size()));
  EXPECT_EQ(out, "a\n" + kTrailer);
  close(ends[0]);
  auto old = signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(mirelo::OutWrite("x", 1));
  signal(SIGPIPE, old);
  EXPECT_TRUE(mirelo::OutputClosed());
  EXPECT_FALSE(mirelo::OutputFailed());
  mirelo::SetOutputSink(1);
  close(ends[1]);
  EXPECT_FALSE(mirelo::OutputClosed());
}

// The writer's and the spool's fixed entry points, once each: a plain job
// sent as it is by WritePSdataToStdout and WritePrintFileToStdout, and
// spooled from standard input by Copy_StdinToTempFile, which adds the
// end-of-job sequence.
TEST(PageEnd, TheFixedEntryPointsSendAndSpoolAJob) {
  const std::string job = "%!PS\n%%Page: 1 1\nshowpage\n";
  const std::string in = mtest::TempPath("entry.ps");
  const std::string out = mtest::TempPath("entry.out");
  mtest::WriteFile(in, job);
  int sink = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(sink, 0);
  mirelo::SetOutputSink(sink);
  char queue[] = "q", id[] = "7", user[] = "u", title[] = "t", copies_arg[] = "1", options[] = "";
  char* const argv[] = {queue, id, user, title, copies_arg, options, nullptr};
  isfinch = false;
  WritePSdataToStdout(argv, in.c_str());
  WritePrintFileToStdout(in.c_str());
  mirelo::SetOutputSink(1);
  close(sink);
  EXPECT_EQ(mtest::ReadFile(out), job + job);

  int saved = dup(0);
  int in_fd = open(in.c_str(), O_RDONLY);
  dup2(in_fd, 0);
  close(in_fd);
  char spooled[kPrintPathSize] = {};
  Copy_StdinToTempFile(spooled);
  dup2(saved, 0);
  close(saved);
  ASSERT_NE(spooled[0], '\0');
  EXPECT_EQ(mtest::ReadFile(spooled), job + std::string(mirelo::kEndOfJob, mirelo::kEndOfJobLen) + "\n");
  unlink(spooled);
  unlink(in.c_str());
  unlink(out.c_str());
}
