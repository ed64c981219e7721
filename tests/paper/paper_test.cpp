// SPDX-License-Identifier: Apache-2.0
// The paper checks called directly: PPD page size, custom-size bounds read
// by grep from the print file, A5 detection and feed edge.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "harness/harness.h"
#include "job/entry-points.h"
#include "paper/paper.h"

using namespace mtest;

namespace {

// Sets PPD for one scope (unset when empty).
class PpdEnv {
 public:
  explicit PpdEnv(const std::string& path) {
    if (path.empty())
      unsetenv("PPD");
    else
      setenv("PPD", path.c_str(), 1);
  }
  ~PpdEnv() { unsetenv("PPD"); }
};

std::string File(const std::string& name, const std::string& text) {
  std::string path = TempPath(name);
  WriteFile(path, text);
  return path;
}

bool CustomOk(const std::string& text, const std::string& options = "PageSize=Custom.300x500") {
  static int n = 0;
  return isSupportCustomPageSize(options.c_str(),
                                 File("custom-" + std::to_string(++n) + ".ps", text).c_str());
}

std::string Box(const std::string& numbers) {
  return "%!PS\n<</Type/Page/MediaBox [" + numbers + "]\n/Parent 3 0 R\n";
}

}  // namespace

TEST(CheckMediaSize, PageSizeFromThePpd) {
  PpdEnv env(FixturePpd("finch"));
  int w = 0, h = 0;
  char opts_a4[] = "PageSize=A4", opts_frac[] = "PageSize=Frac", opts_none[] = "media=A4",
       opts_bad[] = "PageSize=Tabloid";
  char* argv[] = {nullptr, nullptr, nullptr, nullptr, nullptr, opts_a4, nullptr};
  EXPECT_EQ(checkmediasize(argv, &w, &h), 1);
  EXPECT_EQ(w, 595);
  EXPECT_EQ(h, 842);
  argv[5] = opts_frac;  // 595.3 x 841.9: fractions cut off
  w = h = 0;
  EXPECT_EQ(checkmediasize(argv, &w, &h), 1);
  EXPECT_EQ(w, 595);
  EXPECT_EQ(h, 841);
  argv[5] = opts_bad;
  w = h = 0;
  EXPECT_EQ(checkmediasize(argv, &w, &h), 1);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  argv[5] = opts_none;
  EXPECT_EQ(checkmediasize(argv, &w, &h), 0);
  EXPECT_EQ(checkmediasize(argv, nullptr, &h), 0);
  {
    PpdEnv none("");
    argv[5] = opts_a4;
    EXPECT_EQ(checkmediasize(argv, &w, &h), 1);
    EXPECT_EQ(w, 0);
  }
}

TEST(CustomSize, MediaBoxBoundsAreInclusive) {
  EXPECT_TRUE(CustomOk(Box("0 0 595 842")));
  EXPECT_TRUE(CustomOk(Box("0 0 612 1008")));
  EXPECT_TRUE(CustomOk(Box("0 0 211 418")));
  EXPECT_TRUE(CustomOk(Box("0 0 613 1010")));
  EXPECT_TRUE(CustomOk(Box("10 20 600 900")));
  EXPECT_FALSE(CustomOk(Box("0 0 614 800")));
  EXPECT_FALSE(CustomOk(Box("0 0 600 417")));
  EXPECT_FALSE(CustomOk(Box("0 0 210 500")));
  EXPECT_FALSE(CustomOk(Box("0 0 500 1011")));
  EXPECT_FALSE(CustomOk(Box("0 0 613.5 800")));
  // The minus sign is skipped: a left edge of -5 reads as 5 (width 595), a
  // top of -400 as 400 (height 100, refused).
  EXPECT_TRUE(CustomOk(Box("-5 0 600 842")));
  EXPECT_FALSE(CustomOk(Box("0 -400 600 500")));
  // Three numbers: the bottom is missing and reads 0, unless digits follow.
  EXPECT_FALSE(CustomOk("<</Type/Page/MediaBox [0 0 595]\n"));
  EXPECT_TRUE(CustomOk("<</Type/Page/MediaBox [0 0 595] /X 842\n"));
  // A number too long for its text is still read whole.
  EXPECT_TRUE(CustomOk(Box("0 0 0000000000595 0000000000842")));
  EXPECT_FALSE(CustomOk(Box("0 0 99999999999999999999 842")));
}

TEST(CustomSize, SetupPaperLineAndNoMarker) {
  std::string def = "/pdfSetupPaper {\n";  // no blank in front: not matched
  EXPECT_TRUE(CustomOk(def + "300 500 pdfSetupPaper\n"));
  EXPECT_FALSE(CustomOk(def + "200 500 pdfSetupPaper\n"));
  EXPECT_FALSE(CustomOk(def + "300 1500 PDFSETUPPAPER\n"));
  EXPECT_TRUE(CustomOk("%!PS\nshowpage\n"));
  // The media box decides first; an in-bounds box hands on to the setup line.
  EXPECT_FALSE(CustomOk(Box("0 0 595 842") + "200 500 pdfSetupPaper\n"));
  EXPECT_FALSE(CustomOk(Box("0 0 100 842") + "300 500 pdfSetupPaper\n"));
  // A missing or unreadable file yields no grep output.
  EXPECT_TRUE(isSupportCustomPageSize("PageSize=Custom.1x1", "/nonexistent/file.ps"));
  EXPECT_TRUE(isSupportCustomPageSize("PageSize=Custom.1x1", ""));
}

TEST(CustomSize, WhichOptionAsksForACustomSize) {
  std::string bad = Box("0 0 100 100");
  EXPECT_TRUE(CustomOk(bad, "PageSize=A4 media=Custom.100x100"));  // PageSize wins
  EXPECT_FALSE(CustomOk(bad, "media=custom.100x100"));
  EXPECT_FALSE(CustomOk(bad, "PageSize=CUSTOM.100x100"));
  EXPECT_TRUE(CustomOk(bad, "media=A4"));
  EXPECT_TRUE(CustomOk(bad, ""));
}

TEST(CustomSize, PathIsOneArgumentWhateverItHolds) {
  std::string dir = TempPath("we ird'\"$(touch pwned);`touch pwned2`;dir");
  ASSERT_EQ(mtest::Run({"mkdir", "-p", dir}), 0);
  std::string path = dir + "/-job $HOME ;x.ps";
  WriteFile(path, Box("0 0 100 100"));
  EXPECT_FALSE(isSupportCustomPageSize("PageSize=Custom.1x1", path.c_str()));
  WriteFile(path, Box("0 0 300 500"));
  EXPECT_TRUE(isSupportCustomPageSize("PageSize=Custom.1x1", path.c_str()));
  EXPECT_FALSE(FileExists("pwned"));
  EXPECT_FALSE(FileExists("pwned2"));
  EXPECT_FALSE(FileExists(dir + "/pwned"));
}

TEST(A5, FromThePageSizeOption) {
  PpdEnv env("");
  EXPECT_TRUE(isA5PageSize("PageSize=A5", "/nonexistent"));
  EXPECT_FALSE(isA5PageSize("PageSize=a5", "/nonexistent"));
  EXPECT_FALSE(isA5PageSize("PageSize=A4", File("a5-in-file.ps", Box("0 0 420 595")).c_str()));
}

TEST(A5, FromTheFirstQualifyingLine) {
  PpdEnv env("");
  auto a5 = [](const std::string& text) {
    static int n = 0;
    return isA5PageSize("", File("a5-" + std::to_string(++n) + ".ps", text).c_str());
  };
  EXPECT_TRUE(a5(Box("0 0 420 595")));
  EXPECT_TRUE(a5(Box("0 0 418 597")));
  EXPECT_TRUE(a5(Box("0 0 422 593")));
  EXPECT_FALSE(a5(Box("0 0 417 595")));
  EXPECT_FALSE(a5(Box("0 0 420 598")));
  EXPECT_FALSE(a5(Box("0 0 595 420")));
  // Runs longer than a number text are read whole, not cut.
  EXPECT_TRUE(a5(Box("0 0 0000000000420 595")));
  EXPECT_FALSE(a5(Box("0 0 420000000000000 595")));
  EXPECT_FALSE(a5("/pdfSetupPaper {\n  pop pop pdfSetupPaper\n} def\n%%Page: 1 1\n420 595 pdfSetupPaper\n"))
      << "the call inside the definition is the first qualifying line";
  EXPECT_TRUE(a5("/pdfSetupPaper {\n} def\npdfSetupPaper\n%%Page: 1 1\n420 595 pdfSetupPaper\n"));
  EXPECT_TRUE(a5("x 420 y 595 z pdfSetupPaper\n"));
  EXPECT_FALSE(a5("595 pdfSetupPaper\n"));
  EXPECT_FALSE(a5(Box("0 0 595 842") + Box("0 0 420 595")));
  EXPECT_FALSE(a5("%!PS\nshowpage\n"));
  EXPECT_FALSE(isA5PageSize("", "/nonexistent/file.ps"));
}

TEST(A5, FeedEdgeFromOptionsThenPpd) {
  {
    PpdEnv env(FixturePpd("finch"));  // default ShortEdge
    EXPECT_FALSE(isA5PageSize("PageSize=A5", ""));
    EXPECT_TRUE(isA5PageSize("PageSize=A5 FeedEdge=longedge", ""));
    EXPECT_FALSE(isA5PageSize("PageSize=A5 FeedEdge=ShortEdge", ""));
  }
  {
    PpdEnv env(MakePpd("Mirelo F4200DN Series PS", "None", "LongEdge"));
    EXPECT_TRUE(isA5PageSize("PageSize=A5", ""));
    EXPECT_FALSE(isA5PageSize("PageSize=A5 FeedEdge=Short", ""));
  }
  {
    PpdEnv env(MakePpd("Mirelo F4200DN Series PS", "None", "ShortEdge", false));
    EXPECT_TRUE(isA5PageSize("PageSize=A5", ""));
  }
  PpdEnv none("");
  EXPECT_TRUE(isA5PageSize("PageSize=A5", ""));
}
