// SPDX-License-Identifier: Apache-2.0
// Test support for the printer link: a private network namespace for the
// test process, and a fake printer whose SNMP agent listens on UDP port 161
// of 127.0.0.1 inside it, records every datagram and answers per scenario.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mtest {

// Moves the test process into a network namespace of its own, in which only
// the loopback interface exists and is up; nothing sent from the test can
// leave the machine. Call it from the main thread before starting threads
// (threads and child processes made later inherit the namespace). Idempotent.
// Returns false with the reason when it cannot be had (not root, no
// permission to make namespaces).
bool EnterPrivateNetwork(std::string* why);

// Skips the current test, with the reason, when no private network can be had.
#define MTEST_REQUIRE_PRIVATE_NETWORK()                                         \
  do {                                                                          \
    std::string mtest_why_;                                                     \
    if (!::mtest::EnterPrivateNetwork(&mtest_why_)) GTEST_SKIP() << mtest_why_; \
  } while (0)

// One datagram received by the fake printer.
struct Datagram {
  std::string bytes;
  double at = 0;  // seconds since the fake printer started
};

class FakePrinter {
 public:
  // What the agent does with one datagram.
  struct Answer {
    bool reply = false;
    std::string bytes;
    bool from_elsewhere = false;  // sent from another port, as another host would
    static Answer Reply(const std::string& bytes) { return {true, bytes}; }
    static Answer Silence() { return {false, ""}; }
    static Answer ReplyFromElsewhere(const std::string& bytes) { return {true, bytes, true}; }
  };

  FakePrinter() = default;
  ~FakePrinter() { Stop(); }
  FakePrinter(const FakePrinter&) = delete;
  FakePrinter& operator=(const FakePrinter&) = delete;

  // Answers for the datagrams in order; once they run out, `then` answers
  // every further one. Call before Start() or between datagrams.
  void Script(std::vector<Answer> answers, Answer then = Answer::Silence());
  // Answers every datagram (past the script) with responder(datagram).
  void Respond(std::function<Answer(const std::string&)> responder);

  // Binds UDP 127.0.0.1:port and, where the namespace has IPv6, [::1]:port
  // (in the caller's network namespace: a name such as localhost may resolve
  // to either) and starts answering on both. False with the reason when the
  // IPv4 port cannot be had.
  bool Start(std::string* why, int port = 161);
  // Whether [::1] is answered too.
  bool Ipv6() const { return fd6_ >= 0; }
  void Stop();

  std::vector<Datagram> Received() const;
  size_t Count() const;
  // Waits until at least n datagrams arrived; false after timeout seconds.
  bool WaitForCount(size_t n, double timeout_seconds) const;

  // A status reply of len bytes (len >= 60): the status byte at len - 60,
  // the owner text at len - 56 (zero-terminated when there is room), the
  // rest filled with a BER-looking head and zero bytes.
  static std::string StatusReply(size_t len, unsigned char status, const std::string& owner);
  // A reply of len bytes (meant below 60) that would read as a cancel of
  // owner's job anywhere one looked: 0x86 bytes, the owner text at the end.
  static std::string ShortReply(size_t len, const std::string& owner);
  // The agent's answer to a wake-up (a small GetResponse).
  static std::string WakeUpAnswer();

 private:
  void Serve();

  int fd_ = -1;
  int fd6_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<Datagram> received_;
  std::vector<Answer> script_;
  Answer then_;
  std::function<Answer(const std::string&)> responder_;
  std::chrono::steady_clock::time_point t0_;
};

// The Printer MIB of a fake printer: an SNMPv1 agent's table of values that
// answers Get and GetNext requests (FakePrinter::Respond(mib.Responder())).
class FakeMib {
 public:
  using Oid = std::vector<int>;
  void SetInteger(const Oid& oid, int value);
  void SetText(const Oid& oid, const std::string& text);
  // A mono laser printer: the device ID, one toner supply at level percent
  // ("Black Toner"), and hrPrinterDetectedErrorState (its two bytes, RFC
  // 2790: 0x4000 no paper, 0x0800 door open).
  static FakeMib Laser(const std::string& device_id, int toner_percent, int error_state = 0);
  // The answer to one request: a GetResponse with the value (or the next one
  // for GetNext; noSuchName past the end); silence for anything else.
  FakePrinter::Answer Answer(const std::string& request) const;
  std::function<FakePrinter::Answer(const std::string&)> Responder() const;

 private:
  std::map<Oid, std::string> values_;  // BER-encoded values
};

}  // namespace mtest
