// SPDX-License-Identifier: Apache-2.0
// The requests to the printer: the SNMP status query and wake-up against
// the fake printer in a private network, and the USB lookup and status
// request against a played USB bus.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "harness/harness.h"
#include "harness/printer_link.h"
#include "monitor/monitor-private.h"
#include "monitor_util.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

const std::string kStatusQueryWire(
    "\x30\x2B\x02\x01\x00\x04\x06vorpal\xA0\x1E\x02\x01\x00\x02\x01\x00\x02\x01\x00"
    "\x30\x13\x30\x11\x06\x0D\x2B\x06\x01\x04\x01\x81\xFD\x59\x01\x01\x03\x10\x02\x05\x00",
    45);
const std::string kWakeUpWire(
    "\x30\x2B\x02\x01\x00\x04\x06vorpal\xA3\x1E\x02\x01\x00\x02\x01\x00\x02\x01\x00"
    "\x30\x13\x30\x11\x06\x0C\x2B\x06\x01\x04\x01\x81\xFD\x59\x01\x01\x04\x0D\x02\x01\x01",
    45);

class SnmpRequests : public ::testing::Test {
 protected:
  void SetUp() override { MTEST_REQUIRE_PRIVATE_NETWORK(); }
  void StartPrinter() {
    std::string why;
    ASSERT_TRUE(printer_.Start(&why)) << why;
  }
  mtest::FakePrinter printer_;
};

TEST_F(SnmpRequests, StatusQueryAnsweredAtOnce) {
  std::string reply = mtest::FakePrinter::StatusReply(120, 0x06, "host-a");
  printer_.Script({}, mtest::FakePrinter::Answer::Reply(reply));
  StartPrinter();
  for (const char* addr : {"127.0.0.1", "localhost"}) {
    unsigned char buf[1024] = {};
    int nrecv = 0;
    mtest::StderrCapture err;
    EXPECT_TRUE(QueryStatusToNet(addr, buf, sizeof(buf), &nrecv));
    EXPECT_EQ(nrecv, 120);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 120), reply);
    EXPECT_EQ(err.Text(), std::string("->SendSNMPCmd()\n<SNMP> socket sendto success. (dest_addr=") + addr +
                              ")\nnRecv = 120\n");
  }
  auto got = printer_.Received();
  ASSERT_EQ(got.size(), 2u);
  for (const auto& d : got) EXPECT_EQ(d.bytes, kStatusQueryWire) << mtest::HexDiff(kStatusQueryWire, d.bytes);
}

TEST_F(SnmpRequests, SilentPrinterThreeSendsTwoWaits) {
  StartPrinter();
  unsigned char buf[1024] = {};
  int nrecv = 0;
  mtest::StderrCapture err;
  auto t0 = Clock::now();
  EXPECT_FALSE(QueryStatusToNet("127.0.0.1", buf, sizeof(buf), &nrecv));
  double took = Since(t0);
  EXPECT_EQ(nrecv, -1);
  EXPECT_GT(took, 3.8);
  EXPECT_LT(took, 5.0);
  std::string text = err.Text();
  EXPECT_EQ(mtest::Count(text, "<SNMP> socket sendto success. (dest_addr=127.0.0.1)\n"), 3u);
  EXPECT_EQ(mtest::Count(text, "nRecv = -1\n"), 2u);
  EXPECT_EQ(text.substr(text.size() - 16), "<-SendSNMPCmd()\n");
  ASSERT_TRUE(printer_.WaitForCount(3, 1));
  auto got = printer_.Received();
  EXPECT_EQ(got.size(), 3u);
  for (const auto& d : got) EXPECT_EQ(d.bytes, kStatusQueryWire);
}

TEST_F(SnmpRequests, NothingIsSentToUnresolvedNamesOrBroadcast) {
  StartPrinter();
  for (const char* addr : {"3dprinter", "255.255.255.255", "0.0.0.0"}) {
    unsigned char buf[1024] = {};
    int nrecv = 77;
    mtest::StderrCapture err;
    EXPECT_FALSE(QueryStatusToNet(addr, buf, sizeof(buf), &nrecv)) << addr;
    EXPECT_EQ(nrecv, 77) << "no receive attempt was made";
    EXPECT_EQ(err.Text().find("sendto success"), std::string::npos) << err.Text();
    EXPECT_NE(err.Text().find("nothing sent"), std::string::npos) << err.Text();
  }
  {
    mtest::StderrCapture err;
    SenddummyCmdToNet("255.255.255.255");
    EXPECT_NE(err.Text().find("broadcast address refused"), std::string::npos) << err.Text();
  }
  {
    int nrecv = 0;
    unsigned char buf[16];
    mtest::StderrCapture err;
    EXPECT_FALSE(QueryStatusToNet(nullptr, buf, sizeof(buf), &nrecv));
    SenddummyCmdToNet(nullptr);
    EXPECT_EQ(err.Text(), "->SendSNMPCmd()\ncancelthread::QueryStatusToNet::pIPaddr is null\n"
                          "hostname == NULL.\n");
  }
  EXPECT_EQ(printer_.Count(), 0u);
}

TEST_F(SnmpRequests, WakeUpWaitsForOneReplyAndNeverRetriesAfterASend) {
  // Any address family: the first answer for localhost is ::1 or
  // 127.0.0.1, as /etc/hosts has it; the fake printer answers on both.
  auto answer = mtest::FakePrinter::Answer::Reply(mtest::FakePrinter::WakeUpAnswer());
  printer_.Script({answer, answer});
  StartPrinter();
  if (!printer_.Ipv6()) GTEST_SKIP() << "no IPv6 loopback in the private network";
  for (const char* addr : {"127.0.0.1", "::1"}) {
    auto t0 = Clock::now();
    SenddummyCmdToNet(addr);
    EXPECT_LT(Since(t0), 1.0) << addr;  // answered: no wait
  }
  auto t0 = Clock::now();
  SenddummyCmdToNet("localhost");  // silent now: one 2-second wait
  double took = Since(t0);
  EXPECT_GT(took, 1.8);
  EXPECT_LT(took, 3.0);
  ASSERT_TRUE(printer_.WaitForCount(3, 1));
  auto got = printer_.Received();
  ASSERT_EQ(got.size(), 3u);
  for (const auto& d : got) EXPECT_EQ(d.bytes, kWakeUpWire) << mtest::HexDiff(kWakeUpWire, d.bytes);
}

TEST_F(SnmpRequests, WakeUpToUnknownHost) {
  StartPrinter();
  mtest::StderrCapture err;
  SenddummyCmdToNet("no-such-printer.invalid");
  EXPECT_EQ(err.Text().rfind("getaddrinfo fail return ", 0), 0u) << err.Text();
  EXPECT_EQ(printer_.Count(), 0u);
}

// ---- USB ------------------------------------------------------------------------

class UsbRequests : public ::testing::Test {
 protected:
  void TearDown() override { mtest::FakeUsb::Get().Uninstall(); }
  mtest::FakeUsb& bus_ = mtest::FakeUsb::Get();
};

TEST_F(UsbRequests, FindsThePrinterBySerialNumber) {
  bus_.Install({{"XYZ999"}, {"ABC123"}, {"ABC123"}});
  mtest::StderrCapture err;
  libusb_device_handle* h = FindUsbDeviceHandle("usb://Maker/Model?serial=ABC123");
  EXPECT_EQ(h, bus_.HandleOf(1));  // the first match in list order
  EXPECT_EQ(err.Text(), "libusb find device handle\n");
  bus_.With([](mtest::FakeUsb& b) {
    EXPECT_EQ(b.open_, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(b.inits, 1);
    EXPECT_EQ(b.exits, 0);  // the caller shuts down
    return 0;
  });
  UsbCloseAndExit(h);
  bus_.With([](mtest::FakeUsb& b) {
    EXPECT_EQ(b.open_, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(b.exits, 1);
    return 0;
  });
}

TEST_F(UsbRequests, DevicesThatCannotBeChosen) {
  mtest::FakeUsbDevice no_serial{"ABC123", false};
  mtest::FakeUsbDevice bad_desc{"ABC123", true, true};
  mtest::FakeUsbDevice no_open{"ABC123", true, false, true};
  mtest::FakeUsbDevice bad_string{"ABC123", true, false, false, true};
  bus_.Install({no_serial, bad_desc, no_open, bad_string, {"OTHER"}});
  mtest::StderrCapture err;
  EXPECT_EQ(FindUsbDeviceHandle("usb://Maker/Model?serial=ABC123"), nullptr);
  EXPECT_EQ(err.Text(), "psrelay::SenddummyCmdToUsb: libusb_get_device_descriptor=-1\n");
  bus_.With([](mtest::FakeUsb& b) {
    for (bool open : b.open_) EXPECT_FALSE(open);
    EXPECT_EQ(b.inits, b.exits);  // nothing found: libusb shut down again
    return 0;
  });
}

TEST_F(UsbRequests, EmptySerialMatchesAnyUri) {
  bus_.Install({{""}});
  mtest::StderrCapture err;
  libusb_device_handle* h = FindUsbDeviceHandle("usb://Other/Printer?serial=Q");
  EXPECT_EQ(h, bus_.HandleOf(0));
  UsbCloseAndExit(h);
}

TEST_F(UsbRequests, LibraryAndListFailures) {
  bus_.Install({{"ABC123"}});
  bus_.With([](mtest::FakeUsb& b) { return b.init_rc = LIBUSB_ERROR_NO_MEM; });
  {
    mtest::StderrCapture err;
    EXPECT_EQ(FindUsbDeviceHandle("usb://x?serial=ABC123"), nullptr);
    EXPECT_EQ(err.Text(), "psrelay::SenddummyCmdToUsb: Unable to initialize USB acc via libusb,libusb error "
                          "-11\n");
  }
  bus_.Install({});
  {
    mtest::StderrCapture err;
    EXPECT_EQ(FindUsbDeviceHandle("usb://x?serial=ABC123"), nullptr);
    EXPECT_EQ(err.Text(), "psrelay::SenddummyCmdToUsb: get device list failed\n");
  }
  bus_.Install({{"ABC123"}});
  bus_.With([](mtest::FakeUsb& b) { return b.list_fails = true; });
  {
    mtest::StderrCapture err;
    EXPECT_EQ(FindUsbDeviceHandle("usb://x?serial=ABC123"), nullptr);
    EXPECT_EQ(err.Text(), "psrelay::SenddummyCmdToUsb: get device list failed\n");
  }
}

TEST_F(UsbRequests, StatusRequest) {
  bus_.Install({{"ABC123"}}, {0x86, LIBUSB_ERROR_TIMEOUT});
  unsigned char buf[1024] = {};
  int n = -5;
  EXPECT_FALSE(QueryStatusToUsb(nullptr, buf, sizeof(buf), &n));
  EXPECT_EQ(n, -5);
  {
    mtest::StderrCapture err;
    EXPECT_TRUE(QueryStatusToUsb(bus_.HandleOf(0), buf, sizeof(buf), &n));
    EXPECT_EQ(n, 16);
    EXPECT_EQ(buf[0], 0x86);
    EXPECT_EQ(err.Text(), "\n");
  }
  bus_.With([](mtest::FakeUsb& b) {
    // Vendor request to the interface, device to host, 2 s.
    EXPECT_EQ(b.last_request, (std::vector<int>{0xC1, 0, 0, 0, 1024, 2000}));
    return 0;
  });
  {
    mtest::StderrCapture err;
    EXPECT_FALSE(QueryStatusToUsb(bus_.HandleOf(0), buf, sizeof(buf), &n));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(err.Text(), "libusb_control_transfer fail (code=-7)\n");
  }
}

}  // namespace
