// SPDX-License-Identifier: Apache-2.0
// The page-end cut-off on hand-made buffers; what it sends to standard
// output is captured through a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "harness/harness.h"
#include "output/output.h"

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
