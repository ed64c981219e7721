// SPDX-License-Identifier: Apache-2.0
// The cancel monitor: a thread beside the PostScript writer that asks the
// printer whether the job was cancelled at its panel, and raises
// job_canceled when it was. A USB printer is asked with the vendor status
// request once a second; a network printer with the SNMP status query every
// five ticks of half a second, and there the cancelled job must be this
// host's. The thread is never joined: it ends after a cancel, when it cannot
// reach the printer, or with the process.
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/io.h"
#include "filter/filter.h"
#include "monitor/monitor.h"

namespace {

constexpr char kCancelExit[] = "Job cancel, Status thread exit.\n";
// Shown by the scheduler as the printer's state message.
constexpr char kCancelledAtPrinter[] =
    "INFO: The printer reports that the job was cancelled; printing stops at the next page\n";
constexpr useconds_t kTick = 500000;
constexpr int kUsbTicks = 2;  // one USB request a second
constexpr int kNetTicks = 5;  // one status query every 2.5 seconds
constexpr size_t kReplySize = 1024;
constexpr size_t kTextSize = 1024;

// The status codes of a job cancelled at the printer.
bool IsCancelStatus(unsigned char status) { return status == 0x06 || status == 0x86; }

}  // namespace

bool ReplyReportsCancel(const unsigned char* reply, int len, const char* owner) {
  // The status byte 60 bytes before the end, the owner's host name from 56
  // bytes before the end up to a zero byte or the end of the datagram.
  constexpr int kStatusFromEnd = 60;
  constexpr int kOwnerFromEnd = 56;
  if (!reply || len < kStatusFromEnd) return false;
  unsigned char status = reply[len - kStatusFromEnd];
  const char* text = reinterpret_cast<const char*>(reply + (len - kOwnerFromEnd));
  std::string_view reply_owner(text, strnlen(text, kOwnerFromEnd));
  return IsCancelStatus(status) && reply_owner.find(owner ? owner : "") != std::string_view::npos;
}

namespace {

void* WatchUsb(const char* uri) {
  libusb_device_handle* handle = FindUsbDeviceHandle(uri);
  if (!handle) {
    mirelo::ErrWrite("querythread::handle is null\n");
    return nullptr;
  }
  mirelo::ErrWrite("Status_query::handle yes\n");
  unsigned char reply[kReplySize] = {};
  int tick = 0;
  for (;;) {
    if (++tick >= kUsbTicks) {
      tick = 0;
      memset(reply, 0, sizeof(reply));
      int transferred = 0;
      QueryStatusToUsb(handle, reply, sizeof(reply), &transferred);
      if (IsCancelStatus(reply[0])) {
        g_bcanceledAtPrinter.store(true);
        job_canceled.store(1);
        mirelo::ErrWrite(kCancelledAtPrinter);
        UsbCloseAndExit(handle);
        return const_cast<char*>(kCancelExit);
      }
    }
    usleep(kTick);
  }
}

void* WatchNet(const char* uri, const char* owner) {
  char addr[kTextSize] = {};
  char dnssd_host[kTextSize] = {};
  int port = 9100;
  mirelo::ErrWrite("querythread::net\n");
  // The queue was not found, or its URI is malformed: there is no printer to
  // ask. The resolver is not asked about such a URI.
  if (!IsWellFormedUri(uri)) return nullptr;
  if (!getPrinterHostNameFromUri(uri, addr, sizeof(addr), &port) && strstr(uri, "dnssd://")) {
    getPrinterHostNameFromDNSSDUri(uri, addr, sizeof(addr), &port);
  }
  if (port == 0 && strstr(uri, "dnssd://")) {
    getPrinterHostNameFromDNSSDUri(uri, dnssd_host, sizeof(dnssd_host), &port);
    if (GetIpByHostname(dnssd_host, addr, sizeof(addr)) != 0) {
      mirelo::ErrWrite("supply host to ip failed\n");
      return nullptr;
    }
  }
  if (addr[0] == '\0') return nullptr;
  mirelo::ErrPrintf("ip:%s\n", addr);

  unsigned char reply[kReplySize] = {};
  int tick = 0;
  for (;;) {
    if (++tick >= kNetTicks) {
      tick = 0;
      memset(reply, 0, sizeof(reply));
      int received = 0;
      QueryStatusToNet(addr, reply, sizeof(reply), &received);
      if (ReplyReportsCancel(reply, received, owner)) {
        g_bcanceledAtPrinter.store(true);
        job_canceled.store(1);
        mirelo::ErrWrite(kCancelledAtPrinter);
        return const_cast<char*>(kCancelExit);
      }
    }
    usleep(kTick);
  }
}

}  // namespace

void PrintPointAddress(const char* label, const void* ptr) {
  mirelo::ErrPrintf("%s point address:0x%" PRIxPTR "\n", label,
                    reinterpret_cast<uintptr_t>(ptr));
}

void* Printer_cancle_query_tread(void* arg) {
  auto* record = static_cast<const cancel_query_arg*>(arg);
  PrintPointAddress("thread arg", record);
  if (!record) return nullptr;

  // The record's texts, bounded even if a terminator were missing.
  char uri[sizeof(record->uri) + 1] = {};
  memcpy(uri, record->uri, strnlen(record->uri, sizeof(record->uri)));
  char owner[sizeof(record->jobower) + 1] = {};
  memcpy(owner, record->jobower, strnlen(record->jobower, sizeof(record->jobower)));

  if (IsUsbUri(uri)) return WatchUsb(uri);
  return WatchNet(uri, owner);
}
