// SPDX-License-Identifier: Apache-2.0
// The network requests to the printer's SNMP agent: the job-status query
// (SNMPv1 GetRequest) and the wake-up (SNMPv1 SetRequest), one UDP datagram
// each to port 161. Both packets are fixed; the replies are moved, not read.
#include "monitor/monitor-private.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/io.h"

// GetRequest, community "vorpal", for 1.3.6.1.4.1.32473.1.1.3.16.2 (the job
// status of the printer's private MIB).
// One field of the packet a line.
// clang-format off
const unsigned char kSnmpStatusQuery[kSnmpPacketLen] = {
    0x30, 0x2B,                                // SEQUENCE, 43 bytes follow
    0x02, 0x01, 0x00,                          // INTEGER version 0 (SNMPv1)
    0x04, 0x06, 'v', 'o', 'r', 'p', 'a', 'l',  // OCTET STRING community
    0xA0, 0x1E,                                // GetRequest-PDU, 30 bytes
    0x02, 0x01, 0x00,                          // request-id 0
    0x02, 0x01, 0x00,                          // error-status 0
    0x02, 0x01, 0x00,                          // error-index 0
    0x30, 0x13,                                // SEQUENCE of bindings, 19 bytes
    0x30, 0x11,                                // one binding, 17 bytes
    0x06, 0x0D,                                // OBJECT IDENTIFIER, 13 bytes
    0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x01, 0x01, 0x03, 0x10, 0x02,
    0x05, 0x00,  // NULL value
};
// clang-format on

// SetRequest, community "vorpal", 1.3.6.1.4.1.32473.1.1.4.13 = INTEGER 1
// (wakes the printer up).
// One field of the packet a line.
// clang-format off
const unsigned char kSnmpWakeUp[kSnmpPacketLen] = {
    0x30, 0x2B,                                // SEQUENCE, 43 bytes follow
    0x02, 0x01, 0x00,                          // INTEGER version 0 (SNMPv1)
    0x04, 0x06, 'v', 'o', 'r', 'p', 'a', 'l',  // OCTET STRING community
    0xA3, 0x1E,                                // SetRequest-PDU, 30 bytes
    0x02, 0x01, 0x00,                          // request-id 0
    0x02, 0x01, 0x00,                          // error-status 0
    0x02, 0x01, 0x00,                          // error-index 0
    0x30, 0x13,                                // SEQUENCE of bindings, 19 bytes
    0x30, 0x11,                                // one binding, 17 bytes
    0x06, 0x0C,                                // OBJECT IDENTIFIER, 12 bytes
    0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x01, 0x01, 0x04, 0x0D,
    0x02, 0x01, 0x01,  // INTEGER 1
};
// clang-format on

namespace {

constexpr int kSendAttempts = 3;
constexpr int kReceiveAttempts = 2;
constexpr int kReplyTimeoutSeconds = 2;
constexpr size_t kWakeReplySize = 512;

using AddrInfoPtr = std::unique_ptr<struct addrinfo, decltype(&freeaddrinfo)>;

// The requests go to one printer only: never to the limited broadcast
// address or to "any". The sockets do not allow broadcasting either, so the
// kernel refuses a subnet's broadcast address too.
bool IsRefusedDestination(const struct sockaddr* addr) {
  if (addr->sa_family != AF_INET) return false;
  in_addr_t a = ntohl(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr);
  return a == INADDR_BROADCAST || a == INADDR_ANY;
}

bool SetReceiveTimeout(int fd) {
  struct timeval tv = {kReplyTimeoutSeconds, 0};
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0;
}

}  // namespace

bool QueryStatusToNet(const char* ip, unsigned char* buf, size_t buf_size, int* nrecv) {
  mirelo::ErrWrite("->SendSNMPCmd()\n");
  if (!ip) {
    mirelo::ErrWrite("cancelthread::QueryStatusToNet::pIPaddr is null\n");
    return false;
  }
  if (!buf || buf_size == 0 || !nrecv) return false;

  // A numeric address or a name: both go through the resolver, which never
  // turns a name into an address of its own making.
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  struct addrinfo* found = nullptr;
  int rc = getaddrinfo(ip, nullptr, &hints, &found);
  AddrInfoPtr answers(found, freeaddrinfo);
  if (rc != 0 || !found) {
    mirelo::ErrPrintf("<SNMP> host not found, nothing sent. (dest_addr=%s)\n", ip);
    mirelo::ErrWrite("<-SendSNMPCmd()\n");
    return false;
  }
  sockaddr_in dest = {};
  memcpy(&dest, found->ai_addr, sizeof(dest));
  dest.sin_port = htons(kSnmpPort);
  if (IsRefusedDestination(reinterpret_cast<const sockaddr*>(&dest))) {
    mirelo::ErrPrintf("<SNMP> broadcast address refused, nothing sent. (dest_addr=%s)\n", ip);
    mirelo::ErrWrite("<-SendSNMPCmd()\n");
    return false;
  }

  mirelo::UniqueFd sock(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!sock.valid()) {
    mirelo::ErrPrintf("<SNMP> create socket fail. (errno=%d)\n", errno);
    mirelo::ErrWrite("<-SendSNMPCmd()\n");
    return false;
  }
  if (!SetReceiveTimeout(sock.get())) mirelo::ErrWrite("setsockopt fail");
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;  // the system picks a free port
  (void)bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local));
  // Connected to the printer: the kernel drops every datagram from any other
  // address or port, so no other host can answer in the printer's place.
  if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&dest), sizeof(dest)) != 0) {
    mirelo::ErrPrintf("<SNMP> socket connect error. (dest_addr=%s)\n", ip);
    mirelo::ErrWrite("<-SendSNMPCmd()\n");
    return false;
  }

  int receives_left = kReceiveAttempts;
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    ssize_t sent = send(sock.get(), kSnmpStatusQuery, sizeof(kSnmpStatusQuery), 0);
    if (sent > 0) {
      mirelo::ErrPrintf("<SNMP> socket sendto success. (dest_addr=%s)\n", ip);
      if (receives_left > 0) {
        --receives_left;
        ssize_t got = recv(sock.get(), buf, buf_size, 0);
        *nrecv = static_cast<int>(got);
        mirelo::ErrPrintf("nRecv = %d\n", *nrecv);
        if (got > 0) return true;
      }
    } else {
      mirelo::ErrPrintf("<SNMP> socket sendto error. (dest_addr=%s)\n", ip);
    }
  }
  mirelo::ErrWrite("<-SendSNMPCmd()\n");
  return false;
}

void SenddummyCmdToNet(const char* hostname) {
  if (!hostname) {
    mirelo::ErrWrite("hostname == NULL.\n");
    return;
  }
  WakeUpTarget target;
  if (ResolveWakeUpTarget(hostname, &target)) SendWakeUp(target, hostname);
}

bool ResolveWakeUpTarget(const char* hostname, WakeUpTarget* target) {
  if (!hostname || !target) return false;
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  struct addrinfo* found = nullptr;
  int rc = getaddrinfo(hostname, "161", &hints, &found);
  AddrInfoPtr answers(found, freeaddrinfo);
  if (rc != 0 || !found) {
    mirelo::ErrPrintf("getaddrinfo fail return %d.\n", rc);
    return false;
  }
  if (IsRefusedDestination(found->ai_addr)) {
    mirelo::ErrPrintf("<SNMP> broadcast address refused, nothing sent. (dest_addr=%s)\n", hostname);
    return false;
  }
  *target = {};
  if (found->ai_addrlen > sizeof(target->addr)) return false;
  memcpy(&target->addr, found->ai_addr, found->ai_addrlen);
  target->addr_len = found->ai_addrlen;
  target->family = found->ai_family;
  target->socktype = found->ai_socktype;
  target->protocol = found->ai_protocol;
  return true;
}

void SendWakeUp(const WakeUpTarget& target, const char* hostname) {
  const auto* addr = reinterpret_cast<const sockaddr*>(&target.addr);
  mirelo::UniqueFd sock(socket(target.family, target.socktype, target.protocol));
  if (!sock.valid()) {
    mirelo::ErrWrite("create socket fail\n");
    return;
  }
  if (!SetReceiveTimeout(sock.get())) {
    mirelo::ErrWrite("setsockopt fail\n");
    return;
  }
  // Connected: only the printer's own reply ends the wait.
  if (connect(sock.get(), addr, target.addr_len) != 0) {
    mirelo::ErrPrintf("<SNMP> socket connect error. (dest_addr=%s)\n", hostname);
    return;
  }
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    ssize_t sent = send(sock.get(), kSnmpWakeUp, sizeof(kSnmpWakeUp), 0);
    if (sent > 0) {
      // One reply at most is waited for; what it says does not matter.
      unsigned char reply[kWakeReplySize];
      (void)recv(sock.get(), reply, sizeof(reply), 0);
      break;
    }
    mirelo::ErrPrintf("<SNMP> socket sendto error. (dest_addr=%s)\n", hostname);
  }
}
