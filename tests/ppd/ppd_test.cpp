// SPDX-License-Identifier: Apache-2.0
// The generated PPDs: one for every model of the product list, each passes
// cupstestppd, carries what the filter and the scheduler rely on (nickname,
// filter line, JCL, options of its family), is known to the filter's model
// tables, and makes CUPS's own filters leave exactly the copies to the stage
// that the family needs. Also the manual page renders.
#include <gtest/gtest.h>

#include <cups/ppd.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/words.h"
#include "identify/identify.h"
#include "job/entry-points.h"

using namespace mtest;

namespace {

struct Model : ProductModel {
  std::string Ppd() const {
    std::string file = name;
    for (char& c : file)
      if (c == ' ') c = '-';
    return std::string(MIRELOPS_PPD_DIR) + "/" + file + ".ppd";
  }
  // The letters after the model number: D for a duplex unit.
  bool HasDuplex() const {
    size_t end = name.find_last_of("0123456789");
    return name.find('D', end) != std::string::npos;
  }
};

const std::vector<Model>& ProductList() {
  static const std::vector<Model> models = [] {
    std::vector<Model> list;
    for (const ProductModel& m : ProductModels()) list.push_back(Model{m});
    return list;
  }();
  return models;
}

// A copy: a reference into the static list, returned from a function given
// a temporary string, is what gcc 14's -Wdangling-reference takes for a
// dangling one.
Model FirstOf(const std::string& family) {
  for (const Model& m : ProductList())
    if (m.family == family) return m;
  throw std::runtime_error("no model of family " + family);
}

using PpdPtr = std::unique_ptr<ppd_file_t, decltype(&ppdClose)>;
PpdPtr Open(const std::string& path) { return PpdPtr(ppdOpenFile(path.c_str()), &ppdClose); }

std::string Attr(ppd_file_t* ppd, const char* name) {
  ppd_attr_t* a = ppdFindAttr(ppd, name, nullptr);
  return a && a->value ? a->value : "<missing>";
}

std::vector<std::string> Choices(ppd_option_t* o) {
  std::vector<std::string> v;
  for (int i = 0; i < o->num_choices; ++i) v.push_back(o->choices[i].choice);
  return v;
}

std::string ServerBin() {
  std::string out;
  if (mtest::Run({"cups-config", "--serverbin"}, &out) != 0 || out.empty()) return "/usr/lib/cups";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// Runs one of CUPS's own filters on a file with the queue's PPD, as the
// scheduler does: name job-id user title copies options file.
std::string RunCupsFilter(const std::string& filter, const Model& model, const std::string& copies,
                          const std::string& options, const std::string& file) {
  std::string out, err;
  int rc = mtest::Run(
      {"/usr/bin/env", "PPD=" + model.Ppd(), "FINAL_CONTENT_TYPE=application/vnd.cups-postscript",
       ServerBin() + "/filter/" + filter, "7", "alice", "report", copies, options, file},
      &out, &err);
  EXPECT_EQ(rc, 0) << filter << " failed:\n" << err;
  return out;
}

// A PostScript document of the given pages, with DSC page comments.
std::string MakeDscPs(int pages) {
  std::string path = TempPath("doc" + std::to_string(pages) + ".ps");
  std::string ps = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(pages) + "\n%%EndComments\n";
  for (int i = 1; i <= pages; ++i)
    ps += "%%Page: " + std::to_string(i) + " " + std::to_string(i) +
          "\n/Helvetica findfont 24 scalefont setfont 72 700 moveto (page " + std::to_string(i) +
          ") show showpage\n";
  ps += "%%EOF\n";
  WriteFile(path, ps);
  return path;
}

}  // namespace

TEST(Ppd, OneForEveryModelAndNothingElse) {
  ASSERT_EQ(ProductList().size(), 65u);
  std::set<std::string> expected, found;
  for (const Model& m : ProductList()) expected.insert(m.Ppd());
  DIR* dir = opendir(MIRELOPS_PPD_DIR);
  ASSERT_NE(dir, nullptr) << MIRELOPS_PPD_DIR;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') found.insert(std::string(MIRELOPS_PPD_DIR) + "/" + e->d_name);
  closedir(dir);
  EXPECT_EQ(found, expected);
}

TEST(Ppd, EveryPpdPassesCupstestppd) {
  // A root folder that holds the filter where the scheduler looks for it, so
  // that the filter line is checked too.
  std::string root = TempPath("root");
  std::string filter_dir = root + ServerBin() + "/filter";
  ASSERT_EQ(mtest::Run({"mkdir", "-p", filter_dir}), 0);
  ASSERT_EQ(mtest::Run({"cp", MIRELOPS_BIN, filter_dir + "/mirelops"}), 0);

  std::vector<std::string> argv = {"cupstestppd", "-R", root};
  for (const Model& m : ProductList()) argv.push_back(m.Ppd());
  std::string out, err;
  int rc = mtest::Run(argv, &out, &err);
  EXPECT_EQ(rc, 0) << out << err;
  EXPECT_EQ(Count(out, ": PASS"), 65u) << out;
  EXPECT_EQ(Count(out, "FAIL"), 0u) << out;
  // Warnings only about the copied filter's owner, when not run as root.
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("WARN") != std::string::npos) {
      EXPECT_NE(line.find("mirelops"), std::string::npos) << line;
    }
  }
}

TEST(Ppd, KeywordsOfEveryModel) {
  for (const Model& m : ProductList()) {
    SCOPED_TRACE(m.name);
    PpdPtr ppd = Open(m.Ppd());
    ASSERT_TRUE(ppd) << m.Ppd();
    ppd_file_t* p = ppd.get();

    EXPECT_EQ(Attr(p, "ShortNickName"), m.name + " Series PS");
    EXPECT_EQ(Attr(p, "Manufacturer"), m.maker);
    EXPECT_EQ(Attr(p, "ModelName"), m.name);
    EXPECT_EQ(Attr(p, "1284DeviceID"), "MFG:" + m.maker + ";MDL:" + m.name + " series;CLS:PRINTER;");

    // One filter line, mirelops last: PDF in for Heron, PostScript in else.
    std::vector<std::string> filters;
    for (ppd_attr_t* a = ppdFindAttr(p, "cupsFilter2", nullptr); a;
         a = ppdFindNextAttr(p, "cupsFilter2", nullptr))
      filters.push_back(a->value);
    EXPECT_EQ(ppdFindAttr(p, "cupsFilter", nullptr), nullptr);
    const std::string in = m.family == "Heron" ? "application/vnd.cups-pdf"
                                               : "application/vnd.cups-postscript";
    EXPECT_EQ(filters, std::vector<std::string>{in + " application/vnd.cups-postscript 0 mirelops"});

    // Copies: left to the printer (and the filter) on finch, made by CUPS else.
    EXPECT_EQ(p->manual_copies != 0, m.family != "finch");

    // PJL around every PostScript job.
    ASSERT_NE(p->jcl_begin, nullptr);
    ASSERT_NE(p->jcl_ps, nullptr);
    ASSERT_NE(p->jcl_end, nullptr);
    EXPECT_EQ(std::string(p->jcl_begin), kUel + "@PJL\n");
    EXPECT_EQ(std::string(p->jcl_ps), "@PJL ENTER LANGUAGE = POSTSCRIPT\n");
    EXPECT_EQ(std::string(p->jcl_end), kEoj);

    // Paper: the usual sizes, A4 by default, custom sizes within the bounds
    // that the finch models accept.
    struct Size {
      const char* name;
      float w, h;
    };
    for (Size s :
         {Size{"A4", 595, 842}, Size{"Letter", 612, 792}, Size{"Legal", 612, 1008}, Size{"A5", 420, 595}}) {
      ppd_size_t* size = ppdPageSize(p, s.name);
      ASSERT_NE(size, nullptr) << s.name;
      EXPECT_EQ(size->width, s.w) << s.name;
      EXPECT_EQ(size->length, s.h) << s.name;
    }
    ppd_option_t* page_size = ppdFindOption(p, "PageSize");
    ASSERT_NE(page_size, nullptr);
    EXPECT_STREQ(page_size->defchoice, "A4");
    EXPECT_TRUE(p->variable_sizes);
    EXPECT_EQ(p->custom_min[0], 211.0f);
    EXPECT_EQ(p->custom_min[1], 418.0f);
    EXPECT_EQ(p->custom_max[0], 613.0f);
    EXPECT_EQ(p->custom_max[1], 1010.0f);

    // Every finch and Heron model has a duplex unit; of the plain ones, those
    // with a D after the model number.
    ppd_option_t* duplex = ppdFindOption(p, "Duplex");
    if (m.family != "plain") {
      EXPECT_TRUE(m.HasDuplex());
    }
    if (m.HasDuplex()) {
      ASSERT_NE(duplex, nullptr);
      EXPECT_EQ(Choices(duplex), (std::vector<std::string>{"None", "DuplexNoTumble", "DuplexTumble"}));
      EXPECT_STREQ(duplex->defchoice, "None");
    } else {
      EXPECT_EQ(duplex, nullptr);
    }

    ppd_option_t* feed = ppdFindOption(p, "FeedEdge");
    ppd_option_t* collate = ppdFindOption(p, "Collate");
    if (m.family == "finch") {
      ASSERT_NE(feed, nullptr);
      EXPECT_EQ(Choices(feed), (std::vector<std::string>{"ShortEdge", "LongEdge"}));
      EXPECT_STREQ(feed->defchoice, "LongEdge");
      ASSERT_NE(collate, nullptr);
      EXPECT_STREQ(collate->defchoice, "False");
    } else {
      EXPECT_EQ(feed, nullptr);
      EXPECT_EQ(collate, nullptr);
    }
  }
}

TEST(Ppd, TheFilterKnowsEveryModelByItsPpd) {
  // Without a device ID the filter goes by the PPD's nickname.
  const char* old = getenv("PPD");
  std::string saved = old ? old : "";
  for (const Model& m : ProductList()) {
    SCOPED_TRACE(m.name);
    setenv("PPD", m.Ppd().c_str(), 1);
    bool finch = false;
    EXPECT_TRUE(isSupportPrinter("", false, &finch));
    EXPECT_EQ(finch, m.family == "finch");
    EXPECT_EQ(isHeronPrinter("", false), m.family == "Heron");
  }
  if (old)
    setenv("PPD", saved.c_str(), 1);
  else
    unsetenv("PPD");
}

// Copies through CUPS's own filters, before mirelops. For N copies asked,
// exactly one stage may make them.
TEST(PpdCopies, PlainModelsGetTheCopiesFromPstops) {
  const Model plain = FirstOf("plain");
  std::string doc = MakeDscPs(2);
  for (const char* options : {"", "Collate=True", "Collate=False"}) {
    SCOPED_TRACE(options);
    std::string out = RunCupsFilter("pstops", plain, "3", options, doc);
    EXPECT_EQ(Count(out, "%RBIBeginNonPPDFeature: *NumCopies"), 0u);
    EXPECT_EQ(Count(out, "\n%%Page: "), 6u);
    std::string file = TempPath("plain.ps");
    WriteFile(file, out);
    EXPECT_EQ(GsPageCount(file), 6);
  }
}

TEST(PpdCopies, FinchModelsLeaveTheCopiesToTheDeviceCollatedOrNot) {
  // The filter drops the NumCopies block and replays the job for collated
  // copies; uncollated, the block reaches the printer. pstops must send one
  // copy of the pages either way, even for an odd duplex job.
  const Model finch = FirstOf("finch");
  std::string doc = MakeDscPs(3);
  for (const char* options :
       {"", "Collate=True", "Collate=True Duplex=DuplexNoTumble", "Duplex=DuplexNoTumble"}) {
    SCOPED_TRACE(options);
    std::string out = RunCupsFilter("pstops", finch, "3", options, doc);
    EXPECT_EQ(Count(out, "%RBIBeginNonPPDFeature: *NumCopies 3\n"), 1u);
    EXPECT_EQ(Count(out, "%RBIEndNonPPDFeature"), 1u);
    EXPECT_EQ(Count(out, "\n%%Page: "), 3u);
  }
}

TEST(PpdCopies, PstopsWrapsTheJobInPjlWithAJobName) {
  for (const char* family : {"plain", "finch"}) {
    SCOPED_TRACE(family);
    std::string out = RunCupsFilter("pstops", FirstOf(family), "1", "", MakeDscPs(1));
    ASSERT_EQ(out.rfind(kUel + "@PJL\n", 0), 0u) << out.substr(0, 200);
    size_t name = out.find("@PJL JOB NAME = \"report\"");
    size_t lang = out.find("@PJL ENTER LANGUAGE = POSTSCRIPT\n");
    size_t ps = out.find("%!PS-Adobe-3.0");
    ASSERT_NE(name, std::string::npos) << out.substr(0, 300);
    EXPECT_LT(name, lang);
    EXPECT_LT(lang, ps);
    // The job ends with Ctrl-D and the Universal Exit Language, as written.
    const std::string end = "%%EOF\n" + kEoj;
    ASSERT_GE(out.size(), end.size());
    EXPECT_EQ(out.substr(out.size() - end.size()), end);
  }
}

TEST(PpdCopies, HeronModelsGetTheCopiesFromPdftopdf) {
  // mirelops converts with the copy count 1, so the PDF must hold them all.
  const Model heron = FirstOf("Heron");
  std::string pdf = MakePdf(3);
  struct Case {
    const char* options;
    int pages;
  };
  for (Case c : {Case{"", 9}, Case{"Collate=True", 9},
                 // Each copy of an odd duplex job gets a blank back page.
                 Case{"Collate=True Duplex=DuplexNoTumble", 12}}) {
    SCOPED_TRACE(c.options);
    std::string out = RunCupsFilter("pdftopdf", heron, "3", c.options, pdf);
    std::string file = TempPath("heron.pdf");
    WriteFile(file, out);
    std::string pages;
    ASSERT_EQ(mtest::Run({"qpdf", "--show-npages", file}, &pages), 0);
    EXPECT_EQ(atoi(pages.c_str()), c.pages);
  }
}

TEST(ManualPage, RendersWithoutWarningsAndNamesTheMessages) {
  std::string out, err;
  int rc = mtest::Run({"/usr/bin/env", "LANG=C.UTF-8", "LC_ALL=C.UTF-8", "MANWIDTH=200", "man", "--warnings",
                       "-l", std::string(MIRELOPS_SOURCE_DIR) + "/man/mirelops.8"},
                      &out, &err);
  ASSERT_EQ(rc, 0) << err;
  EXPECT_EQ(err, "");
  for (const char* text : {"NAME",
                           "SYNOPSIS",
                           "DESCRIPTION",
                           "OPTIONS",
                           "ENVIRONMENT",
                           "EXIT STATUS",
                           "DIAGNOSTICS",
                           "FILES",
                           "mirelops - CUPS filter",
                           "ERROR:当前打印机不可打印，请使用正确的打印机",
                           "ERROR:The current custom pager cannot be printed,please use the corrent paper",
                           "cancel_job =1",
                           "find page end",
                           "DEBUG: fail to change file from pdf to ps.",
                           "cups api can't find 1284 information.",
                           "/opt/mirelo/bin/mlqpdf",
                           "_m",
                           "TMPDIR",
                           "DEVICE_URI",
                           "ShortNickName",
                           "FeedEdge",
                           "number-up-layout",
                           "orientation-requested"}) {
    EXPECT_NE(out.find(text), std::string::npos) << text;
  }
}
