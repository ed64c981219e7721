// SPDX-License-Identifier: Apache-2.0
// Finding the printer: the decoding rules of the queue lookup, the host of
// a device URI, the numeric address of a host name, the queue lookup
// against a private CUPS scheduler, and that no filter run of the tests asks
// the machine's own scheduler.
#include <gtest/gtest.h>

#include <cups/cups.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "common/io.h"
#include "faults/jobs.h"
#include "harness/harness.h"
#include "harness/printer_link.h"
#include "harness/scheduler.h"
#include "monitor/monitor-private.h"
#include "monitor_util.h"

namespace {

std::string Decode(std::string text) {
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  return std::string(urldecode(buf.data()));
}

TEST(Decoding, Hex2decTakesBothCasesAndNothingElse) {
  EXPECT_EQ(hex2dec('0'), 0);
  EXPECT_EQ(hex2dec('9'), 9);
  EXPECT_EQ(hex2dec('a'), 10);
  EXPECT_EQ(hex2dec('A'), 10);
  EXPECT_EQ(hex2dec('f'), 15);
  EXPECT_EQ(hex2dec('F'), 15);
  for (int c : {int{'g'}, int{'G'}, int{' '}, int{'/'}, int{':'}, int{'@'}, 0x80, 0xE9, 0xFF}) {
    EXPECT_EQ(hex2dec(static_cast<signed char>(c)), -1) << c;
  }
}

TEST(Decoding, UrldecodeRules) {
  EXPECT_EQ(Decode("a%41b"), "aAb");
  EXPECT_EQ(Decode("%zz"), "\xEF");
  EXPECT_EQ(Decode("%4z"), "?");
  EXPECT_EQ(Decode("%z4"), "\xF4");
  EXPECT_EQ(Decode("x%00y"), "x");
  EXPECT_EQ(Decode("a%2Db%2db"), "a-b-b");
  EXPECT_EQ(Decode("plain/text"), "plain/text");
  EXPECT_EQ(Decode(""), "");
}

TEST(Decoding, UrldecodeNeverReadsPastTheText) {
  // A '%' among the last two characters stays as it is. The bytes after the
  // terminator are digits: reading them would change the result.
  for (const char* text : {"ab%", "ab%4", "%", "%4"}) {
    char buf[16];
    memset(buf, '4', sizeof(buf));
    memcpy(buf, text, strlen(text) + 1);
    EXPECT_STREQ(urldecode(buf), text) << text;
  }
}

TEST(Decoding, StrToLowerIsBoundedAndTerminated) {
  char dst[8];
  memset(dst, 'Z', sizeof(dst));
  strToLower("ABC/dEf", dst, sizeof(dst));
  EXPECT_STREQ(dst, "abc/def");
  memset(dst, 'Z', sizeof(dst));
  strToLower("ABCDEFGHIJ", dst, 4);
  EXPECT_STREQ(dst, "abc");
  EXPECT_EQ(dst[4], 'Z');
  strToLower(nullptr, dst, sizeof(dst));  // nothing happens
  strToLower("X", nullptr, 4);
}

// ---- Host from URI ----------------------------------------------------------

TEST(HostFromUri, PlainUriGivesHostAndPort) {
  char host[1024] = {};
  int port = 0;
  mtest::StderrCapture err;
  // 3: a URI without a resource is a warning, not a failure.
  EXPECT_TRUE(getPrinterHostNameFromUri("socket://192.168.1.20:9100", host, sizeof(host), &port));
  EXPECT_STREQ(host, "192.168.1.20");
  EXPECT_EQ(port, 9100);
  EXPECT_NE(err.Text().find("<dnssd> resolvedURI : socket://192.168.1.20:9100\n"), std::string::npos);
  EXPECT_NE(err.Text().find("<dnssd> httpSeparateURI success.cupsret=3, host=192.168.1.20\n"),
            std::string::npos)
      << err.Text();
}

TEST(HostFromUri, HostIsAppendedToWhatTheBufferHolds) {
  char host[64] = "pre-";
  int port = 0;
  mtest::StderrCapture err;
  EXPECT_TRUE(getPrinterHostNameFromDNSSDUri("ipp://printer1:631/ipp/print", host, sizeof(host), &port));
  EXPECT_STREQ(host, "pre-printer1");
  EXPECT_NE(err.Text().find("<dnssd> httpSeparateURI success.cupsret=0, host=printer1, port=631\n"),
            std::string::npos);
}

TEST(HostFromUri, HostThatDoesNotFitIsNotCut) {
  char host[12] = "abc";
  int port = 0;
  mtest::StderrCapture err;
  EXPECT_FALSE(getPrinterHostNameFromUri("socket://printer.example:9100", host, sizeof(host), &port));
  EXPECT_STREQ(host, "abc");
}

TEST(HostFromUri, BadUriFailsAndLeavesTheHost) {
  char host[64] = {};
  int port = 0;
  mtest::StderrCapture err;
  EXPECT_FALSE(getPrinterHostNameFromUri("no uri at all", host, sizeof(host), &port));
  EXPECT_STREQ(host, "");
  std::string text = err.Text();
  EXPECT_TRUE(text.find("<dnssd> httpSeparateURI fail. cupsret=") != std::string::npos ||
              text.find("_httpResolveURI fail.\n") != std::string::npos)
      << text;
}

// ---- Numeric address -----------------------------------------------------------

TEST(GetIpByHostname, LocalhostAndUnknownName) {
  MTEST_REQUIRE_PRIVATE_NETWORK();  // a failed lookup may ask a DNS server
  char ip[256] = "unchanged";
  EXPECT_EQ(GetIpByHostname("localhost", ip, sizeof(ip)), 0);
  EXPECT_STREQ(ip, "127.0.0.1");

  strcpy(ip, "unchanged");
  mtest::StderrCapture err;
  EXPECT_EQ(GetIpByHostname("no-such-printer.invalid", ip, sizeof(ip)), 1);
  EXPECT_STREQ(ip, "unchanged");
  EXPECT_EQ(err.Text(), " gethostbyname error for host:no-such-printer.invalid\n");
}

// ---- Queue lookup against a private scheduler ------------------------------------

struct Lookup {
  std::string uri, model;
};

// libcups reads CUPS_SERVER and the lpoptions location once per thread, so
// every lookup runs on a fresh thread.
Lookup LookUp(const char* queue, const std::string& start = "") {
  Lookup result;
  std::thread([&] {
    char uri[256] = {};
    char model[256] = {};
    mirelo::CopyText(uri, sizeof(uri), start.c_str());
    mirelo::CopyText(model, sizeof(model), start.c_str());
    EXPECT_EQ(getPrinter_optiopns(queue, uri, sizeof(uri), model, sizeof(model)), 0);
    result = {uri, model};
  }).join();
  return result;
}

class QueueLookup : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!mtest::EnterPrivateNetwork(&why)) {
      skip_ = why;
      return;
    }
    sched_ = new mtest::CupsScheduler;
    if (!sched_->Start(&why)) {
      skip_ = "no private CUPS scheduler: " + why;
      return;
    }
    std::string ppd = mtest::FixturePpd("finch");
    std::string err;
    bool ok = sched_->AddQueue("Office_PS", "socket://127.0.0.1:9100", ppd, &err) &&
              sched_->AddQueue("a-b", "socket://127.0.0.2:9100", ppd, &err) &&
              sched_->AddQueue("%4Aob", "socket://127.0.0.3:9100", ppd, &err) &&
              sched_->AddQueue("Raw_Q", "usb://Mirelo/F4200?serial=ABC123", "", &err) &&
              sched_->AddQueue("LongUri", "socket://127.0.0.1:9100/" + std::string(300, 'x'), ppd, &err);
    if (!ok) {
      skip_ = "lpadmin failed: " + err;
      return;
    }
    // An instance that, were it examined, would win as the last match.
    sched_->AddInstance("Office_PS/duplex", "device-uri=socket://instance.invalid:9100 "
                                            "printer-make-and-model=Instance");
    sched_->UseFromThisProcess();
  }
  static void TearDownTestSuite() {
    delete sched_;
    sched_ = nullptr;
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }
  static inline mtest::CupsScheduler* sched_ = nullptr;
  static inline std::string skip_;
};

TEST_F(QueueLookup, MatchesBaseQueueCaseInsensitivelyAndSkipsInstances) {
  // The instance is there, with its own device URI.
  std::thread([] {
    cups_dest_t* dests = nullptr;
    int n = cupsGetDests(&dests);
    cups_dest_t* inst = cupsGetDest("Office_PS", "duplex", n, dests);
    ASSERT_NE(inst, nullptr);
    EXPECT_STREQ(cupsGetOption("device-uri", inst->num_options, inst->options),
                 "socket://instance.invalid:9100");
    cupsFreeDests(n, dests);
  }).join();

  Lookup l = LookUp("Office_PS");
  EXPECT_EQ(l.uri, "socket://127.0.0.1:9100");
  EXPECT_EQ(l.model, "Mirelo F4200DN Series PS, 1.0");
  EXPECT_EQ(LookUp("OFFICE_ps").uri, "socket://127.0.0.1:9100");
  // The instance name is no queue of its own.
  EXPECT_EQ(LookUp("Office_PS/duplex").uri, "");
  EXPECT_EQ(LookUp("duplex").uri, "");
}

TEST_F(QueueLookup, PercentEncodedNames) {
  EXPECT_EQ(LookUp("A-B").uri, "socket://127.0.0.2:9100");
  // The scheduler sends this name as %254Aob: decoded after lower-casing
  // it reads %4aob, the lower-cased name.
  EXPECT_EQ(LookUp("%4Aob").uri, "socket://127.0.0.3:9100");
  EXPECT_EQ(LookUp("Job").uri, "");
}

TEST_F(QueueLookup, RawQueueAndUnknownQueue) {
  Lookup l = LookUp("raw_q");
  EXPECT_EQ(l.uri, "usb://Mirelo/F4200?serial=ABC123");
  EXPECT_EQ(l.model, "Local Raw Printer");
  // No match: the caller's buffers keep what they held.
  l = LookUp("nope", "kept");
  EXPECT_EQ(l.uri, "kept");
  EXPECT_EQ(l.model, "kept");
}

TEST_F(QueueLookup, DeviceUriTooLongForTheBufferCountsAsAbsent) {
  Lookup l = LookUp("LongUri", "kept");
  EXPECT_EQ(l.uri, "");
  EXPECT_EQ(l.model, "Mirelo F4200DN Series PS, 1.0");
}

TEST_F(QueueLookup, AbsentArgumentsLeaveOutputsUntouched) {
  std::thread([] {
    char uri[256] = "kept";
    char model[256] = "kept";
    EXPECT_EQ(getPrinter_optiopns(nullptr, uri, sizeof(uri), model, sizeof(model)), 0);
    EXPECT_EQ(getPrinter_optiopns("Office_PS", nullptr, 0, model, sizeof(model)), 0);
    EXPECT_EQ(getPrinter_optiopns("Office_PS", uri, sizeof(uri), nullptr, 0), 0);
    EXPECT_STREQ(uri, "kept");
    EXPECT_STREQ(model, "kept");
  }).join();
}

// ---- The machine's own scheduler ------------------------------------------------

// A listener on /run/cups/cups.sock, where libcups finds the machine's
// scheduler when nothing names another, in a mount namespace of this test
// alone (a tmpfs over /run); it counts the connections and closes each.
class SchedulerTripwire {
 public:
  bool Plant(std::string* why) {
    if (geteuid() != 0) return *why = "not root: no mount namespace of its own", false;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, "mode=755") != 0 || mkdir("/run/cups", 0755) != 0)
      return *why = std::string("no private /run: ") + strerror(errno), false;
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    mirelo::CopyText(addr.sun_path, sizeof(addr.sun_path), "/run/cups/cups.sock");
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd_, 16) != 0)
      return *why = std::string("cannot listen on /run/cups/cups.sock: ") + strerror(errno), false;
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) continue;
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        ++connections_;
        close(c);
      }
    });
    return true;
  }
  ~SchedulerTripwire() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  int Connections() const { return connections_.load(); }

 private:
  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
};

TEST(MachineScheduler, NoFilterRunOfTheTestsAsksIt) {
  MTEST_REQUIRE_PRIVATE_NETWORK();
  SchedulerTripwire wire;
  std::string why;
  if (!wire.Plant(&why)) GTEST_SKIP() << why;
  // The wire is live: a client told of no scheduler asks this socket, and
  // so does the filter's queue lookup when pointed at it.
  {
    mtest::ScopedEnv none("CUPS_SERVER", std::nullopt);
    mtest::Run({"lpstat", "-r"});
  }
  // The wire counts on a thread of its own: its count may come a moment
  // after the client has ended.
  for (int i = 0; i < 100 && wire.Connections() < 1; ++i) usleep(50000);
  EXPECT_EQ(wire.Connections(), 1);
  mtest::FilterJob pointed = mtest::FinchJob(mtest::FinchWrap("%!PS\nshowpage\n"));
  pointed.env["CUPS_SERVER"] = "/run/cups/cups.sock";
  mtest::RunFilter(pointed);
  for (int i = 0; i < 100 && wire.Connections() < 2; ++i) usleep(50000);
  EXPECT_GT(wire.Connections(), 1) << "the finch road no longer looks its queue up";

  // The harness's filter runs of every road, and the lookup from a test
  // program, ask nothing.
  int before = wire.Connections();
  std::string ps = "%!PS-Adobe-3.0\n%%Pages: 1\n%%Page: 1 1\nshowpage\n%%EOF\n";
  for (mtest::FilterJob job : {mtest::PlainJob(mtest::WrapInPjl(ps)), mtest::FinchJob(mtest::FinchWrap(ps)),
                               mtest::jobs::CollatedJob(mtest::FinchWrap(ps), "2"),
                               mtest::jobs::HeronJob(mtest::ReadFile(mtest::MakePdf(1)))}) {
    mtest::FilterResult r = mtest::RunFilter(job);
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
  LookUp("Office_PS");
  EXPECT_EQ(wire.Connections(), before);
}

}  // namespace
