// SPDX-License-Identifier: Apache-2.0
// The finch roads run as the scheduler runs the filter: PJL tagging, page
// size rewriting, copy-count removal, collated copies with and without the
// replay file, the paper checks and their refusal, cancel by SIGTERM.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "harness/harness.h"
#include "harness/words.h"

using namespace mtest;

namespace {

FilterJob Collated(const std::string& input, int copies, const std::string& options = "Collate=True") {
  FilterJob job = FinchJob(input, options);
  job.copies = std::to_string(copies);
  return job;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size())
    s.replace(p, from.size(), to);
  return s;
}

std::string Pdftops(int pages, const std::string& size = "a4") {
  return ReadFile(PsFromPdftops(MakePdf(pages, size)));
}
std::string Ps2write(int pages, const std::string& size = "a4") {
  return ReadFile(PsFromPs2write(MakePdf(pages, size)));
}

// The copy-count block and the deferred-media line the spooler writes in
// the setup of a job that leaves copies to the printer.
std::string WithSetupFeatures(const std::string& ps) {
  std::string out = ps;
  size_t at = out.find("%%EndSetup\n");
  out.insert(at, "%RBIBeginNonPPDFeature: *NumCopies 3\n/#copies 3 def\n%RBIEndNonPPDFeature\n"
                 "<<DeferredMediaSelection true>>setpagedevice\n");
  return out;
}

}  // namespace

TEST(Finch, LineRoadTagsTheJobNameLineAndLeavesTheRest) {
  for (const std::string& ps : {Pdftops(3), Ps2write(3)}) {
    std::string input = FinchWrap(ps);
    FilterResult r = RunFilter(FinchJob(input));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string expected = Tagged(input);
    EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
    // Owner and job id sit between the job-name and the language lines.
    EXPECT_NE(r.out.find("DISPLAY = \"42 alice test job\"\n" + Tags() + "@PJL ENTER LANGUAGE = POSTSCRIPT\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("hostname " + HostName() + "\n"), std::string::npos);
    EXPECT_NE(r.err.find("uri:,jobid:42,jobower:" + HostName() + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cancel_query_arg point address:0x"), std::string::npos);
    EXPECT_EQ(r.err.find("0x0x"), std::string::npos);
  }
  // A job id is taken as text into its line.
  FilterJob job = FinchJob(FinchWrap(Pdftops(1)));
  job.job_id = "0077";
  FilterResult r = RunFilter(job);
  EXPECT_NE(r.out.find("@PJL SET JOBID=0077\r\n@PJL ENTER"), std::string::npos);
  EXPECT_NE(r.err.find("jobid:77,"), std::string::npos);
}

TEST(Finch, NoJobNameLineNoTags) {
  std::string path = TempPath("no-pjl.ps");
  WriteFile(path, Pdftops(2));
  FilterJob job = FinchJob("");
  job.file = path;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.out == ReadFile(path)) << HexDiff(ReadFile(path), r.out);

  // A line holding a NUL goes out whole (binary data is data); a line
  // longer than a read is sent whole, in pieces.
  std::string long_line = std::string(3000, 'x') + "\n";
  WriteFile(path, std::string("%!PS\nab\0cd\n", 11) + long_line + "ef\n");
  r = RunFilter(job);
  EXPECT_EQ(r.out, std::string("%!PS\nab\0cd\n", 11) + long_line + "ef\n");
}

TEST(Finch, PageSetupLinesTakeThePpdPageSize) {
  // pdftops: "595 842 pdfSetupPaper" per page; ps2write: the page dictionary.
  std::string pdftops = FinchWrap(Pdftops(3));
  std::string ps2write = FinchWrap(Ps2write(3));
  ASSERT_EQ(Count(pdftops, "\n595 842 pdfSetupPaper\n"), 3u);
  ASSERT_EQ(Count(ps2write, "\n<</Type/Page/MediaBox [0 0 595 842]\n"), 3u);

  FilterResult r = RunFilter(FinchJob(pdftops, "PageSize=Letter"));
  std::string expected = Tagged(Replace(pdftops, "\n595 842 pdfSetupPaper\n", "\n612 792 pdfSetupPaper\n"));
  EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
  EXPECT_NE(r.err.find("pagesize:Letter width:612,heigh:792\n"), std::string::npos);

  r = RunFilter(FinchJob(ps2write, "PageSize=Legal"));
  expected = Tagged(Replace(ps2write, "\n<</Type/Page/MediaBox [0 0 595 842]\n",
                            "\n<</Type/Page/MediaBox [0 0 612 1008]\n"));
  EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
  EXPECT_EQ(RenderedPages(r.out), 3);

  // No page size known to the PPD: both kinds pass untouched.
  for (const std::string& input : {pdftops, ps2write}) {
    r = RunFilter(FinchJob(input, "PageSize=Tabloid"));
    EXPECT_TRUE(r.out == Tagged(input)) << HexDiff(Tagged(input), r.out);
  }
}

TEST(Finch, CopyCountBlockGoesOnlyForCollatedJobsAndDeferredMediaGetsItsSlash) {
  std::string input = FinchWrap(WithSetupFeatures(Pdftops(2)));
  std::string fixed = Replace(input, "<<DeferredMediaSelection", "<</DeferredMediaSelection");

  FilterResult r = RunFilter(FinchJob(input));
  std::string expected = Tagged(fixed);
  EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
  EXPECT_NE(r.err.find("Modified <</DeferredMediaSelection\n"), std::string::npos);
  // The printer makes the block's 3 of every page.
  EXPECT_EQ(PageLines(r.err), ExpectedPageLines(2, 1, 3));

  r = RunFilter(Collated(input, 1));
  expected = DropEojLines(Tagged(Replace(
                 fixed, "%RBIBeginNonPPDFeature: *NumCopies 3\n/#copies 3 def\n%RBIEndNonPPDFeature\n",
                 ""))) +
             kEoj;
  EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
  EXPECT_EQ(r.out.find("NumCopies"), std::string::npos);
  EXPECT_EQ(PageLines(r.err), ExpectedPageLines(2));
}

TEST(Finch, CollatedCopiesReplayTheBody) {
  for (const std::string& ps : {Pdftops(2), Ps2write(2)}) {
    std::string input = FinchWrap(ps);
    std::string first = DropEojLines(Tagged(input));
    for (int n : {0, 1, 3}) {
      FilterResult r = RunFilter(Collated(input, n));
      EXPECT_EQ(r.exit_code, 0);
      std::string expected = CollatedOutput(first, n);
      EXPECT_TRUE(r.out == expected) << n << " copies: " << HexDiff(expected, r.out);
      EXPECT_EQ(Count(r.out, "@PJL JOB NAME"), 1u);
      EXPECT_EQ(RenderedPages(r.out), 2 * std::max(n, 1)) << n << " copies";
      // Every copy counts its pages again, the replays too.
      EXPECT_EQ(PageLines(r.err), ExpectedPageLines(2, std::max(n, 1))) << n << " copies";
      EXPECT_EQ(r.err.find("Uable create temp file error!"), std::string::npos);
      if (n <= 1) {
        EXPECT_EQ(r.err.find("INFO: Printing copy"), std::string::npos) << n << " copies";
      }
    }
    // The log of three copies.
    FilterResult r = RunFilter(Collated(input, 3));
    size_t lang = first.find("@PJL ENTER LANGUAGE");
    std::string off = "off " + std::to_string(first.find('\n', lang) + 1) + " \n";
    size_t c0 = r.err.find("copies 0 \n"), c1 = r.err.find("copies 1 \n"), o1 = r.err.find(off),
           c2 = r.err.find("copies 2 \n"), o2 = r.err.find(off, o1 + 1);
    ASSERT_NE(o2, std::string::npos) << r.err;
    EXPECT_TRUE(c0 < c1 && c1 < o1 && o1 < c2 && c2 < o2) << r.err;
    // And in the scheduler's terms, as the printer's state message.
    size_t i1 = r.err.find("INFO: Printing copy 1 of 3\n"), i2 = r.err.find("INFO: Printing copy 2 of 3\n"),
           i3 = r.err.find("INFO: Printing copy 3 of 3\n");
    ASSERT_NE(i3, std::string::npos) << r.err;
    EXPECT_TRUE(c0 < i1 && i1 < c1 && c1 < i2 && i2 < c2 && c2 < i3) << r.err;
  }
}

TEST(Finch, CollatedWithoutLanguageLineReplaysEverything) {
  std::string input = FinchWrap(Pdftops(1));
  input = Replace(input, "@PJL ENTER LANGUAGE = POSTSCRIPT\n", "");
  FilterResult r = RunFilter(Collated(input, 3));
  std::string first = DropEojLines(Tagged(input));
  std::string expected = first + first + first + kEoj;
  EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
  EXPECT_EQ(Count(r.out, "@PJL SET JOBOWNER"), 3u);
  EXPECT_NE(r.err.find("off 0 \n"), std::string::npos);
}

TEST(Finch, CollatedWithoutReplayFileRepeatsTheWholePass) {
  std::string input = FinchWrap(Pdftops(2));
  std::string first = DropEojLines(Tagged(input));
  std::string victim = TempPath("victim");
  WriteFile(victim, "not yours\n");

  // What stands at "<print file>_m" and must be left alone.
  struct Plant {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  std::vector<Plant> plants = {
      {"symlink", [&](const std::string& m) { ASSERT_EQ(symlink(victim.c_str(), m.c_str()), 0); }},
      {"directory", [&](const std::string& m) { ASSERT_EQ(mkdir(m.c_str(), 0700), 0); }},
      // The user's own file of that name is neither truncated nor removed.
      {"the user's own file", [&](const std::string& m) { WriteFile(m, "mine\n"); }},
  };
  if (geteuid() == 0) {
    plants.push_back({"someone else's file", [&](const std::string& m) {
                        WriteFile(m, "not yours\n");
                        ASSERT_EQ(chown(m.c_str(), 65534, 65534), 0);
                      }});
  }
  int k = 0;
  for (const Plant& plant : plants) {
    std::string path = TempPath("no-replay-" + std::to_string(++k) + ".ps");
    WriteFile(path, input);
    plant.make(path + "_m");
    for (int n : {0, 1, 3}) {
      FilterJob job = Collated("", n);
      job.file = path;
      FilterResult r = RunFilter(job);
      EXPECT_EQ(r.exit_code, 0);
      std::string expected;
      for (int i = 0; i < n; ++i) expected += first;
      expected += kEoj;
      EXPECT_TRUE(r.out == expected) << plant.what << ", " << n << " copies: " << HexDiff(expected, r.out);
      EXPECT_NE(r.err.find("Uable create temp file error! \n"), std::string::npos);
      EXPECT_TRUE(FileExists(path + "_m")) << plant.what;
      if (plant.what[0] == 't') {
        EXPECT_EQ(ReadFile(path + "_m"), "mine\n");
      }
    }
    EXPECT_EQ(ReadFile(victim), "not yours\n");
  }
  if (geteuid() != 0) {
    // A print file in a folder the filter cannot write to.
    std::string dir = TempPath("read-only");
    mkdir(dir.c_str(), 0700);
    WriteFile(dir + "/job.ps", input);
    chmod(dir.c_str(), 0500);
    FilterJob job = Collated("", 3);
    job.file = dir + "/job.ps";
    FilterResult r = RunFilter(job);
    EXPECT_TRUE(r.out == first + first + first + kEoj);
    chmod(dir.c_str(), 0700);
  }
}

TEST(Finch, ReplayFileBesideThePrintFileIsRemoved) {
  std::string input = FinchWrap(Pdftops(2));
  std::string expected = CollatedOutput(DropEojLines(Tagged(input)), 3);
  std::string dir = TempPath("we ird 'q' \"dq\" $HOME ;x `touch pwned` dir");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  std::string path = dir + "/job $(touch pwned2) ;.ps";
  WriteFile(path, input);
  FilterJob job = Collated("", 3, "Collate=True PageSize=Custom.300x500");
  job.file = path;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // The custom-size scan read the file: a 595 x 842 page setup is in bounds.
  EXPECT_NE(r.err.find("pdfsetuppaper:width;595,height:842\n"), std::string::npos) << r.err;
  std::string sized = CollatedOutput(
      DropEojLines(Tagged(Replace(input, "\n595 842 pdfSetupPaper\n", "\n300 500 pdfSetupPaper\n"))), 3);
  EXPECT_TRUE(r.out == sized) << HexDiff(sized, r.out);
  EXPECT_FALSE(FileExists(path + "_m"));
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{"job $(touch pwned2) ;.ps"});
  EXPECT_FALSE(FileExists("pwned"));
  EXPECT_FALSE(FileExists("pwned2"));

  // Spooled from standard input: the replay file goes beside the spool file.
  std::string tmp = TempPath("spool-dir");
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  FilterJob spooled = Collated(input, 3);
  spooled.env["TMPDIR"] = tmp;
  r = RunFilter(spooled);
  EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
  EXPECT_TRUE(ListDir(tmp).empty()) << "the spool or replay file stays";
}

TEST(Finch, ReplayFileThatFillsUpGivesFullPassesNotShortCopies) {
  std::string input = FinchWrap(Pdftops(40));
  ASSERT_GT(input.size(), 30000u);
  std::string path = TempPath("fills-up.ps");
  WriteFile(path, input);
  FilterJob job = Collated("", 3);
  job.file = path;
  job.file_size_limit = 15000;
  FilterResult r = RunFilter(job);
  EXPECT_EQ(r.exit_code, 0);
  std::string first = DropEojLines(Tagged(input));
  std::string expected = first + first + first + kEoj;
  EXPECT_TRUE(r.out == expected) << HexDiff(expected, r.out);
  EXPECT_NE(r.err.find("ERROR: Unable to store the job for its copies"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(path + "_m"));
  EXPECT_EQ(RenderedPages(r.out), 120);
}

TEST(Finch, CustomSizeBoundsAndRefusal) {
  struct Case {
    std::string size;
    bool ok;
  };
  for (const Case& c : {Case{"211x418", true}, Case{"613x1010", true}, Case{"612x1008", true},
                        Case{"614x800", false}, Case{"600x417", false}, Case{"210x500", false}}) {
    for (bool ps2 : {false, true}) {
      std::string ps = ps2 ? Ps2write(1, c.size) : Pdftops(1, c.size);
      FilterResult r = RunFilter(FinchJob(FinchWrap(ps), "PageSize=Custom.300x500"));
      if (c.ok) {
        EXPECT_EQ(r.exit_code, 0) << c.size << r.err;
        EXPECT_FALSE(r.out.empty());
      } else {
        EXPECT_EQ(r.exit_code, 1) << c.size << (ps2 ? " ps2write" : " pdftops");
        EXPECT_EQ(r.out, "");
        EXPECT_GE(r.seconds, 0.95);
        EXPECT_EQ(
            r.err.find("ERROR:"),
            r.err.find("ERROR:The current custom pager cannot be printed,please use the corrent paper\n"));
        EXPECT_NE(r.err.find("ERROR:"), std::string::npos);
      }
    }
  }
  // Not a custom size: the file is not examined.
  FilterResult r = RunFilter(FinchJob(FinchWrap(Ps2write(1, "614x800")), "PageSize=A4"));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err.find("left:"), std::string::npos);
}

TEST(Finch, A5LongEdgeAddsThePaperLine) {
  std::string a5_ps2 = FinchWrap(Ps2write(1, "a5"));
  std::string a5_pdftops = FinchWrap(Pdftops(1, "a5"));
  std::string long_edge_ppd = MakePpd("Mirelo F4200DN Series PS", "None", "LongEdge");
  struct Case {
    const char* what;
    std::string input, options, ppd;
    bool a5;
  };
  const Case cases[] = {
      {"option, job long edge", a5_ps2, "PageSize=A5 FeedEdge=LongEdge", FixturePpd("finch"), true},
      {"option, PPD short edge", a5_ps2, "PageSize=A5", FixturePpd("finch"), false},
      {"option, PPD long edge", a5_ps2, "PageSize=A5", long_edge_ppd, true},
      {"file media box, PPD long edge", a5_ps2, "", long_edge_ppd, true},
      {"file page setup, PPD long edge", a5_pdftops, "", long_edge_ppd, true},
      {"file, job short edge", a5_pdftops, "FeedEdge=ShortEdge", long_edge_ppd, false},
      {"A4 file", FinchWrap(Ps2write(1)), "", long_edge_ppd, false},
  };
  for (const Case& c : cases) {
    FilterJob job = FinchJob(c.input, c.options);
    job.ppd = c.ppd;
    FilterResult r = RunFilter(job);
    EXPECT_EQ(r.exit_code, 0);
    // With PageSize=A5 the page-setup lines are rewritten to the same size.
    std::string expected = Tagged(c.input, Tags("42", c.a5));
    EXPECT_TRUE(r.out == expected) << c.what << ": " << HexDiff(expected, r.out);
  }
}

TEST(Finch, SigtermDuringTheFirstPassClosesTheJob) {
  std::string input = FinchWrap(Pdftops(400));
  std::string first = DropEojLines(Tagged(input));
  for (bool collated : {false, true}) {
    std::string tmp = TempPath(collated ? "cancel-collated" : "cancel-lines");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    FilterJob job = collated ? Collated(input, 3) : FinchJob(input);
    job.env["TMPDIR"] = tmp;
    job.term_at_output = 40000;
    job.hold_output_until_term = true;
    FilterResult r = RunFilter(job);
    EXPECT_EQ(r.exit_code, 0);
    std::string end = kTrailer + (collated ? kEoj : "");
    ASSERT_GT(r.out.size(), end.size());
    ASSERT_EQ(r.out.substr(r.out.size() - end.size()), end)
        << HexDiff(end, r.out.substr(r.out.size() - end.size()));
    size_t kept = r.out.size() - end.size();
    const std::string& sent = collated ? first : Tagged(input);
    EXPECT_TRUE(r.out.substr(0, kept) == sent.substr(0, kept));
    EXPECT_EQ(sent.compare(kept, 7, "%%Page:"), 0) << "cut not before a page at " << kept;
    EXPECT_LT(kept, sent.size() / 2);
    EXPECT_EQ(r.err.find("copies 1 \n"), std::string::npos);
    EXPECT_NE(r.err.find("data_buf = %%Trailer"), std::string::npos);
    EXPECT_TRUE(ListDir(tmp).empty()) << "spool or replay file left behind";
    // Only the pages sent count.
    EXPECT_EQ(PageLines(r.err), ExpectedPageLines(PageComments(r.out))) << (collated ? "collated" : "lines");
  }
}

// Collated or not is decided from the options as CUPS parses them: a true
// Collate option or the IPP request for collated copies; never the word
// inside another option's value, a false value or the uncollated request.
// An uncollated job keeps its copy-count block: the printer makes the copies.
TEST(Finch, CollateAsCupsParsesTheOptions) {
  std::string input = FinchWrap(WithSetupFeatures(Pdftops(2)));
  for (const char* o : {"Collate=True", "collate", "Collate=yes", "COLLATE=On", "noCollate Collate=true",
                        "multiple-document-handling=separate-documents-collated-copies"}) {
    FilterResult r = RunFilter(Collated(input, 3, o));
    EXPECT_NE(r.err.find("copies 0 \n"), std::string::npos) << o;
    EXPECT_EQ(Count(r.out, "%RBIBeginNonPPDFeature: *NumCopies"), 0u) << o;
    EXPECT_EQ(RenderedPages(r.out), 6) << o;
  }
  for (const char* o : {"", "Collate=False", "noCollate", "collate=off",
                        "multiple-document-handling=separate-documents-uncollated-copies",
                        // A false Collate wins over the IPP attribute.
                        "multiple-document-handling=separate-documents-collated-copies noCollate",
                        "Collate=false multiple-document-handling=separate-documents-collated-copies",
                        "document-name-supplied='Collateral agreement.pdf'", "job-name=collate"}) {
    FilterResult r = RunFilter(Collated(input, 3, o));
    EXPECT_EQ(r.err.find("copies 0 \n"), std::string::npos) << o;
    EXPECT_EQ(Count(r.out, "%RBIBeginNonPPDFeature: *NumCopies 3"), 1u) << o;
    EXPECT_EQ(RenderedPages(r.out), 2) << o;
  }
}

// Only the job's own control text is rewritten or tagged: the PJL header's
// job-name line, the page set-up statement alone on its line. A document
// that mentions them, or whose lines end in CR alone, goes out whole.
TEST(Finch, OnlyTheJobsOwnControlTextIsRewritten) {
  std::string ps = Pdftops(2);
  size_t setup = ps.find("%%EndSetup\n");
  ps.insert(setup, "(@PJL JOB NAME = \"manual\") pop\n(see pdfSetupPaper) pop\n");
  std::string input = FinchWrap(ps);
  FilterResult r = RunFilter(FinchJob(input, "PageSize=Letter"));
  EXPECT_EQ(Count(r.out, "@PJL SET JOBOWNER"), 1u);
  EXPECT_EQ(r.out.find(Tags()), r.out.find('\n', r.out.find("@PJL JOB NAME")) + 1);
  EXPECT_NE(r.out.find("(@PJL JOB NAME = \"manual\") pop\n(see pdfSetupPaper) pop\n"), std::string::npos);
  EXPECT_EQ(Count(r.out, "\n612 792 pdfSetupPaper\n"), 2u);  // the two pages' own statements
  EXPECT_EQ(RenderedPages(r.out), 2);

  // CR-only line ends: nothing is lost, on either road.
  std::string cr = FinchWrap(Replace(Pdftops(3), "\n", "\r"));
  for (const FilterJob& job : {FinchJob(cr, "PageSize=A4"), Collated(cr, 2, "PageSize=A4 Collate=True")}) {
    r = RunFilter(job);
    EXPECT_EQ(RenderedPages(r.out), job.copies == "2" ? 6 : 3) << r.err.substr(0, 2000);
  }
}

// Collated: the spool appends the end-of-job sequence right behind a last
// line without a line feed; that line (here the showpage) still prints in
// every copy.
TEST(Finch, CollatedKeepsALastLineWithoutLineFeed) {
  FilterJob job = Collated(
      "%!PS\n/Helvetica findfont 20 scalefont setfont\n100 100 moveto (Page) show\nshowpage", 2);
  FilterResult r = RunFilter(job);
  EXPECT_EQ(RenderedPages(r.out), 2) << HexDiff("", r.out);
  EXPECT_EQ(r.out.substr(r.out.size() - 18), "showpage" + kEoj);
}

// The custom-size scan reads the job as text: binary data (a NUL byte)
// does not hide a page size out of bounds.
TEST(Finch, CustomSizeScanSeesPastBinaryData) {
  std::string ps = Ps2write(1, "614x800");
  ps.insert(ps.find('\n') + 1, std::string("%binary \0\xff data\n", 16));
  FilterResult r = RunFilter(FinchJob(FinchWrap(ps), "PageSize=Custom.300x500"));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.out, "");
}
