// SPDX-License-Identifier: Apache-2.0
// The Printer Application end to end, in a private network: its server with
// a printer of each family on a raw socket sink at 127.0.0.1:9100, driven by
// its own sub-commands and by CUPS's ipptool.
#include <gtest/gtest.h>

#include <string>

#include "harness/harness.h"
#include "harness/printer_app.h"
#include "harness/printer_link.h"

namespace mtest {
namespace {

constexpr char kUel[] = "\x1b%-12345X";
constexpr char kEndOfJob[] = "\x04\x1b%-12345X";

struct Queue {
  const char* name;
  const char* driver;
};
constexpr Queue kQueues[] = {
    {"plain", "mirelo_p2200dn"}, {"finch", "mirelo_f4200dn"}, {"heron", "mirelo_h9100dn"}};

class App : public ::testing::Test {
 protected:
  void SetUp() override {
    MTEST_REQUIRE_PRIVATE_NETWORK();
    std::string why;
    ASSERT_TRUE(sink_.Start(&why)) << why;
    ASSERT_TRUE(server_.Start(TempPath("app"), 8631, &why)) << why;
    for (const Queue& q : kQueues) {
      std::string out;
      ASSERT_EQ(server_.Command({"add", "-d", q.name, "-m", q.driver, "-v", "socket://127.0.0.1:9100"}, &out), 0)
          << out << server_.Log();
    }
  }

  // Prints file to the queue with ipptool's print-job test and returns the job
  // the printer stored.
  std::string PrintJob(const char* queue, const std::string& file) {
    size_t index = sink_.Count();
    std::string out, err;
    EXPECT_EQ(mtest::Run({"ipptool", "-t", "-f", file, server_.PrinterUri(queue), "print-job.test"}, &out, &err), 0)
        << out << err;
    std::string job;
    EXPECT_TRUE(sink_.WaitForJob(index, 60, &job)) << server_.Log();
    return job;
  }

  JobSink sink_;
  AppServer server_;
};

TEST_F(App, AnswersPrinterAttributesFromTheModelData) {
  std::string out, err;
  ASSERT_EQ(mtest::Run({"ipptool", "-tv", server_.PrinterUri("finch"), "get-printer-attributes.test"}, &out, &err), 0)
      << out << err;
  for (const char* text : {"application/pdf", "application/postscript", "image/pwg-raster", "two-sided-long-edge",
                           "iso_a5_148x210mm", "custom_min_74.43x147.46mm", "600dpi", "Mirelo F4200DN"})
    EXPECT_NE(out.find(text), std::string::npos) << text;

  // "all" names the registered attributes only: the finch feed edge is asked for by name.
  const std::string feed_edge = TempPath("feed-edge.test");
  WriteFile(feed_edge,
            "{ OPERATION Get-Printer-Attributes GROUP operation-attributes-tag\n"
            "  ATTR charset attributes-charset utf-8 ATTR language attributes-natural-language en\n"
            "  ATTR uri printer-uri $uri ATTR keyword requested-attributes feed-edge-supported,feed-edge-default\n"
            "  STATUS successful-ok EXPECT feed-edge-supported WITH-VALUE short-edge\n"
            "  EXPECT feed-edge-default WITH-VALUE long-edge }\n");
  EXPECT_EQ(mtest::Run({"ipptool", "-t", server_.PrinterUri("finch"), feed_edge}, &out, &err), 0) << out << err;
  EXPECT_NE(mtest::Run({"ipptool", "-t", server_.PrinterUri("plain"), feed_edge}, &out, &err), 0) << out << err;

  std::string drivers;
  ASSERT_EQ(server_.Command({"drivers"}, &drivers), 0);
  EXPECT_NE(drivers.find("mirelo_h9600dn \"Mirelo H9600DN\""), std::string::npos) << drivers;
}

TEST_F(App, PrintsPdfAndPostScriptOnEveryFamily) {
  const std::string pdf = MakePdf(3);
  const std::string ps = PsFromPdftops(pdf);
  for (const Queue& q : kQueues) {
    for (const std::string& file : {pdf, ps}) {
      SCOPED_TRACE(std::string(q.name) + " " + file);
      std::string job = PrintJob(q.name, file);
      EXPECT_EQ(job.rfind(kUel, 0), 0u) << HexDiff(kUel, job.substr(0, 16));
      EXPECT_NE(job.find("@PJL ENTER LANGUAGE = POSTSCRIPT"), std::string::npos);
      ASSERT_GE(job.size(), sizeof(kEndOfJob) - 1);
      EXPECT_EQ(job.substr(job.size() - (sizeof(kEndOfJob) - 1)), kEndOfJob);
      bool finch = std::string(q.name) == "finch";
      EXPECT_EQ(job.find("@PJL SET JOBOWNER=") != std::string::npos, finch);
      EXPECT_EQ(job.find("@PJL SET JOBID=") != std::string::npos, finch);
      std::string body = TempPath(std::string("job-") + q.name + ".ps");
      WriteFile(body, PostScriptOf(job));
      EXPECT_EQ(GsPageCount(body), 3);
    }
  }
}

// Copies collated by the core on finch models, duplex on the device, and a
// JPEG through PAPPL's raster path as a binary compressed image page.
TEST_F(App, MakesCopiesDuplexAndRasterPages) {
  const std::string job_test = TempPath("copies.test");
  WriteFile(job_test,
            "{ OPERATION Print-Job GROUP operation-attributes-tag\n"
            "  ATTR charset attributes-charset utf-8 ATTR language attributes-natural-language en\n"
            "  ATTR uri printer-uri $uri ATTR name requesting-user-name alice\n"
            "  ATTR mimeMediaType document-format $filetype\n"
            "  GROUP job-attributes-tag ATTR integer copies 2\n"
            "  ATTR keyword multiple-document-handling separate-documents-collated-copies\n"
            "  ATTR keyword sides two-sided-long-edge\n"
            "  FILE $filename STATUS successful-ok }\n");
  const std::string pdf = MakePdf(2);
  std::string out, err, job;
  size_t index = sink_.Count();
  ASSERT_EQ(mtest::Run({"ipptool", "-t", "-f", pdf, server_.PrinterUri("finch"), job_test}, &out, &err), 0) << out;
  ASSERT_TRUE(sink_.WaitForJob(index, 60, &job)) << server_.Log();
  EXPECT_NE(job.find("/Duplex true"), std::string::npos);
  EXPECT_NE(job.find("@PJL SET JOBOWNER="), std::string::npos);
  std::string body = TempPath("copies.ps");
  WriteFile(body, PostScriptOf(job));
  EXPECT_EQ(GsPageCount(body), 4) << "two collated copies of two pages";

  const std::string jpeg = TempPath("page.jpg");
  ASSERT_EQ(mtest::Run({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=jpeggray", "-r30",
                        "-dFirstPage=1", "-dLastPage=1", "-sOutputFile=" + jpeg, pdf}),
            0);
  job = PrintJob("plain", jpeg);
  EXPECT_NE(job.find("/RunLengthDecode filter"), std::string::npos);
  WriteFile(body, PostScriptOf(job));
  EXPECT_EQ(GsPageCount(body), 1);
  EXPECT_LT(job.size(), 2u << 20) << "a page of 600 dpi samples, compressed";
}

}  // namespace
}  // namespace mtest
