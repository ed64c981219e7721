// SPDX-License-Identifier: Apache-2.0
// The private network namespace and the fake printer. See printer_link.h.
#include "harness/printer_link.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mtest {

namespace {

// Brings the loopback interface of the current namespace up.
bool LoopbackUp(std::string* why) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return false;
  }
  struct ifreq ifr = {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  if (ok && !(ifr.ifr_flags & IFF_UP)) {
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  }
  if (!ok) *why = std::string("cannot bring lo up: ") + strerror(errno);
  close(fd);
  return ok;
}

}  // namespace

bool EnterPrivateNetwork(std::string* why) {
  static std::mutex mu;
  static int state = 0;  // 0 not tried, 1 in, -1 refused
  static std::string reason;
  std::lock_guard<std::mutex> lock(mu);
  if (state == 0) {
    if (unshare(CLONE_NEWNET) != 0) {
      reason = std::string("no private network namespace (unshare(CLONE_NEWNET): ") + strerror(errno) +
               (geteuid() != 0 ? "; the test is not run as root)" : ")");
      state = -1;
    } else if (!LoopbackUp(&reason)) {
      state = -1;
    } else {
      state = 1;
    }
  }
  if (state < 0 && why) *why = reason;
  return state > 0;
}

void FakePrinter::Respond(std::function<Answer(const std::string&)> responder) {
  std::lock_guard<std::mutex> lock(mu_);
  responder_ = std::move(responder);
}

void FakePrinter::Script(std::vector<Answer> answers, Answer then) {
  std::lock_guard<std::mutex> lock(mu_);
  script_ = std::move(answers);
  then_ = std::move(then);
}

bool FakePrinter::Start(std::string* why, int port) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) {
    if (why) *why = std::string("socket: ") + strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (why) *why = "cannot bind 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno);
    close(fd_);
    fd_ = -1;
    return false;
  }
  fd6_ = socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd6_ >= 0) {
    setsockopt(fd6_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    setsockopt(fd6_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    sockaddr_in6 addr6 = {};
    addr6.sin6_family = AF_INET6;
    addr6.sin6_port = htons(static_cast<uint16_t>(port));
    addr6.sin6_addr = in6addr_loopback;
    if (bind(fd6_, reinterpret_cast<sockaddr*>(&addr6), sizeof(addr6)) != 0) {
      close(fd6_);  // no IPv6 in this namespace: 127.0.0.1 alone
      fd6_ = -1;
    }
  }
  t0_ = std::chrono::steady_clock::now();
  stop_.store(false);
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void FakePrinter::Stop() {
  if (thread_.joinable()) {
    stop_.store(true);
    thread_.join();
  }
  for (int* fd : {&fd_, &fd6_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void FakePrinter::Serve() {
  for (;;) {
    if (stop_.load()) return;
    struct pollfd pfd[2] = {{fd_, POLLIN, 0}, {fd6_, POLLIN, 0}};
    if (poll(pfd, fd6_ >= 0 ? 2 : 1, 20) <= 0) continue;
    int fd = (pfd[0].revents & POLLIN) ? fd_ : fd6_;
    unsigned char buf[65536];
    sockaddr_storage from = {};
    socklen_t from_len = sizeof(from);
    ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) continue;
    double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(mu_);
      size_t index = received_.size();
      received_.push_back({std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(n)), at});
      answer = index < script_.size() ? script_[index]
               : responder_           ? responder_(received_.back().bytes)
                                      : then_;
    }
    if (answer.reply) {
      int out = answer.from_elsewhere ? socket(from.ss_family, SOCK_DGRAM, 0) : fd;
      sendto(out, answer.bytes.data(), answer.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
      if (out != fd && out >= 0) close(out);
    }
  }
}

std::vector<Datagram> FakePrinter::Received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

size_t FakePrinter::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_.size();
}

bool FakePrinter::WaitForCount(size_t n, double timeout_seconds) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  while (Count() < n) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string FakePrinter::StatusReply(size_t len, unsigned char status, const std::string& owner) {
  std::string r(len, '\0');
  // A GetResponse-looking head; the monitor reads only the tail.
  static const unsigned char kHead[] = {0x30, 0x82, 0x00, 0x00, 0x02, 0x01, 0x00, 0x04,
                                        0x06, 'v',  'o',  'r',  'p',  'a',  'l',  0xA2};
  for (size_t i = 0; i < sizeof(kHead) && i + 60 < len; ++i) r[i] = static_cast<char>(kHead[i]);
  if (len >= 60) {
    r[len - 60] = static_cast<char>(status);
    r[len - 59] = 0x11;
    r[len - 58] = 0x22;
    r[len - 57] = 0x33;
    r.replace(len - 56, std::min<size_t>(owner.size(), 56), owner.substr(0, 56));
  }
  return r;
}

std::string FakePrinter::ShortReply(size_t len, const std::string& owner) {
  std::string r(len, static_cast<char>(0x86));
  if (owner.size() < len) r.replace(len - owner.size() - 1, owner.size() + 1, owner + '\0');
  return r;
}

std::string FakePrinter::WakeUpAnswer() {
  static const unsigned char kAnswer[] = {0x30, 0x10, 0x02, 0x01, 0x00, 0x04, 0x06, 'v',  'o',
                                          'r',  'p',  'a',  'l',  0xA2, 0x03, 0x02, 0x01, 0x00};
  return std::string(reinterpret_cast<const char*>(kAnswer), sizeof(kAnswer));
}

namespace {

// BER: a length.
std::string BerLength(size_t n) {
  if (n < 128) return std::string(1, static_cast<char>(n));
  if (n < 256) return std::string("\x81") + static_cast<char>(n);
  return std::string("\x82") + static_cast<char>(n >> 8) + static_cast<char>(n & 0xff);
}

std::string Ber(unsigned char tag, const std::string& content) {
  return static_cast<char>(tag) + BerLength(content.size()) + content;
}

std::string BerInteger(long v) {
  std::string b;
  do {
    b.insert(b.begin(), static_cast<char>(v & 0xff));
    v >>= 8;
  } while (v != 0 && v != -1);
  if (v == 0 && (b[0] & 0x80)) b.insert(b.begin(), '\0');
  if (v == -1 && !(b[0] & 0x80)) b.insert(b.begin(), '\xff');
  return Ber(0x02, b);
}

std::string BerOid(const FakeMib::Oid& oid) {
  std::string b(1, static_cast<char>(oid.size() >= 2 ? oid[0] * 40 + oid[1] : 0));
  for (size_t i = 2; i < oid.size(); ++i) {
    std::string part;
    unsigned v = static_cast<unsigned>(oid[i]);
    do {
      part.insert(part.begin(), static_cast<char>((v & 0x7f) | (part.empty() ? 0 : 0x80)));
      v >>= 7;
    } while (v);
    b += part;
  }
  return Ber(0x06, b);
}

// A BER reader over one datagram; every read checks the end.
struct BerReader {
  const std::string& s;
  size_t at = 0;
  bool ok = true;
  // Reads a tag and length; returns the content's end, or 0 on an error.
  size_t Enter(unsigned char tag) {
    if (at + 2 > s.size() || static_cast<unsigned char>(s[at]) != tag) return ok = false, 0;
    size_t len = static_cast<unsigned char>(s[at + 1]);
    at += 2;
    if (len & 0x80) {
      size_t bytes = len & 0x7f;
      if (bytes > 2 || at + bytes > s.size()) return ok = false, 0;
      len = 0;
      for (size_t i = 0; i < bytes; ++i) len = len << 8 | static_cast<unsigned char>(s[at++]);
    }
    if (at + len > s.size()) return ok = false, 0;
    return at + len;
  }
  std::string Raw(unsigned char tag) {
    size_t end = Enter(tag);
    if (!ok) return "";
    std::string r = s.substr(at, end - at);
    at = end;
    return r;
  }
  long Integer() {
    std::string b = Raw(0x02);
    long v = !b.empty() && (b[0] & 0x80) ? -1 : 0;
    for (char c : b) v = v << 8 | static_cast<unsigned char>(c);
    return v;
  }
  FakeMib::Oid Oid() {
    std::string b = Raw(0x06);
    FakeMib::Oid oid;
    if (b.empty()) return oid;
    oid = {static_cast<unsigned char>(b[0]) / 40, static_cast<unsigned char>(b[0]) % 40};
    unsigned v = 0;
    for (size_t i = 1; i < b.size(); ++i) {
      v = v << 7 | (static_cast<unsigned char>(b[i]) & 0x7f);
      if (!(b[i] & 0x80)) {
        oid.push_back(static_cast<int>(v));
        v = 0;
      }
    }
    return oid;
  }
};

}  // namespace

void FakeMib::SetInteger(const Oid& oid, int value) { values_[oid] = BerInteger(value); }

void FakeMib::SetText(const Oid& oid, const std::string& text) { values_[oid] = Ber(0x04, text); }

FakeMib FakeMib::Laser(const std::string& device_id, int toner_percent, int error_state) {
  FakeMib m;
  const Oid printer_mib = {1, 3, 6, 1, 2, 1, 43};
  auto at = [&](std::vector<int> tail) {
    Oid o = printer_mib;
    o.insert(o.end(), tail.begin(), tail.end());
    return o;
  };
  m.SetText({1, 3, 6, 1, 4, 1, 2699, 1, 2, 1, 2, 1, 1, 3, 1}, device_id);  // ppmPrinterIEEE1284DeviceId
  m.SetInteger(at({5, 1, 1, 2, 1}), 1);                                    // prtGeneralCurrentLocalization
  m.SetInteger(at({7, 1, 1, 4, 1, 1}), 106);  // prtLocalizationCharacterSet: UTF-8
  m.SetInteger(at({11, 1, 1, 3, 1, 1}), 1);   // prtMarkerSuppliesColorantIndex
  m.SetInteger(at({11, 1, 1, 4, 1, 1}), 3);   // prtMarkerSuppliesClass: consumed
  m.SetInteger(at({11, 1, 1, 5, 1, 1}), 3);   // prtMarkerSuppliesType: toner
  m.SetText(at({11, 1, 1, 6, 1, 1}), "Black Toner");
  m.SetInteger(at({11, 1, 1, 7, 1, 1}), 19);   // prtMarkerSuppliesSupplyUnit: percent
  m.SetInteger(at({11, 1, 1, 8, 1, 1}), 100);  // prtMarkerSuppliesMaxCapacity
  m.SetInteger(at({11, 1, 1, 9, 1, 1}), toner_percent);
  m.SetText(at({12, 1, 1, 4, 1, 1}), "black");  // prtMarkerColorantValue
  std::string state(2, '\0');
  state[0] = static_cast<char>(error_state >> 8);
  state[1] = static_cast<char>(error_state & 0xff);
  m.SetText({1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 2}, state);     // hrPrinterDetectedErrorState, as asked
  m.SetText({1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 2, 1}, state);  // ... and its instance
  return m;
}

FakePrinter::Answer FakeMib::Answer(const std::string& request) const {
  BerReader r{request};
  r.Enter(0x30);
  long version = r.Integer();
  std::string community = r.Raw(0x04);
  if (!r.ok || version != 0 || r.at >= request.size()) return FakePrinter::Answer::Silence();
  unsigned char pdu = static_cast<unsigned char>(request[r.at]);
  if (pdu != 0xA0 && pdu != 0xA1) return FakePrinter::Answer::Silence();
  r.Enter(pdu);
  long request_id = r.Integer();
  r.Integer();
  r.Integer();
  r.Enter(0x30);
  r.Enter(0x30);
  Oid oid = r.Oid();
  if (!r.ok) return FakePrinter::Answer::Silence();

  std::string value = Ber(0x05, "");
  int error = 0;
  auto it = pdu == 0xA0 ? values_.find(oid) : values_.upper_bound(oid);
  if (it == values_.end()) {
    error = 2;  // noSuchName
  } else {
    oid = it->first;
    value = it->second;
  }
  std::string varbind = Ber(0x30, Ber(0x30, BerOid(oid) + value));
  std::string body = BerInteger(request_id) + BerInteger(error) + BerInteger(error ? 1 : 0) + varbind;
  return FakePrinter::Answer::Reply(Ber(0x30, BerInteger(0) + Ber(0x04, community) + Ber(0xA2, body)));
}

std::function<FakePrinter::Answer(const std::string&)> FakeMib::Responder() const {
  FakeMib copy = *this;
  return [copy](const std::string& request) { return copy.Answer(request); };
}

}  // namespace mtest
