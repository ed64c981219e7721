// SPDX-License-Identifier: Apache-2.0
// The filter under a real CUPS scheduler: queues made with lpadmin from the
// generated PPDs, jobs submitted with lp, the test backend playing the
// printer. What is checked is what a user and the printer see: the stream
// that reached the printer, rendered by Ghostscript, and the job's state as
// lpstat reports it.
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/print_system.h"
#include "harness/words.h"
#include "output/output.h"

namespace {

using mtest::PrintSystem;
using mtest::QueueSpec;

constexpr char kPlain[] = "Mirelo P2200DN";
constexpr char kFinch[] = "Mirelo F4200DN";
constexpr char kHeron[] = "Mirelo H9100DN";
constexpr char kRefusal[] = "当前打印机不可打印，请使用正确的打印机";

QueueSpec Queue(const std::string& name, const std::string& model, int delay_ms = 0) {
  return {name, mtest::GeneratedPpd(model), mtest::PrinterDeviceId(model), delay_ms};
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!ps_.Start(&why)) GTEST_SKIP() << why;
  }

  void AddQueues(const std::vector<QueueSpec>& queues) {
    for (const auto& q : queues) {
      std::string err;
      ASSERT_TRUE(ps_.AddQueue(q, &err)) << q.name << ": " << err;
    }
  }

  int Submit(const std::string& queue, const std::string& file, const std::vector<std::string>& args) {
    std::string err;
    int id = ps_.Submit(queue, file, args, &err);
    EXPECT_GT(id, 0) << err;
    return id;
  }

  // Waits for the job and expects it completed; the stream the printer got.
  std::string Finished(const std::string& queue, int job) {
    EXPECT_TRUE(ps_.WaitDone(queue, job)) << queue << "-" << job << " still not done";
    mtest::JobReport r = ps_.Report(queue, job);
    EXPECT_EQ(r.state, IPP_JSTATE_COMPLETED) << r.long_status << Log(job);
    EXPECT_TRUE(r.completed) << r.long_status;
    return ps_.Output(queue, job);
  }

  // The scheduler's log lines of one job, to explain a failure.
  std::string Log(int job) const {
    std::string log = ps_.Scheduler().ErrorLog(), tag = "[Job " + std::to_string(job) + "]", lines;
    size_t pos = 0;
    while ((pos = log.find(tag, pos)) != std::string::npos) {
      size_t start = log.rfind('\n', pos) + 1, end = log.find('\n', pos);
      std::string line = log.substr(start, end - start);
      if (line.find("argv[") != std::string::npos || line.find("envp[") == std::string::npos)
        lines += line + "\n";
      pos = end;
    }
    return lines.size() > 6000 ? lines.substr(lines.size() - 6000) : lines;
  }

  // The pages the printer prints from a stream: each PostScript job in it
  // rendered, every page repeated as often as its copy-count block asks.
  std::vector<int> PrintedPages(const std::string& stream, const std::string& name) {
    std::vector<int> pages;
    int n = 0;
    for (const std::string& ps : mtest::PostScriptParts(stream)) {
      std::string file = mtest::TempPath(name + "-" + std::to_string(n++) + ".ps");
      mtest::WriteFile(file, ps);
      // A printer prints every page NumCopies times.
      int device_copies = mtest::DeviceCopies(ps);
      for (int page : mtest::RenderedPageNumbers(file)) pages.insert(pages.end(), device_copies, page);
    }
    return pages;
  }

  // The page_log total of a job; it is written right after the job ends.
  long PageLogTotal(const std::string& queue, int job) {
    long total = -1;
    for (int i = 0; i < 50 && (total = ps_.PageLogTotal(queue, job)) < 0; ++i) usleep(100000);
    return total;
  }

  PrintSystem ps_;
};

std::vector<int> Collated(int pages, int copies) {
  std::vector<int> v;
  for (int c = 0; c < copies; ++c)
    for (int p = 1; p <= pages; ++p) v.push_back(p);
  return v;
}

std::vector<int> Uncollated(int pages, int copies) {
  std::vector<int> v;
  for (int p = 1; p <= pages; ++p)
    for (int c = 0; c < copies; ++c) v.push_back(p);
  return v;
}

std::vector<int> Sorted(std::vector<int> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Exactly N copies for N asked, collated or not, on every family: neither
// lost (nobody makes them) nor N x N (the spooler and the filter both make
// them). A finch printer makes uncollated copies itself from the job's
// copy-count block; collated finch copies are made by the filter.
TEST_F(EndToEnd, CopiesOnEveryFamily) {
  AddQueues({Queue("plain", kPlain), Queue("finch", kFinch), Queue("heron", kHeron)});
  std::string pdf = mtest::MakePdf(3);
  std::string ps = mtest::PsFromPdftops(pdf);
  struct Job {
    std::string queue, file;
    int copies;
    bool collate;
    int id = 0;
    std::string option = "";  // in place of collate=true/false
  };
  // What IPP clients send for uncollated copies, and a document whose name
  // holds the word: neither asks for collated copies.
  std::string collateral = mtest::TempPath("Collateral agreement.pdf");
  mtest::WriteFile(collateral, mtest::ReadFile(pdf));
  const std::string uncollated = "multiple-document-handling=separate-documents-uncollated-copies";
  std::vector<Job> jobs = {{"plain", pdf, 2, true},
                           {"plain", pdf, 3, false},
                           {"plain", ps, 2, true},
                           {"finch", pdf, 2, true},
                           {"finch", pdf, 3, false},
                           {"finch", ps, 3, true},
                           {"heron", pdf, 2, true},
                           {"heron", pdf, 2, false},
                           {"finch", pdf, 2, false, 0, uncollated},
                           {"finch", collateral, 3, false, 0, uncollated}};
  for (Job& j : jobs) {
    j.id = Submit(j.queue, j.file,
                  {"-n", std::to_string(j.copies), "-o",
                   !j.option.empty() ? j.option
                   : j.collate       ? "collate=true"
                                     : "collate=false"});
  }
  for (const Job& j : jobs) {
    SCOPED_TRACE(j.queue + "-" + std::to_string(j.id) + (j.file == ps ? " PostScript" : " PDF") + ", " +
                 std::to_string(j.copies) + (j.collate ? " collated" : " uncollated"));
    std::string out = Finished(j.queue, j.id);
    ASSERT_FALSE(out.empty()) << Log(j.id);
    std::vector<int> pages = PrintedPages(out, j.queue + std::to_string(j.id));
    // Exactly N copies of every page; the order where the filter or the
    // PDF chain makes the copies (the PostScript chain of a plain queue
    // repeats the whole job as it sees fit).
    EXPECT_EQ(Sorted(pages), Sorted(Collated(3, j.copies))) << Log(j.id);
    if (j.queue != "plain" || j.file == pdf) {
      EXPECT_EQ(pages, j.collate ? Collated(3, j.copies) : Uncollated(3, j.copies)) << Log(j.id);
    }
    // Collated finch copies travel in one PJL job: the stream leaves PJL
    // for PostScript once and comes back once, at its very end.
    if (j.queue == "finch" && j.collate) {
      EXPECT_EQ(mtest::Count(out, mtest::kUel), 2u);
      EXPECT_EQ(out.compare(out.size() - 10, 10, mtest::kEoj), 0);
    }
    // Page accounting: the scheduler counts the pages the printer prints.
    EXPECT_EQ(PageLogTotal(j.queue, j.id), static_cast<long>(pages.size())) << Log(j.id);
    // The filter asks for the device ID twice, a Heron job three times.
    EXPECT_EQ(ps_.DeviceIdRequests(j.queue, j.id), j.queue == "heron" ? 3 : 2);
  }
  // The collated finch copies are announced as the printer's state.
  std::string log = ps_.Scheduler().ErrorLog();
  EXPECT_NE(log.find("] Printing copy 2 of 2\n"), std::string::npos);
  EXPECT_NE(log.find("] Printing copy 3 of 3\n"), std::string::npos);
}

// A finch job is tagged with its owner (this host) and job id right after
// the job-name line; an A5 job fed long edge first also asks for A5L paper.
// Plain and Heron jobs get no tags.
TEST_F(EndToEnd, FinchJobsAreTagged) {
  AddQueues({Queue("plain", kPlain), Queue("finch", kFinch), Queue("heron", kHeron)});
  std::string a4 = mtest::MakePdf(2);
  std::string a5 = mtest::PsFromPs2write(mtest::MakePdf(2, "a5"));
  int a4_job = Submit("finch", a4, {});
  int a5_job = Submit("finch", a5, {"-o", "media=A5"});
  int plain_job = Submit("plain", a4, {});
  int heron_job = Submit("heron", a4, {});

  std::string owner = "@PJL SET JOBOWNER=\"" + mtest::HostName() + "\"\r\n";
  for (int job : {a4_job, a5_job}) {
    std::string out = Finished("finch", job);
    size_t name = out.find("@PJL JOB NAME");
    ASSERT_NE(name, std::string::npos) << out.substr(0, 300);
    size_t after = out.find('\n', name) + 1;
    std::string tags = owner + "@PJL SET JOBID=" + std::to_string(job) + "\r\n";
    if (job == a5_job) tags += "@PJL SET PAPER=A5L\r\n";
    EXPECT_EQ(out.substr(after, tags.size()), tags) << out.substr(0, 400);
    EXPECT_EQ(out.find("@PJL SET PAPER=A5L"), job == a5_job ? after + tags.size() - 20 : std::string::npos);
    EXPECT_EQ(PrintedPages(out, "tag" + std::to_string(job)), Collated(2, 1));
  }
  for (auto [queue, job] : {std::pair<std::string, int>{"plain", plain_job}, {"heron", heron_job}}) {
    std::string out = Finished(queue, job);
    EXPECT_NE(out.find("@PJL JOB NAME"), std::string::npos);
    EXPECT_EQ(out.find("@PJL SET JOBOWNER"), std::string::npos) << queue;
    EXPECT_EQ(PrintedPages(out, queue + std::to_string(job)), Collated(2, 1));
  }
}

// A long-edge duplex Heron job has every back side turned by 180 degrees
// (the printer turns them back); a simplex job and a short-edge job do not.
TEST_F(EndToEnd, HeronDuplexBackSidesTurned) {
  AddQueues({Queue("heron", kHeron)});
  std::string pdf = mtest::MakePdf(4);
  int long_edge = Submit("heron", pdf, {"-o", "sides=two-sided-long-edge"});
  int simplex = Submit("heron", pdf, {"-o", "sides=one-sided"});
  for (int job : {long_edge, simplex}) {
    std::string out = Finished("heron", job);
    auto parts = mtest::PostScriptParts(out);
    ASSERT_EQ(parts.size(), 1u);
    std::string file = mtest::TempPath("duplex" + std::to_string(job) + ".ps");
    mtest::WriteFile(file, parts[0]);
    EXPECT_EQ(mtest::RenderedPageNumbers(file), Collated(4, 1));
    // The mark of every page sits in its lower left corner; on a turned
    // page it is in the upper right.
    std::vector<mtest::PageBox> boxes = mtest::GsPageBoxes(file);
    ASSERT_EQ(boxes.size(), 4u);
    for (size_t i = 0; i < boxes.size(); ++i) {
      bool turned = boxes[i].lly > 421;
      EXPECT_EQ(turned, job == long_edge && i % 2 == 1)
          << "page " << i + 1 << " box " << boxes[i].llx << " " << boxes[i].lly << " " << boxes[i].urx << " "
          << boxes[i].ury << Log(job);
    }
  }
}

// A printer that is not a supported model: the job is refused before
// anything is sent, the refusal is the job's state message, and the job is
// stopped "due to filter errors" (exit status 1); the queue goes on.
TEST_F(EndToEnd, UnsupportedPrinterRefusesTheJob) {
  QueueSpec other = Queue("other", kPlain);
  other.device_id = "MFG:Acme;MDL:Acme Office 100;CLS:PRINTER;";
  AddQueues({other, Queue("plain", kPlain)});
  int job = Submit("other", mtest::MakePdf(1), {});
  ASSERT_TRUE(ps_.WaitDone("other", job));
  mtest::JobReport r = ps_.Report("other", job);
  EXPECT_EQ(r.state, IPP_JSTATE_STOPPED) << r.long_status;
  EXPECT_FALSE(r.completed) << r.long_status;
  EXPECT_NE(r.long_status.find("job-completed-with-errors"), std::string::npos) << r.long_status;
  EXPECT_EQ(ps_.Output("other", job), "");
  // Asked once, refused before the second question.
  EXPECT_EQ(ps_.DeviceIdRequests("other", job), 1);
  std::string log = ps_.Scheduler().ErrorLog();
  const std::string tag = "[Job " + std::to_string(job) + "] ";
  size_t refused = log.find(tag + kRefusal + "\n");
  EXPECT_NE(refused, std::string::npos) << log;
  EXPECT_NE(log.find("Job stopped due to filter errors"), std::string::npos);
  // The job's state message is the filter's last error line, as the
  // scheduler read it, unless the scheduler took the filter's exit status
  // before it read that line: then the job keeps the scheduler's own
  // "Filter failed" (its order of events, which a busy machine changes;
  // the log shows which came first).
  size_t reaped = std::string::npos;
  for (size_t at = log.find(tag + "PID "); at != std::string::npos && reaped == std::string::npos;
       at = log.find(tag + "PID ", at + 1)) {
    if (log.substr(at, log.find('\n', at) - at).find("/mirelops) stopped with status 1.") !=
        std::string::npos)
      reaped = at;
  }
  ASSERT_NE(reaped, std::string::npos) << log;
  const std::string message = refused < reaped ? kRefusal : "Filter failed";
  EXPECT_NE(r.long_status.find("Status: " + message + "\n"), std::string::npos) << r.long_status;
  // The queue itself is not stopped: the next job prints.
  std::string printer;
  mtest::Run({"lpstat", "-h", ps_.Scheduler().Socket(), "-p", "other"}, &printer);
  EXPECT_NE(printer.find("enabled"), std::string::npos) << printer;
}

// A job cancelled with cancel while the printer is slow: the filter ends
// the stream at the next page boundary with the 69-byte trailer, which the
// printer still receives, and the job ends cancelled.
TEST_F(EndToEnd, CancelledJobEndsWithTheTrailer) {
  AddQueues({Queue("plainslow", kPlain, 25), Queue("finchslow", kFinch, 25)});
  std::string pdf = mtest::MakePdf(40);
  for (const char* queue : {"plainslow", "finchslow"}) {
    SCOPED_TRACE(queue);
    int job = Submit(queue, pdf, {});
    ASSERT_TRUE(ps_.WaitPrinting(queue, job, 16 * 1024)) << Log(job);
    ASSERT_EQ(ps_.Cancel(job), 0);
    ASSERT_TRUE(ps_.WaitDone(queue, job));
    mtest::JobReport r = ps_.Report(queue, job);
    EXPECT_EQ(r.state, IPP_JSTATE_CANCELED) << r.long_status;
    EXPECT_TRUE(r.completed) << r.long_status;  // listed with the completed jobs
    // The backend finishes storing what the filter sent after the cancel.
    // (It notes the device ID requests when it has finished.)
    for (int i = 0; i < 100 && ps_.DeviceIdRequests(queue, job) < 0; ++i) usleep(100000);
    std::string out = ps_.Output(queue, job);
    ASSERT_GE(out.size(), kCutoffTrailerLen);
    EXPECT_EQ(out.substr(out.size() - kCutoffTrailerLen), std::string(kCutoffTrailer))
        << mtest::HexDiff(kCutoffTrailer, out.substr(out.size() - kCutoffTrailerLen)) << Log(job);
    // Cut before a page: fewer than the 40 pages went out, and only those count.
    EXPECT_EQ(out.find("%%Page: 40 40"), std::string::npos);
    EXPECT_EQ(PageLogTotal(queue, job), mtest::PageComments(out)) << Log(job);
    EXPECT_NE(Log(job).find("] Job cancelled; the output was closed at a page boundary"), std::string::npos)
        << Log(job);
  }
}

// cups-driverd finds every generated PPD: lpinfo -m lists all 65.
TEST_F(EndToEnd, LpinfoListsEveryModel) {
  std::string list = ps_.ListModels();
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(MIRELOPS_PPD_DIR)) {
    if (e.path().extension() != ".ppd") continue;
    ++files;
    std::string name = "mirelo/" + e.path().filename().string() + " ";
    EXPECT_NE(list.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(files, 65u);
  size_t listed = 0;
  for (size_t p = 0; (p = list.find("\nmirelo/", p)) != std::string::npos; ++p) ++listed;
  if (list.rfind("mirelo/", 0) == 0) ++listed;
  EXPECT_EQ(listed, 65u);
  // And a queue can be made from the name lpinfo gives.
  EXPECT_EQ(ps_.Scheduler().Lpadmin(
                {"-p", "bymodel", "-E", "-v", "mtest:/dev/null", "-m", "mirelo/Mirelo-F4200DN.ppd"}),
            0);
}

}  // namespace
