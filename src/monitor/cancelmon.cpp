// SPDX-License-Identifier: Apache-2.0
// The cancel monitor: a thread beside the PostScript writer that asks the
// printer whether the job was cancelled at its panel, and raises
// job_canceled when it was. A USB printer is asked with the vendor status
// request once a second; a network printer with the SNMP status query every
// five ticks of half a second, and there the cancelled job must be this
// host's. The thread is never joined: it ends after a cancel, when it cannot
// reach the printer, or with the process.
#include "monitor/monitor.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/io.h"
#include "monitor/monitor-private.h"

pthread_t status_thread = 0;
int err_thread = 0;

namespace {

// Set, before job_canceled is raised, when the printer reported the job
// cancelled at its panel.
std::atomic<bool> canceled_at_printer{false};

constexpr char kCancelExit[] = "Job cancel, Status thread exit.\n";
// Shown by the scheduler as the printer's state message.
constexpr char kCancelledAtPrinter[] =
    "INFO: The printer reports that the job was cancelled; printing stops at the next page\n";
constexpr useconds_t kTick = 500000;
constexpr int kUsbTicks = 2;  // one USB request a second
constexpr int kNetTicks = 5;  // one status query every 2.5 seconds
constexpr size_t kReplySize = 1024;
constexpr size_t kTextSize = 1024;
// Size of the device URI and make-and-model buffers of the queue lookup.
constexpr size_t kLookupSize = 256;

// The record the cancel monitor reads. The monitor is never joined and may
// run until the process ends, so the record must outlive the job's writer:
// it is process-wide and, once a monitor has been started, never written
// again.
cancel_query_arg g_query_arg;
bool g_monitor_started = false;

// The status codes of a job cancelled at the printer.
bool IsCancelStatus(unsigned char status) { return status == 0x06 || status == 0x86; }

// True when the owner text of a status reply names this host (own): the
// whole name, or, for a name longer than the printer's 56-byte field, its
// first 56 bytes filling the field. Another host whose name merely holds
// this one (pc12 for pc1) is not this host; an empty own name (the host name
// could not be read) is nobody's.
bool IsOwnHost(std::string_view reply_owner, const char* own) {
  constexpr size_t kField = 56;
  std::string_view name(own ? own : "");
  if (name.empty()) return false;
  if (reply_owner == name) return true;
  return name.size() > kField && reply_owner.size() == kField && name.substr(0, kField) == reply_owner;
}

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
  return IsCancelStatus(status) && IsOwnHost(reply_owner, owner);
}

namespace {

void* WatchUsb(const char* uri) {
  mirelo::UsbDevice device(FindUsbDeviceHandle(uri));
  libusb_device_handle* handle = device.get();
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
        canceled_at_printer.store(true);
        job_canceled.store(1);
        mirelo::ErrWrite(kCancelledAtPrinter);
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
        canceled_at_printer.store(true);
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
  mirelo::ErrPrintf("%s point address:0x%" PRIxPTR "\n", label, reinterpret_cast<uintptr_t>(ptr));
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

bool mirelo::CanceledAtPrinter() { return canceled_at_printer.load(); }

void mirelo::StartCancelWatch(const Job& job, const char* host) {
  char uri[kLookupSize] = {};
  char make_model[kLookupSize] = {};
  if (job.watch_device_uri) {
    CopyText(uri, sizeof(uri), job.device_uri.c_str());
  } else {
    getPrinter_optiopns(job.queue.c_str(), uri, sizeof(uri), make_model, sizeof(make_model));
  }
  uri[sizeof(uri) - 1] = '\0';

  if (!g_monitor_started) {
    memset(&g_query_arg, 0, sizeof(g_query_arg));
    CopyText(g_query_arg.uri, sizeof(g_query_arg.uri), uri);
    g_query_arg.jobid = atoi(job.job_id.c_str());
    CopyText(g_query_arg.jobower, sizeof(g_query_arg.jobower), host);
  }
  char shown_uri[sizeof(g_query_arg.uri)];  // no password in the log
  MaskUriPassword(g_query_arg.uri, shown_uri, sizeof(shown_uri));
  ErrPrintf("uri:%s,jobid:%d,jobower:%s\n", shown_uri, g_query_arg.jobid, g_query_arg.jobower);
  PrintPointAddress("cancel_query_arg", &g_query_arg);

  if (g_monitor_started) return;
  pthread_t thread;
  err_thread = pthread_create(&thread, nullptr, Printer_cancle_query_tread, &g_query_arg);
  if (err_thread != 0) {
    status_thread = 0;
    ErrPrintf("psrelay::Printer_cancle_query_tread Failed, err = %d\n", err_thread);
  } else {
    // Never joined: it ends by itself or with the process.
    pthread_detach(thread);
    status_thread = thread;
    g_monitor_started = true;
  }
}
