// SPDX-License-Identifier: Apache-2.0
// Shared pieces of the monitor tests: the job-state reset, and a USB
// printer played through the monitor's table of libusb calls.
#pragma once

#include <unistd.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "job/job.h"
#include "harness/harness.h"
#include "monitor/monitor-private.h"

namespace mtest {

inline void ResetJobState() {
  job_canceled.store(0);
  g_bdummyEnd.store(false);
  dummy_thread = 0;
}

// A USB bus with printers that the test describes.
struct FakeUsbDevice {
  std::string serial;
  bool has_serial = true;  // iSerialNumber != 0
  bool descriptor_fails = false;
  bool open_fails = false;
  bool string_fails = false;
};

class FakeUsb {
 public:
  static FakeUsb& Get() {
    static FakeUsb bus;
    return bus;
  }

  // Installs the fake table with these devices; status replies are taken
  // from Replies() in order (a value >= 0 is the first byte of a 16-byte
  // reply, < 0 a libusb error), then `then` for every further request.
  void Install(std::vector<FakeUsbDevice> devices, std::deque<int> replies = {}, int then = 0x07) {
    std::lock_guard<std::mutex> lock(mu_);
    devices_ = std::move(devices);
    replies_ = std::move(replies);
    then_ = then;
    init_rc = 0;
    list_fails = false;
    inits = exits = opens = closes = transfers = 0;
    open_.assign(devices_.size(), false);
    last_request.clear();
    SetUsbOps(&kOps);
  }
  void Uninstall() { SetUsbOps(nullptr); }

  // Counters and settings, read and written under the lock.
  int init_rc = 0;
  bool list_fails = false;
  int inits = 0, exits = 0, opens = 0, closes = 0, transfers = 0;
  std::vector<bool> open_;
  std::vector<int> last_request;  // request type, request, value, index, length, timeout

  template <typename Fn>
  auto With(Fn fn) {
    std::lock_guard<std::mutex> lock(mu_);
    return fn(*this);
  }

  // The handle of device i (what FindUsbDeviceHandle returns for it).
  libusb_device_handle* HandleOf(size_t i) {
    return reinterpret_cast<libusb_device_handle*>(&handle_tags_[i]);
  }

 private:
  static constexpr size_t kMax = 8;
  size_t IndexOfDevice(libusb_device* d) {
    return static_cast<size_t>(reinterpret_cast<char*>(d) - device_tags_);
  }
  size_t IndexOfHandle(libusb_device_handle* h) {
    return static_cast<size_t>(reinterpret_cast<char*>(h) - handle_tags_);
  }

  static int Init() {
    auto& b = Get();
    std::lock_guard<std::mutex> lock(b.mu_);
    ++b.inits;
    return b.init_rc;
  }
  static void Exit() {
    auto& b = Get();
    std::lock_guard<std::mutex> lock(b.mu_);
    ++b.exits;
  }
  static ssize_t List(libusb_device*** list) {
    auto& b = Get();
    std::lock_guard<std::mutex> lock(b.mu_);
    if (b.list_fails) return LIBUSB_ERROR_NO_MEM;
    static libusb_device* entries[kMax + 1];
    for (size_t i = 0; i < b.devices_.size(); ++i) {
      entries[i] = reinterpret_cast<libusb_device*>(&b.device_tags_[i]);
    }
    entries[b.devices_.size()] = nullptr;
    *list = entries;
    return static_cast<ssize_t>(b.devices_.size());
  }
  static void FreeList(libusb_device**, int) {}
  static int Descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    auto& b = Get();
    std::lock_guard<std::mutex> lock(b.mu_);
    const auto& d = b.devices_.at(b.IndexOfDevice(dev));
    if (d.descriptor_fails) return LIBUSB_ERROR_IO;
    memset(desc, 0, sizeof(*desc));
    desc->iSerialNumber = d.has_serial ? 3 : 0;
    return 0;
  }
  static int Open(libusb_device* dev, libusb_device_handle** handle) {
    auto& b = Get();
    std::lock_guard<std::mutex> lock(b.mu_);
    size_t i = b.IndexOfDevice(dev);
    if (b.devices_.at(i).open_fails) return LIBUSB_ERROR_ACCESS;
    ++b.opens;
    b.open_.at(i) = true;
    *handle = reinterpret_cast<libusb_device_handle*>(&b.handle_tags_[i]);
    return 0;
  }
  static void Close(libusb_device_handle* h) {
    auto& b = Get();
    std::lock_guard<std::mutex> lock(b.mu_);
    ++b.closes;
    b.open_.at(b.IndexOfHandle(h)) = false;
  }
  static int String(libusb_device_handle* h, uint8_t, unsigned char* data, int length) {
    auto& b = Get();
    std::lock_guard<std::mutex> lock(b.mu_);
    const auto& d = b.devices_.at(b.IndexOfHandle(h));
    if (d.string_fails) return LIBUSB_ERROR_PIPE;
    int n = static_cast<int>(std::min<size_t>(d.serial.size(), static_cast<size_t>(length)));
    memcpy(data, d.serial.data(), static_cast<size_t>(n));
    if (n < length) data[n] = 0;
    return n;
  }
  static int Transfer(libusb_device_handle*, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                      unsigned char* data, uint16_t length, unsigned int timeout) {
    auto& b = Get();
    std::lock_guard<std::mutex> lock(b.mu_);
    ++b.transfers;
    b.last_request = {type, request, value, index, length, static_cast<int>(timeout)};
    int r = b.then_;
    if (!b.replies_.empty()) {
      r = b.replies_.front();
      b.replies_.pop_front();
    }
    if (r < 0) return r;
    size_t n = std::min<size_t>(16, length);
    memset(data, 0x41, n);
    data[0] = static_cast<unsigned char>(r);
    return static_cast<int>(n);
  }

  static inline const UsbOps kOps = {Init, Exit, List, FreeList, Descriptor, Open, Close, String, Transfer};

  std::mutex mu_;
  std::vector<FakeUsbDevice> devices_;
  std::deque<int> replies_;
  int then_ = 0x07;
  char device_tags_[kMax] = {};
  char handle_tags_[kMax] = {};
};

}  // namespace mtest
