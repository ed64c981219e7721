// SPDX-License-Identifier: Apache-2.0
// The filter and the printer beside the backend, in a network of the test's
// own: a finch job stopped at the next page when the printer reports it
// cancelled at its panel, and a Heron job during which the printer is woken.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "harness/harness.h"
#include "harness/words.h"
#include "harness/printer_link.h"
#include "harness/scheduler.h"
#include "monitor/monitor-private.h"

using namespace mtest;

namespace {

const char kPrinterUri[] = "socket://127.0.0.1:9100";

std::string Packet(const unsigned char* bytes) {
  return std::string(reinterpret_cast<const char*>(bytes), kSnmpPacketLen);
}

}  // namespace

TEST(PrinterLink, FinchJobStopsAtTheNextPageWhenThePrinterCancelsIt) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  // The writer finds the queue's device URI through the scheduler.
  CupsScheduler scheduler;
  std::string why;
  if (!scheduler.Start(&why)) GTEST_SKIP() << why;
  ASSERT_TRUE(scheduler.AddQueue("finch_link", kPrinterUri, FixturePpd("finch"), &why)) << why;

  // The printer answers every status query: this host's job, cancelled.
  FakePrinter printer;
  printer.Script({}, FakePrinter::Answer::Reply(FakePrinter::StatusReply(120, 0x06, HostName())));
  ASSERT_TRUE(printer.Start(&why)) << why;

  const std::string job_text = WrapInPjl(ReadFile(PsFromPdftops(MakePdf(400))));
  FilterJob job;
  job.queue = "finch_link";
  job.ppd = FixturePpd("finch");
  job.side = {SideAnswer::Id(DeviceIdFor("Mirelo F4200DN")), SideAnswer::Id(DeviceIdFor("Mirelo F4200DN"))};
  job.env = scheduler.ClientEnv();
  job.input = job_text;
  // A slow printer: the job is still being sent when the monitor asks.
  job.pause_output_at = 20000;
  job.pause_output_seconds = 4.5;
  FilterResult r = RunFilter(job);

  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err.find("cancel_job =1"), std::string::npos) << "no SIGTERM was sent";
  EXPECT_NE(r.err.find("uri:" + std::string(kPrinterUri) + ",jobid:42,jobower:" + HostName() + "\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("ip:127.0.0.1\n"), std::string::npos) << r.err;
  ASSERT_GE(printer.Count(), 1u);
  EXPECT_EQ(printer.Received()[0].bytes, Packet(kSnmpStatusQuery));

  ASSERT_GT(r.out.size(), kTrailer.size());
  EXPECT_EQ(r.out.substr(r.out.size() - kTrailer.size()), kTrailer);
  size_t kept = r.out.size() - kTrailer.size();
  EXPECT_GE(kept, 20000u);
  EXPECT_LT(kept, job_text.size() / 2) << "the job should have stopped early";
  // Everything before the trailer is the tagged job, cut right before a page.
  std::string tagged = r.out.substr(0, kept);
  size_t name_end = job_text.find('\n', job_text.find("@PJL JOB NAME")) + 1;
  size_t tags = tagged.find("@PJL ENTER LANGUAGE") - name_end;
  EXPECT_EQ(tagged.substr(0, name_end), job_text.substr(0, name_end));
  EXPECT_EQ(tagged.substr(name_end + tags), job_text.substr(name_end, kept - tags - name_end));
  EXPECT_EQ(job_text.compare(kept - tags, 7, "%%Page:"), 0);
}

TEST(PrinterLink, HeronJobWakesThePrinterWhileItIsSent) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  std::string why;
  FakePrinter printer;
  printer.Script({}, FakePrinter::Answer::Reply(FakePrinter::WakeUpAnswer()));
  ASSERT_TRUE(printer.Start(&why)) << why;

  const std::string heron_id = DeviceIdFor("Mirelo H9200DN");
  FilterJob job;
  job.ppd = FixturePpd("heron");
  job.device_uri = kPrinterUri;
  job.side = {SideAnswer::Id(heron_id), SideAnswer::Id(heron_id), SideAnswer::Id(heron_id)};
  job.input = ReadFile(MakePdf(12));
  // Hold the copy for a while so that two wake-ups fall within it.
  job.pause_output_at = 1;
  job.pause_output_seconds = 6;
  FilterResult r = RunFilter(job);

  EXPECT_EQ(r.exit_code, 0);
  WriteFile(TempPath("heron-link.ps"), r.out);
  EXPECT_EQ(GsPageCount(TempPath("heron-link.ps")), 12);

  std::vector<Datagram> got = printer.Received();
  ASSERT_GE(got.size(), 2u) << r.err;
  for (const Datagram& d : got) EXPECT_EQ(d.bytes, Packet(kSnmpWakeUp));
  EXPECT_NEAR(got[1].at - got[0].at, 5.0, 0.7);
  // The thread starts before the copy and is stopped and joined after it.
  size_t copied = r.err.find("DEBUG:Successfully write print file to stdout.\n");
  size_t stopped = r.err.find("End::g_bDammyEnd = 1\n");
  ASSERT_NE(copied, std::string::npos);
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(copied, stopped);
  // One wake-up every 5 seconds, and none once the copy ended.
  EXPECT_LE(got.size(), static_cast<size_t>(r.seconds / 5.0) + 1);
}
