// SPDX-License-Identifier: Apache-2.0
// The Heron road run as the scheduler runs it: a PDF job, the back sides of a
// long-edge duplex job turned with the real qpdf, the conversion with
// cups-filters' pdftops, and the PostScript that comes out rendered again
// with Ghostscript to see which pages stand on their heads.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/words.h"

using namespace mtest;

namespace {

const std::string kHeronNick = "Mirelo H9200DN Series PS";

// A Heron queue whose backend knows the printer: the driver asks for the
// device ID twice and the rotation once more.
FilterJob HeronJob(const std::string& pdf, const std::string& options = "") {
  FilterJob job;
  job.ppd = FixturePpd("heron");  // DefaultDuplex: DuplexNoTumble
  job.side = {SideAnswer::Id(kHeronId), SideAnswer::Id(kHeronId), SideAnswer::Id(kHeronId)};
  job.input = ReadFile(pdf);
  job.options = options;
  return job;
}

// A folder of its own for the filter's temporary files.
std::string FreshTmpDir(const std::string& name) {
  std::string dir = TempPath(name);
  mkdir(dir.c_str(), 0755);
  return dir;
}

// Renders the output and tells, page by page, whether it stands on its head.
// The test pages carry their marks in the lower left corner only, so a page
// whose marks all lie in the upper half has been turned.
std::string Orientation(const FilterResult& r, const std::string& name) {
  std::string ps = TempPath(name + ".out.ps");
  WriteFile(ps, r.out);
  std::string turned;
  for (const PageBox& b : GsPageBoxes(ps)) turned += b.lly > 421 ? 'R' : 'U';
  return turned;
}

}  // namespace

TEST(Heron, LongEdgeDuplexTurnsEveryBackSide) {
  struct Case {
    int pages;
    std::string ppd, options, expected;
  };
  std::string ppd_none = MakePpd(kHeronNick, "None");
  const Case cases[] = {
      // The PPD default decides when the job names no duplex choice.
      {2, FixturePpd("heron"), "", "UR"},
      {3, FixturePpd("heron"), "PageSize=A4", "URU"},
      {6, FixturePpd("heron"), "", "URURUR"},
      // The job's choice wins over a one-sided default.
      {7, ppd_none, "Duplex=DuplexNoTumble", "URURURU"},
      {6, ppd_none, "sides=two-sided-long-edge", "URURUR"},
      // ...and a one-sided default without a choice turns nothing.
      {6, ppd_none, "", "UUUUUU"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pages) + " pages, options \"" + c.options + "\"");
    FilterJob job = HeronJob(MakePdf(c.pages), c.options);
    job.ppd = c.ppd;
    FilterResult r = RunFilter(job);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.side_requests, 3);
    EXPECT_EQ(r.out.compare(0, 2, "\x1b%"), 0) << r.err;
    EXPECT_EQ(Orientation(r, "case"), c.expected) << r.err;
    EXPECT_EQ(r.err.find(kConvertFailed), std::string::npos);
  }
}

TEST(Heron, OtherDuplexChoicesTurnNothing) {
  // The queue's default is long-edge duplex, but the job says otherwise.
  const char* options[] = {
      "Duplex=None",
      "Duplex=DuplexTumble",
      "sides=one-sided",
      "sides=two-sided-short-edge",
  };
  for (const char* o : options) {
    SCOPED_TRACE(o);
    FilterResult r = RunFilter(HeronJob(MakePdf(6), o));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(Orientation(r, "other"), "UUUUUU") << r.err;
  }
  // "noDuplex" names no Duplex choice: CUPS keeps the queue's default, the
  // stream asks for long-edge duplex, and the back sides are turned. So are
  // they for a choice spelled in other letter case.
  for (const char* o : {"noDuplex", "PageSize=A4 noDuplex Resolution=600dpi", "Duplex=duplexnotumble"}) {
    SCOPED_TRACE(o);
    FilterResult r = RunFilter(HeronJob(MakePdf(6), o));
    EXPECT_EQ(Orientation(r, "other"), "URURUR") << r.err;
    EXPECT_NE(r.out.find("/Duplex true/Tumble false"), std::string::npos);
  }
}

TEST(Heron, OnePageDocumentIsLeftAsItIs) {
  std::string tmp = FreshTmpDir("one-page");
  FilterJob job = HeronJob(MakePdf(1));
  job.env["TMPDIR"] = tmp;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("The page count is 1!\n"), std::string::npos) << r.err;
  EXPECT_EQ(Orientation(r, "one"), "U");
  // Every file of the job is gone when it ends.
  EXPECT_TRUE(ListDir(tmp).empty());
}

TEST(Heron, LandscapeAndLargeDocumentsKeepTheirPages) {
  {
    FilterResult r = RunFilter(HeronJob(MakePdf(6, "a4", true)));
    EXPECT_EQ(r.exit_code, 0);
    std::string ps = TempPath("landscape.out.ps");
    WriteFile(ps, r.out);
    EXPECT_EQ(GsPageCount(ps), 6) << r.err;
    // Every page of the converted job is counted as it goes out.
    EXPECT_EQ(PageLines(r.err), ExpectedPageLines(6));
  }
  {
    FilterResult r = RunFilter(HeronJob(MakePdf(301)));
    EXPECT_EQ(r.exit_code, 0);
    std::string turned = Orientation(r, "large");
    ASSERT_EQ(turned.size(), 301u) << r.err;
    for (size_t i = 0; i < turned.size(); ++i) ASSERT_EQ(turned[i], i % 2 ? 'R' : 'U') << "page " << i + 1;
  }
}

TEST(Heron, OneCopyAndNoLayoutOptionsReachPdftops) {
  // Copies and layout were the business of the filters before this one: the
  // converted job holds each page once, one page a sheet.
  FilterJob job = HeronJob(MakePdf(6), "number-up=2 page-set=odd OutputOrder=reverse Collate=True "
                                       "orientation-requested=4 PageSize=A4");
  job.copies = "3";
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("%RBINumCopies: 1\n"), std::string::npos);
  EXPECT_EQ(Orientation(r, "layout"), "URURUR") << r.err;
}

TEST(Heron, TitleReachesPdftopsUnchanged) {
  std::string tmp = FreshTmpDir("title");
  FilterJob job = HeronJob(MakePdf(2));
  job.title = "a \"quoted\" $HOME `touch " + tmp + "/owned` $(id) 'x' \\";
  job.user = "bob; touch " + tmp + "/owned2";
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("%%Title: (a \"quoted\" $HOME `touch " + tmp + "/owned` $(id) 'x' \\\\)"),
            std::string::npos)
      << r.out.substr(0, 1200);
  EXPECT_NE(r.out.find("%%For: (bob; touch " + tmp + "/owned2)"), std::string::npos);
  EXPECT_FALSE(FileExists(tmp + "/owned"));
  EXPECT_FALSE(FileExists(tmp + "/owned2"));
}

TEST(Heron, BrokenPdfGivesTheDebugLineAndNoOutput) {
  std::string tmp = FreshTmpDir("broken");
  FilterJob job = HeronJob(MakePdf(1));
  job.input = "%PDF-1.4\nthis is not a PDF at all\n%%EOF\n";
  job.env["TMPDIR"] = tmp;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(kConvertFailed), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The page count is 0!\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ERROR: Unable to convert the PDF job to PostScript"), std::string::npos);
  // No temporary file stays, the spool file included.
  EXPECT_TRUE(ListDir(tmp).empty());
}

TEST(Heron, TheSchedulersFileIsNeverRemoved) {
  std::string tmp = FreshTmpDir("arg6");
  std::string file = TempPath("job-from-scheduler.pdf");
  WriteFile(file, ReadFile(MakePdf(4)));
  FilterJob job = HeronJob(MakePdf(4));
  job.input = "stdin must stay unread";
  job.file = file;
  job.env["TMPDIR"] = tmp;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.stdin_unread, job.input.size());
  EXPECT_EQ(Orientation(r, "arg6"), "URUR") << r.err;
  EXPECT_TRUE(ReadFile(file) == ReadFile(MakePdf(4)));
  // The rotated PDF and the PostScript are removed.
  EXPECT_TRUE(ListDir(tmp).empty());

  // A broken file of the scheduler's stays too.
  std::string broken = TempPath("broken-from-scheduler.pdf");
  WriteFile(broken, "%PDF-1.4\ngarbage\n");
  job.file = broken;
  r = RunFilter(job);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(kConvertFailed), std::string::npos);
  EXPECT_TRUE(FileExists(broken));
}

TEST(Heron, WithoutSystemQpdfThePrivateBuildIsTried) {
  // A PATH with Ghostscript (which pdftops runs) but no qpdf; the private
  // build is not installed here, so the pages cannot be counted.
  std::string bin = FreshTmpDir("bin-without-qpdf");
  symlink("/usr/bin/gs", (bin + "/gs").c_str());
  FilterJob job = HeronJob(MakePdf(4));
  job.env["PATH"] = bin;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("Unable get page count of the inputfile!"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Unable to get the version of qpdf!"), std::string::npos);
  EXPECT_EQ(Orientation(r, "noqpdf"), "UUUU") << r.err;
}

TEST(Heron, DeviceIdOfAnotherModelMeansNoRotation) {
  // The driver's two queries name a Heron printer; the rotation's own query
  // gets none and the nickname, which is not a Heron model, decides.
  FilterJob job = HeronJob(MakePdf(4));
  job.ppd = MakePpd("Mirelo P2200DN Series PS", "DuplexNoTumble");
  job.side = {SideAnswer::Id(kHeronId), SideAnswer::Id(kHeronId), SideAnswer::Status(2)};
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.side_requests, 3);
  EXPECT_EQ(Orientation(r, "otherid"), "UUUU") << r.err;
}
