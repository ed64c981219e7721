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
      reason = std::string("no private network namespace (unshare(CLONE_NEWNET): ") +
               strerror(errno) + (geteuid() != 0 ? "; the test is not run as root)" : ")");
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
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

void FakePrinter::Serve() {
  for (;;) {
    if (stop_.load()) return;
    struct pollfd pfd = {fd_, POLLIN, 0};
    if (poll(&pfd, 1, 20) <= 0) continue;
    unsigned char buf[65536];
    sockaddr_storage from = {};
    socklen_t from_len = sizeof(from);
    ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) continue;
    double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(mu_);
      size_t index = received_.size();
      received_.push_back({std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(n)), at});
      answer = index < script_.size() ? script_[index] : then_;
    }
    if (answer.reply) {
      int out = answer.from_elsewhere ? socket(AF_INET, SOCK_DGRAM, 0) : fd_;
      sendto(out, answer.bytes.data(), answer.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from),
             from_len);
      if (out != fd_ && out >= 0) close(out);
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
  static const unsigned char kHead[] = {0x30, 0x82, 0x00, 0x00, 0x02, 0x01, 0x00, 0x04, 0x06,
                                        'v',  'o',  'r',  'p',  'a',  'l',  0xA2};
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
  static const unsigned char kAnswer[] = {0x30, 0x10, 0x02, 0x01, 0x00, 0x04, 0x06, 'v', 'o',
                                          'r',  'p',  'a',  'l',  0xA2, 0x03, 0x02, 0x01, 0x00};
  return std::string(reinterpret_cast<const char*>(kAnswer), sizeof(kAnswer));
}

}  // namespace mtest
