// SPDX-License-Identifier: Apache-2.0
// The back-side rotation called in the test process: the duplex decision,
// the page list, the qpdf version probe, and CreatRotateDuplex with the real
// qpdf and with stand-ins that fail. Without a backend on the side channel
// the PPD's nickname identifies the printer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "job/entry-points.h"
#include "job/job.h"
#include "pdfpath/pdfpath-private.h"
#include "pdfpath/pdfpath.h"
#include "pdfpath_test_util.h"

using namespace mtest;

namespace {

const std::string kHeronNick = "Mirelo H9200DN Series PS";

std::string PageList(int pages, size_t size = mirelo::kPageListSize) {
  auto buf = std::make_unique<char[]>(size);
  if (!mirelo::MakeEvenPageList(pages, buf.get(), size)) return "<too long>";
  return buf.get();
}

// Which pages of a PDF stand on their heads (the test pages carry their
// marks in the lower left corner only).
std::string Orientation(const std::string& pdf) {
  std::string turned;
  for (const PageBox& b : GsPageBoxes(pdf)) turned += b.lly > 421 ? 'R' : 'U';
  return turned;
}

// A Heron queue whose PPD defaults to long-edge duplex, a print file of the
// filter's own in a fresh temporary folder, and no backend.
class Rotation : public ::testing::Test {
 protected:
  void SetUp() override {
    DeadSideChannel();
    static int n = 0;
    tmp_ = TempPath("rotation-" + std::to_string(n++));
    mkdir(tmp_.c_str(), 0755);
    tmpdir_.emplace("TMPDIR", tmp_);
    ppd_.emplace("PPD", MakePpd(kHeronNick, "DuplexNoTumble"));
    original_ = tmp_ + "/job.pdf";
  }

  // Runs the rotation on a copy of a made PDF; returns the resulting path.
  std::string Rotate(int pages, const char* options = "", std::string* err = nullptr) {
    mirelo::JobArguments args;
    args.queue = "q";
    args.job_id = "1";
    args.user = "u";
    args.title = "t";
    args.copies = "1";
    args.options = options;
    mirelo::Job job(args);
    WriteFile(original_, ReadFile(MakePdf(pages)));
    if (own_)
      job.print_file.AdoptPath(original_.c_str());
    else
      job.print_file.SetScheduler(original_.c_str());
    StderrCapture capture;
    mirelo::RotateBackSides(&job);
    if (err) *err = WithoutIdentification(capture.Text());
    rotated_own_ = job.print_file.own();
    job.print_file.Release();
    return job.print_file.path();
  }

  bool own_ = true;           // the print file is the filter's own
  bool rotated_own_ = false;  // the print file after the rotation is
  std::string tmp_, original_;
  std::optional<ScopedEnv> tmpdir_, ppd_;
};

}  // namespace

TEST(PageList, EvenPagesWithoutTrailingComma) {
  EXPECT_EQ(PageList(0), "");
  EXPECT_EQ(PageList(1), "");
  EXPECT_EQ(PageList(2), "2");
  EXPECT_EQ(PageList(3), "2");
  EXPECT_EQ(PageList(6), "2,4,6");
  EXPECT_EQ(PageList(7), "2,4,6");
  EXPECT_EQ(PageList(12, 8), "<too long>");  // "2,4,6,8,10,12" needs 14 bytes
  EXPECT_EQ(PageList(12, 14), "2,4,6,8,10,12");
  EXPECT_EQ(PageList(12, 13), "<too long>");
}

TEST(PageList, OneMebibyteHoldsUpTo315465Pages) {
  std::string list = PageList(315465);
  EXPECT_EQ(list.size(), 1048573u);
  EXPECT_EQ(list.substr(list.size() - 13), "315462,315464");
  EXPECT_EQ(PageList(315466), "<too long>");
  EXPECT_EQ(PageList(2147483647), "<too long>");
}

// The back sides are turned exactly when the stream that pdftops writes
// (with the same PPD and the options the filter hands it) asks the printer
// for long-edge duplex.
TEST(DuplexChoice, TurnedExactlyWhenPdftopsAsksForLongEdgeDuplex) {
  struct Case {
    const char* options;
    bool with_default_no_tumble, with_default_none;
  };
  const Case cases[] = {
      {"", true, false},
      {"PageSize=A4 Duplex=DuplexNoTumble Resolution=600", true, true},
      {"duplex=duplexnotumble", true, true},  // CUPS matches choices ignoring case
      {"Duplex=DUPLEXNOTUMBLE", true, true},
      {"sides=two-sided-long-edge", true, true},
      {"noDuplex", true, false},  // Duplex=false names no choice: the default stays
      {"Duplex=None", false, false},
      {"Duplex=DuplexTumble", false, false},
      {"sides=one-sided", false, false},
      {"sides=two-sided-short-edge", false, false},
      {"MyDuplexNoTumbleNote=1", true, false},
      {"document-name-supplied=DuplexNoTumble.pdf", true, false},
  };
  const std::string pdf = MakePdf(2);
  for (const auto& [ppd_file, no_tumble] : {std::pair{MakePpd(kHeronNick, "DuplexNoTumble"), true},
                                            std::pair{MakePpd(kHeronNick, "None"), false}}) {
    ScopedEnv ppd("PPD", ppd_file);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.options) + (no_tumble ? ", default DuplexNoTumble" : ", default None"));
      bool expected = no_tumble ? c.with_default_no_tumble : c.with_default_none;
      EXPECT_EQ(mirelo::WantsLongEdgeRotation(c.options), expected);
      std::string ps;
      ASSERT_EQ(mtest::Run({"/usr/lib/cups/filter/pdftops", "1", "u", "t", "1",
                            mirelo::PdftopsOptions(c.options), pdf},
                           &ps),
                0);
      EXPECT_EQ(ps.find("/Duplex true/Tumble false") != std::string::npos, expected);
    }
  }
}

TEST(DuplexChoice, PpdDefaultIgnoresCaseAndNeedsADuplexOption) {
  {
    ScopedEnv ppd("PPD", MakePpd(kHeronNick, "duplexnotumble"));
    EXPECT_TRUE(mirelo::WantsLongEdgeRotation(""));
  }
  {
    ScopedEnv ppd("PPD", MakePpd(kHeronNick, "DuplexNoTumble", "ShortEdge", true, false));
    EXPECT_FALSE(mirelo::WantsLongEdgeRotation(""));
  }
  {
    ScopedEnv ppd("PPD", std::nullopt);
    EXPECT_FALSE(mirelo::WantsLongEdgeRotation(""));
    EXPECT_FALSE(mirelo::WantsLongEdgeRotation(nullptr));
  }
}

TEST(QpdfVersion, EightOrLaterSelectsTheSystemQpdf) {
  struct Case {
    const char* body;
    bool recent;
  };
  const Case cases[] = {
      {"echo 'qpdf version 7.1.1'", false},
      {"echo 'qpdf version 8.0.0'", true},
      {"echo 'qpdf version 10.6.3'; echo 'Run qpdf --copyright'", true},
      // A line without a third word is skipped; the next one counts.
      {"echo 'qpdf version'; echo 'qpdf version 9.1'", true},
      {"echo 'Qpdf Version 11.0'", false},
      {"echo 'qpdf version x11'", false},
      {"exit 1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ScopedEnv path("PATH", FakeQpdfPath("qpdf-version-" + std::to_string(&c - cases), c.body));
    StderrCapture err;
    EXPECT_EQ(getqpdfversion(), c.recent);
    EXPECT_EQ(err.Text(), "");
  }
  EXPECT_TRUE(getqpdfversion());  // Debian's qpdf
  {
    // A qpdf that cannot be run is reported (without a line end).
    std::string dir = TempPath("qpdf-not-executable");
    mkdir(dir.c_str(), 0755);
    WriteFile(dir + "/qpdf", "#!/bin/sh\necho 'qpdf version 11.0.0'\n");
    chmod((dir + "/qpdf").c_str(), 0644);
    ScopedEnv path("PATH", dir);
    StderrCapture err;
    EXPECT_FALSE(getqpdfversion());
    EXPECT_EQ(err.Text(), "Unable to get the version of qpdf!");
  }
  {
    ScopedEnv path("PATH", TempDir());  // no qpdf at all: nothing to say
    StderrCapture err;
    EXPECT_FALSE(getqpdfversion());
    EXPECT_EQ(err.Text(), "");
  }
}

TEST_F(Rotation, EvenPagesAreTurnedAndTheOldFileRemoved) {
  std::string out = Rotate(7);
  EXPECT_NE(out, original_);
  EXPECT_EQ(Orientation(out), "URURURU");
  EXPECT_FALSE(FileExists(original_));
  EXPECT_TRUE(rotated_own_);
  EXPECT_EQ(ListDir(tmp_).size(), 1u);
}

TEST_F(Rotation, TheSchedulersFileStays) {
  own_ = false;
  std::string out = Rotate(2);
  EXPECT_EQ(Orientation(out), "UR");
  EXPECT_TRUE(ReadFile(original_) == ReadFile(MakePdf(2)));
  EXPECT_TRUE(rotated_own_);  // the rotated file is the filter's own
}

TEST_F(Rotation, NothingToDoLeavesNoFileBehind) {
  std::string err;
  EXPECT_EQ(Rotate(1, "", &err), original_);
  EXPECT_EQ(err, "The page count is 1!\n");
  EXPECT_EQ(Rotate(4, "Duplex=None", &err), original_);
  EXPECT_EQ(err, "");
  {
    ScopedEnv ppd("PPD", MakePpd("Mirelo P2200DN Series PS", "DuplexNoTumble"));
    EXPECT_EQ(Rotate(4, "Duplex=DuplexNoTumble", &err), original_);
  }
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{"job.pdf"});
}

TEST_F(Rotation, FailedQpdfKeepsTheJob) {
  // A qpdf that counts the pages but leaves a broken file and fails.
  ScopedEnv path("PATH", FakeQpdfPath("qpdf-fails", "case \"$1\" in\n"
                                                    "  --version) echo 'qpdf version 11.3.0' ;;\n"
                                                    "  --show-npages) echo 4 ;;\n"
                                                    "  *) echo broken > \"$2\"; exit 2 ;;\n"
                                                    "esac"));
  std::string err;
  EXPECT_EQ(Rotate(4, "", &err), original_);
  EXPECT_NE(err.find("failed to rotate the back sides (exit status 2)"), std::string::npos) << err;
  EXPECT_TRUE(ReadFile(original_) == ReadFile(MakePdf(4)));
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{"job.pdf"});
}

TEST_F(Rotation, QpdfWarningsStillCountAsSuccess) {
  ScopedEnv path("PATH", FakeQpdfPath("qpdf-warns", "case \"$1\" in\n"
                                                    "  --version) echo 'qpdf version 11.3.0' ;;\n"
                                                    "  --show-npages) echo 4 ;;\n"
                                                    "  *) /usr/bin/qpdf \"$@\"; exit 3 ;;\n"
                                                    "esac"));
  std::string out = Rotate(4);
  EXPECT_NE(out, original_);
  EXPECT_EQ(Orientation(out), "URUR");
}

TEST_F(Rotation, TooManyPagesForTheListAreLeftUnrotated) {
  ScopedEnv path("PATH", FakeQpdfPath("qpdf-huge", "case \"$1\" in\n"
                                                   "  --version) echo 'qpdf version 11.3.0' ;;\n"
                                                   "  --show-npages) echo 400000 ;;\n"
                                                   "  *) echo called > \"$2\" ;;\n"
                                                   "esac"));
  std::string err;
  EXPECT_EQ(Rotate(4, "", &err), original_);
  EXPECT_NE(err.find("400000-page document does not fit"), std::string::npos) << err;
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{"job.pdf"});
}

TEST_F(Rotation, WithoutAnyQpdfThePrivateBuildIsTried) {
  ScopedEnv path("PATH", TempDir());
  std::string err;
  EXPECT_EQ(Rotate(4, "", &err), original_);
  EXPECT_EQ(err, "Unable get page count of the inputfile!"
                 "WARNING: Unable to turn the back sides of the job; they are printed unrotated.\n");
  EXPECT_EQ(ListDir(tmp_), std::vector<std::string>{"job.pdf"});
}
