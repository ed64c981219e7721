// SPDX-License-Identifier: Apache-2.0
// Line rewriting of finch jobs, on hand-made lines in the writer's buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "job/entry-points.h"
#include "job/job.h"
#include "output/output.h"

namespace {

struct Rewrite {
  bool changed;
  std::string line;
};

Rewrite Fix(const std::string& text, int w, int h, bool* block) {
  std::vector<char> buf(kLineBufSize, '\0');
  memcpy(buf.data(), text.data(), std::min(text.size(), kLineBufSize - 1));
  bool changed = FixPrnPageSize(buf.data(), w, h, block);
  return {changed, std::string(buf.data())};
}

// Runs the lines through one pass, as the writer does, and returns what is
// left of them.
std::vector<std::string> Pass(const std::vector<std::string>& lines, int w, int h) {
  bool block = false;
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(Fix(l, w, h, &block).line);
  return out;
}

class Collate {
 public:
  explicit Collate(bool on) : saved_(iscollate) { iscollate = on; }
  ~Collate() { iscollate = saved_; }

 private:
  bool saved_;
};

}  // namespace

TEST(Rewrite, PageSizeLinesTakeThePpdSize) {
  Collate c(false);
  bool block = false;
  auto r = Fix("<</Type/Page/MediaBox [0 0 420 595] /Parent 3 0 R\n", 612, 792, &block);
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(r.line,
            "<</Type/Page/MediaBox [0 0 612 792] /Parent 3 0 R\n");      // the rest of the dictionary stays
  r = Fix("<</type/page/mediabox [0 0 420 595]\r\n", 595, 842, &block);  // letter case aside
  EXPECT_EQ(r.line, "<</Type/Page/MediaBox [0 0 595 842]\n");
  r = Fix("420 595 pdfSetupPaper\n", 595, 842, &block);
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(r.line, "595 842 pdfSetupPaper\n");
  // The procedure's definition is never touched, even with a call on it.
  r = Fix("/pdfSetupPaper { 420 595 pdfSetupPaper } def\n", 595, 842, &block);
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(r.line, "/pdfSetupPaper { 420 595 pdfSetupPaper } def\n");
  // A media box not at the origin is not a page dictionary of this form.
  r = Fix("<</Type/Page/MediaBox [10 10 420 595]\n", 595, 842, &block);
  EXPECT_FALSE(r.changed);
}

TEST(Rewrite, WithoutAPageSizeNothingChangesAndNoLaterTestDecides) {
  Collate c(true);
  for (auto [w, h] : {std::pair{0, 0}, std::pair{595, 0}, std::pair{0, 842}}) {
    bool block = true;  // inside a copy-count block
    for (std::string l : {"<</Type/Page/MediaBox [0 0 420 595]\n", "420 595 pdfSetupPaper\n",
                          "<</Type/Page/MediaBox [0 0 1 1] <<DeferredMediaSelection true>>setpagedevice\n"}) {
      auto r = Fix(l, w, h, &block);
      EXPECT_FALSE(r.changed) << l;
      EXPECT_EQ(r.line, l);
    }
    EXPECT_TRUE(block);
  }
}

TEST(Rewrite, CopyCountBlockGoesOnlyForCollatedJobs) {
  const std::vector<std::string> job = {
      "%%BeginSetup\n",
      "%RBIBeginNonPPDFeature: *NumCopies 3\n",
      "/#copies 3 def\n",
      "420 595 pdfSetupPaper\n",
      "/pdfSetupPaper {} def\n",
      "%RBIEndNonPPDFeature\n",
      "%%EndSetup\n",
  };
  {
    Collate c(false);
    EXPECT_EQ(Pass(job, 595, 842),
              (std::vector<std::string>{job[0], job[1], job[2], "595 842 pdfSetupPaper\n", job[4], job[5],
                                        job[6]}));
  }
  {
    Collate c(true);
    EXPECT_EQ(Pass(job, 595, 842),
              (std::vector<std::string>{job[0], "", "", "595 842 pdfSetupPaper\n", job[4], "", job[6]}));
    // Lower-case begin comment; another feature's block keeps its lines but
    // loses its closing comment.
    EXPECT_EQ(
        Pass({"%rbibeginnonppdfeature: *numcopies 2\n", "x\n", "%RBIEndNonPPDFeature\n",
              "%RBIBeginNonPPDFeature: *Duplex True\n", "y\n", "%RBIEndNonPPDFeature\n", "z\n"},
             0, 0),
        (std::vector<std::string>{"", "", "", "%RBIBeginNonPPDFeature: *Duplex True\n", "y\n", "", "z\n"}));
    // A block never closed empties the rest of the pass.
    EXPECT_EQ(Pass({"%RBIBeginNonPPDFeature: *NumCopies 2\n", "a\n", "%%Page: 1 1\n"}, 0, 0),
              (std::vector<std::string>{"", "", ""}));
  }
}

TEST(Rewrite, DeferredMediaGetsItsSlash) {
  Collate c(false);
  bool block = false;
  auto r = Fix("<<DeferredMediaSelection true>>setpagedevice\r\n", 0, 0, &block);
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(r.line, "<</DeferredMediaSelection true>>setpagedevice\r\n");
  r = Fix("a <<deferredmediaselection true>>SetPageDevice", 0, 0, &block);
  EXPECT_EQ(r.line, "a <</deferredmediaselection true>>SetPageDevice");
  for (std::string l :
       {"<</DeferredMediaSelection true>>setpagedevice\n", "<<DeferredMediaSelection true>>\n"}) {
    r = Fix(l, 0, 0, &block);
    EXPECT_FALSE(r.changed);
    EXPECT_EQ(r.line, l);
  }
  // The longest line a read gives, plus tags: still one byte of room.
  std::string longest = "<<DeferredMediaSelection true>>setpagedevice" + std::string(kLineBufSize - 46, ' ') +
                        "\n";
  ASSERT_EQ(longest.size(), kLineBufSize - 1);
  r = Fix(longest, 0, 0, &block);
  EXPECT_FALSE(r.changed) << "no room for the slash";
  std::string fits = longest.substr(0, 44) + longest.substr(45);
  r = Fix(fits, 0, 0, &block);
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(r.line.size(), kLineBufSize - 1);
  EXPECT_EQ(r.line.substr(0, 25), "<</DeferredMediaSelection");
}
