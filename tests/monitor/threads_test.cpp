// SPDX-License-Identifier: Apache-2.0
// The two monitoring threads run for real: the cancel monitor against the
// fake printer (network) and a played USB bus, the keep-alive thread with
// Creatpthread and Waitpthread.
#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "common/io.h"
#include "harness/harness.h"
#include "harness/printer_link.h"
#include "job/entry-points.h"
#include "monitor/monitor-private.h"
#include "monitor_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using Answer = mtest::FakePrinter::Answer;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

cancel_query_arg MakeRecord(const std::string& uri, const std::string& owner) {
  cancel_query_arg rec = {};
  mirelo::CopyText(rec.uri, sizeof(rec.uri), uri.c_str());
  rec.jobid = 42;
  mirelo::CopyText(rec.jobower, sizeof(rec.jobower), owner.c_str());
  return rec;
}

// Runs the cancel monitor on its own thread and waits for it to end (at
// most timeout seconds); returns its exit value as text, "" for none, or
// "still running" (the thread is then left to the process's end).
std::string RunMonitor(cancel_query_arg* rec, double timeout, double* took = nullptr) {
  pthread_t t;
  auto t0 = Clock::now();
  if (pthread_create(&t, nullptr, Printer_cancle_query_tread, rec) != 0) return "no thread";
  // Joined on a helper thread so that a monitor that never ends fails the
  // test instead of hanging it; the helper owns what it shares.
  struct Join {
    std::atomic<bool> ended{false};
    void* value = nullptr;
  };
  auto join = std::make_shared<Join>();
  std::thread joiner([t, join] {
    pthread_join(t, &join->value);
    join->ended.store(true);
  });
  while (!join->ended.load() && Since(t0) < timeout) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (took) *took = Since(t0);
  if (!join->ended.load()) {
    joiner.detach();
    return "still running";
  }
  joiner.join();
  return join->value ? static_cast<const char*>(join->value) : "";
}

class Monitors : public ::testing::Test {
 protected:
  void SetUp() override { mtest::ResetJobState(); }
  void TearDown() override {
    mtest::FakeUsb::Get().Uninstall();
    mtest::ResetJobState();
  }
};

// ---- Cancel monitor, network road --------------------------------------------------

TEST_F(Monitors, NetworkCancelNeedsThisHostAndACancelStatus) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  using P = mtest::FakePrinter;
  mtest::FakePrinter printer;
  // In order: a cancel of another host's job; a cancel of pc12's job (whose
  // name holds pc1's: not this host); a reply under 60 bytes that holds
  // everything; then a cancel of this host's job in a 60-byte reply.
  printer.Script({Answer::Reply(P::StatusReply(200, 0x06, "pc2")),
                  Answer::Reply(P::StatusReply(200, 0x86, "pc12")), Answer::Reply(P::ShortReply(59, "pc1")),
                  Answer::Reply(P::StatusReply(60, 0x86, "pc1"))});
  std::string why;
  ASSERT_TRUE(printer.Start(&why)) << why;
  cancel_query_arg rec = MakeRecord("socket://127.0.0.1:9100", "pc1");

  mtest::StderrCapture err;
  double took = 0;
  EXPECT_EQ(RunMonitor(&rec, 15, &took), "Job cancel, Status thread exit.\n");
  EXPECT_EQ(job_canceled.load(), 1);
  // Four queries: the first after 2 s, then every 2.5 s.
  auto got = printer.Received();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_NEAR(got[0].at, 2.0, 0.4);
  for (size_t i = 1; i < got.size(); ++i) EXPECT_NEAR(got[i].at - got[i - 1].at, 2.5, 0.3);
  EXPECT_NEAR(took, 9.5, 0.8);
  err.Restore();
  std::string text = err.Text();
  char expect[64];
  snprintf(expect, sizeof(expect), "thread arg point address:0x%lx\n",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&rec)));
  EXPECT_EQ(text.rfind(expect, 0), 0u) << text;
  EXPECT_NE(text.find("querythread::net\n"), std::string::npos);
  EXPECT_NE(text.find("ip:127.0.0.1\n"), std::string::npos);
  EXPECT_NE(
      text.find("INFO: The printer reports that the job was cancelled; printing stops at the next page\n"),
      std::string::npos);
}

// The owner text must be this host's whole name; a name longer than the
// printer's 56-byte field matches its first 56 bytes filling the field; an
// empty own name matches nothing.
TEST(ReplyOwner, IsThisHostExactly) {
  using P = mtest::FakePrinter;
  auto cancels = [](const std::string& reply, const char* own) {
    return ReplyReportsCancel(reinterpret_cast<const unsigned char*>(reply.data()),
                              static_cast<int>(reply.size()), own);
  };
  EXPECT_TRUE(cancels(P::StatusReply(100, 0x06, "pc1"), "pc1"));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x06, "pc12"), "pc1"));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x06, "pc1"), "pc12"));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x06, "xpc1"), "pc1"));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x06, "PC1"), "pc1"));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x06, ""), ""));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x06, "pc1"), ""));
  const std::string long_name(70, 'h');
  EXPECT_TRUE(cancels(P::StatusReply(100, 0x86, long_name), long_name.c_str()));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x86, long_name.substr(0, 55)), long_name.c_str()));
  EXPECT_TRUE(cancels(P::StatusReply(100, 0x86, long_name.substr(0, 56)), long_name.substr(0, 57).c_str()));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x86, std::string(56, 'g')), long_name.c_str()));
  const std::string fills(56, 'h');
  EXPECT_TRUE(cancels(P::StatusReply(100, 0x86, fills), fills.c_str()));
  EXPECT_FALSE(cancels(P::StatusReply(100, 0x86, fills), fills.substr(0, 50).c_str()));
}

TEST_F(Monitors, EmptyUriEndsWithoutPolling) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  mtest::FakePrinter printer;
  std::string why;
  ASSERT_TRUE(printer.Start(&why)) << why;
  cancel_query_arg rec = MakeRecord("", "pc1");
  mtest::StderrCapture err;
  double took = 0;
  EXPECT_EQ(RunMonitor(&rec, 5, &took), "");
  EXPECT_LT(took, 1.0);
  EXPECT_EQ(printer.Count(), 0u);
  EXPECT_EQ(job_canceled.load(), 0);
}

// ---- Cancel monitor, USB road ------------------------------------------------------

TEST_F(Monitors, UsbCancelOnlyOn0x86) {
  auto& bus = mtest::FakeUsb::Get();
  bus.Install({{"ABC123"}}, {0x07, 0x00, LIBUSB_ERROR_TIMEOUT, 0x86});
  cancel_query_arg rec = MakeRecord("usb://Maker/Model?serial=ABC123", "pc1");
  mtest::StderrCapture err;
  double took = 0;
  EXPECT_EQ(RunMonitor(&rec, 8, &took), "Job cancel, Status thread exit.\n");
  EXPECT_EQ(job_canceled.load(), 1);
  // Asked once a second, the first time after half a second.
  EXPECT_NEAR(took, 3.5, 0.5);
  bus.With([](mtest::FakeUsb& b) {
    EXPECT_EQ(b.transfers, 4);
    EXPECT_FALSE(b.open_[0]);
    EXPECT_EQ(b.exits, 1);
    return 0;
  });
  EXPECT_NE(err.Text().find("Status_query::handle yes\n"), std::string::npos);
  EXPECT_NE(err.Text().find("INFO: The printer reports that the job was cancelled"), std::string::npos);
}

TEST_F(Monitors, OnlyTheUsbSchemeTakesTheUsbRoad) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  auto& bus = mtest::FakeUsb::Get();
  bus.Install({{"NOMATCH"}});
  // A network printer with "usb" in its URI is asked over the network.
  mtest::FakePrinter printer;
  printer.Script({Answer::Reply(mtest::FakePrinter::StatusReply(120, 0x86, "pc1"))});
  std::string why;
  ASSERT_TRUE(printer.Start(&why)) << why;
  cancel_query_arg rec = MakeRecord("socket://127.0.0.1:9100/usbgate", "pc1");
  mtest::StderrCapture err;
  EXPECT_EQ(RunMonitor(&rec, 5), "Job cancel, Status thread exit.\n");
  EXPECT_EQ(err.Text().find("querythread::handle is null\n"), std::string::npos);
  EXPECT_NE(err.Text().find("querythread::net"), std::string::npos);
  bus.With([](mtest::FakeUsb& b) {
    EXPECT_EQ(b.transfers, 0);
    return 0;
  });
  err.Restore();

  // The scheme, in any letter case, is what counts.
  rec = MakeRecord("USB://Mirelo/F4200DN?serial=ELSE", "pc1");
  mtest::StderrCapture err2;
  EXPECT_EQ(RunMonitor(&rec, 5), "");
  EXPECT_NE(err2.Text().find("querythread::handle is null\n"), std::string::npos);
}

// ---- Keep-alive thread ---------------------------------------------------------------

TEST_F(Monitors, KeepAliveWakesEveryFiveSecondsUntilWaitpthread) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  mtest::FakePrinter printer;
  printer.Script({}, Answer::Reply(mtest::FakePrinter::WakeUpAnswer()));
  std::string why;
  ASSERT_TRUE(printer.Start(&why)) << why;
  setenv("DEVICE_URI", "socket://127.0.0.1:9100", 1);
  char queue[] = "mirelo_test";
  char* argv[] = {queue, nullptr};

  mtest::StderrCapture err;
  Creatpthread(argv);
  EXPECT_NE(dummy_thread, 0u);
  ASSERT_TRUE(printer.WaitForCount(2, 7));
  auto t0 = Clock::now();
  Waitpthread();
  EXPECT_LT(Since(t0), 1.0);  // the pause between wake-ups ends with the flag
  EXPECT_EQ(dummy_thread, 0u);
  unsetenv("DEVICE_URI");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  auto got = printer.Received();
  ASSERT_EQ(got.size(), 2u);  // nothing after the end
  EXPECT_LT(got[0].at, 0.5);  // the first one at once
  EXPECT_NEAR(got[1].at - got[0].at, 5.0, 0.3);
  for (const auto& d : got) {
    EXPECT_EQ(d.bytes, std::string(reinterpret_cast<const char*>(kSnmpWakeUp), kSnmpPacketLen));
  }
  EXPECT_NE(err.Text().find("End::g_bDammyEnd = 1\n"), std::string::npos);
}

TEST_F(Monitors, KeepAliveTakesAUriFromArgumentZero) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  mtest::FakePrinter printer;
  std::string why;
  ASSERT_TRUE(printer.Start(&why)) << why;
  unsetenv("DEVICE_URI");
  char uri[] = "ipp://127.0.0.1/ipp/print";
  char* argv[] = {uri, nullptr};
  mtest::StderrCapture err;
  Creatpthread(argv);
  ASSERT_TRUE(printer.WaitForCount(1, 3));
  Waitpthread();
  EXPECT_EQ(dummy_thread, 0u);
}

TEST_F(Monitors, KeepAliveRefusesArgumentZeroWithoutColon) {
  unsetenv("DEVICE_URI");
  char queue[] = "plainqueue";
  char* argv[] = {queue, nullptr};
  mtest::StderrCapture err;
  Creatpthread(argv);
  EXPECT_EQ(dummy_thread, 0u);
  auto t0 = Clock::now();
  Waitpthread();
  EXPECT_LT(Since(t0), 0.2);
  EXPECT_EQ(err.Text(), "argv error\nEnd::g_bDammyEnd = 1\n");
  EXPECT_TRUE(g_bdummyEnd.load());
}

TEST_F(Monitors, KeepAliveHoldsUsbPrinterAndEndsOnCancel) {
  auto& bus = mtest::FakeUsb::Get();
  bus.Install({{"ABC123"}});
  setenv("DEVICE_URI", "usb://Maker/Model?serial=ABC123", 1);
  mtest::StderrCapture err;
  Creatpthread(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(bus.With([](mtest::FakeUsb& b) { return bool(b.open_[0]); }));
  // A cancel (SIGTERM or the printer): the thread raises its own end flag
  // after its pause, closes the printer and ends.
  auto t0 = Clock::now();
  job_canceled.store(1);
  while (!g_bdummyEnd.load() && Since(t0) < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_LT(Since(t0), 0.9);
  Waitpthread();
  EXPECT_LT(Since(t0), 1.7);
  unsetenv("DEVICE_URI");
  bus.With([](mtest::FakeUsb& b) {
    EXPECT_FALSE(b.open_[0]);
    EXPECT_EQ(b.transfers, 0);  // nothing is sent to a USB printer
    EXPECT_EQ(b.exits, 1);
    return 0;
  });
}

TEST_F(Monitors, KeepAliveUsbClosedSoonAfterWaitpthread) {
  auto& bus = mtest::FakeUsb::Get();
  bus.Install({{"ABC123"}});
  setenv("DEVICE_URI", "usb://Maker/Model?serial=ABC123", 1);
  mtest::StderrCapture err;
  Creatpthread(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto t0 = Clock::now();
  Waitpthread();
  EXPECT_LT(Since(t0), 0.9);
  unsetenv("DEVICE_URI");
  EXPECT_FALSE(bus.With([](mtest::FakeUsb& b) { return bool(b.open_[0]); }));
}

TEST_F(Monitors, KeepAliveWithoutHostEndsAtOnce) {
  auto& bus = mtest::FakeUsb::Get();
  bus.Install({});
  setenv("DEVICE_URI", "usb://Maker/Model?serial=GONE", 1);
  mtest::StderrCapture err;
  Creatpthread(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto t0 = Clock::now();
  Waitpthread();
  EXPECT_LT(Since(t0), 0.2);
  unsetenv("DEVICE_URI");
  EXPECT_NE(err.Text().find("dummy_send::handle is null\n"), std::string::npos);
}

}  // namespace
