// SPDX-License-Identifier: Apache-2.0
// The inside of printer link monitoring, private to monitor/ (and reached by
// its tests and the fuzz targets): the queue's device URI and the printer's
// address, the SNMP and USB requests, the USB seam and the thread routines.
// This is the only header that includes <libusb.h>.
#pragma once

#include <libusb.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "monitor/monitor.h"

// Record handed to the cancel monitor; filled by the writer before the
// thread starts and unchanged for as long as the process lives.
struct cancel_query_arg {
  char uri[512];      // device URI of the job's queue, empty when not found
  int jobid;          // CUPS job id
  char jobower[512];  // this host's name, the PJL job owner
};

// Writes "<label> point address:0x<hex>\n" with the pointer printed
// portably, e.g. "thread arg point address:0x7ffd5e8c1a20". The writer uses it
// with the label "cancel_query_arg", the cancel monitor with "thread arg".
void PrintPointAddress(const char* label, const void* ptr);

// ---- Address resolution ---------------------------------------------------

// Finds the queue among the CUPS destinations and copies its device URI and
// make-and-model into the two buffers (each of the given size, values cut to
// fit). Outputs are untouched when no base queue matches. Returns 0.
int getPrinter_optiopns(const char* queue, char* uri, size_t uri_size, char* make_model,
                        size_t make_model_size);

// Lower-cases src into dst (dst_size bytes, always terminated, cut to fit).
void strToLower(const char* src, char* dst, size_t dst_size);

// Percent-decodes text in place and returns it. A '%' without two characters
// after it is kept as it is; nothing past the terminator is read.
char* urldecode(char* text);

// Value of one hexadecimal digit, or -1.
int hex2dec(signed char c);

// Resolves the device URI through the CUPS library's resolver and appends
// its host to host (host_size bytes in all, counting what it already holds);
// the URI's port goes to *port. 1 when a host was appended, 0 otherwise.
bool getPrinterHostNameFromUri(const char* uri, char* host, size_t host_size, int* port);
// The same for DNS-SD URIs, with its own messages.
bool getPrinterHostNameFromDNSSDUri(const char* uri, char* host, size_t host_size, int* port);

// True when the device URI can be handed to the resolver: not empty and
// well formed (the resolver is asked nothing about any other).
bool IsWellFormedUri(const char* uri);

// True when the device URI names a USB printer: its scheme is "usb".
bool IsUsbUri(const char* uri);

// Looks up an IPv4 address of the host and writes it as text into ip
// (ip_size bytes). 0 when the name was looked up, 1 when the lookup failed.
int GetIpByHostname(const char* hostname, char* ip, size_t ip_size);

// ---- Requests ---------------------------------------------------------------

// SNMPv1 GetRequest for the printer's job status (45 bytes on the wire).
inline constexpr size_t kSnmpPacketLen = 45;
extern const unsigned char kSnmpStatusQuery[kSnmpPacketLen];
// SNMPv1 SetRequest that keeps the printer awake (45 bytes on the wire).
extern const unsigned char kSnmpWakeUp[kSnmpPacketLen];
// UDP port of the printer's SNMP agent.
inline constexpr int kSnmpPort = 161;

// Sends the status query to the printer at ip (numeric IPv4 or host name)
// and receives the reply into buf (buf_size bytes). *nrecv holds the result
// of the last receive attempt. 1 when a reply of at least one byte came.
// Nothing is sent to a name that does not resolve or to a broadcast address.
bool QueryStatusToNet(const char* ip, unsigned char* buf, size_t buf_size, int* nrecv);

// Sends the wake-up to the printer at hostname and waits for one reply.
void SenddummyCmdToNet(const char* hostname);

// The printer's wake-up address, looked up once for a whole job.
struct WakeUpTarget {
  sockaddr_storage addr;
  socklen_t addr_len;
  int family, socktype, protocol;
};
// Looks up hostname's wake-up address (port 161); false, with the lookup's
// message, when there is none or it is refused.
bool ResolveWakeUpTarget(const char* hostname, WakeUpTarget* target);
// Sends the wake-up to a looked-up address and waits for one reply from it.
void SendWakeUp(const WakeUpTarget& target, const char* hostname);

// Asks the USB printer for its status (vendor control-IN request) into buf
// (len bytes). *transferred gets the byte count. 1 when bytes came back.
bool QueryStatusToUsb(libusb_device_handle* handle, unsigned char* buf, uint16_t len, int* transferred);

// Opens the USB device whose serial number occurs in the URI; null when none.
// The caller closes a returned handle with UsbCloseAndExit().
libusb_device_handle* FindUsbDeviceHandle(const char* uri);

// Closes a handle from FindUsbDeviceHandle and shuts libusb down.
void UsbCloseAndExit(libusb_device_handle* handle);

namespace mirelo {

// Owns a handle from FindUsbDeviceHandle: closes it and shuts libusb down
// when it goes.
class UsbDevice {
 public:
  explicit UsbDevice(libusb_device_handle* handle) : handle_(handle) {}
  ~UsbDevice() {
    if (handle_) UsbCloseAndExit(handle_);
  }
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;
  libusb_device_handle* get() const { return handle_; }

 private:
  libusb_device_handle* handle_;
};

}  // namespace mirelo

// ---- USB seam ---------------------------------------------------------------

// The libusb calls the monitor makes, all on the default context. The real
// table calls libusb; tests install a table that plays a printer.
struct UsbOps {
  int (*init)();
  void (*exit)();
  ssize_t (*get_device_list)(libusb_device*** list);
  void (*free_device_list)(libusb_device** list, int unref_devices);
  int (*get_device_descriptor)(libusb_device* dev, libusb_device_descriptor* desc);
  int (*open)(libusb_device* dev, libusb_device_handle** handle);
  void (*close)(libusb_device_handle* handle);
  int (*get_string_descriptor_ascii)(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                     int length);
  int (*control_transfer)(libusb_device_handle* handle, uint8_t request_type, uint8_t request, uint16_t value,
                          uint16_t index, unsigned char* data, uint16_t length, unsigned int timeout);
};

// The table in use; the real libusb one unless a test installed another.
const UsbOps& Usb();
// Installs a table (null: the real one). Returns the previous table. Call
// it while no monitoring thread runs.
const UsbOps* SetUsbOps(const UsbOps* ops);

// The network road's reading of a status reply of len bytes: true when the
// status byte, 60 bytes before the end, tells of a cancelled job (0x06 or
// 0x86) and the owner text, from 56 bytes before the end up to a zero byte
// or the end, is owner: equal to it, or its first 56 bytes when owner is
// longer and the text fills the field. An empty owner matches no reply; a
// reply under 60 bytes is never a cancel.
bool ReplyReportsCancel(const unsigned char* reply, int len, const char* owner);

// ---- Threads ------------------------------------------------------------------

// Cancel monitor thread; arg is a cancel_query_arg*.
void* Printer_cancle_query_tread(void* arg);

// The keep-alive thread's start routine; arg is the device URI text.
void* dummy_send_tread(void* arg);
