// SPDX-License-Identifier: Apache-2.0
// The USB side of the monitor: finding the printer by the serial number in
// its device URI, and the vendor status request. Every libusb call goes
// through the table of UsbOps, so that tests can play a printer; the real
// table below is the only place that calls libusb.
#include "monitor/monitor-private.h"

#include <atomic>
#include <cstring>

#include "common/io.h"

namespace {

// ---- The real libusb, on the default context --------------------------------

int RealInit() { return libusb_init(nullptr); }
void RealExit() { libusb_exit(nullptr); }
ssize_t RealGetDeviceList(libusb_device*** list) { return libusb_get_device_list(nullptr, list); }

const UsbOps kRealUsb = {
    RealInit,
    RealExit,
    RealGetDeviceList,
    libusb_free_device_list,
    libusb_get_device_descriptor,
    libusb_open,
    libusb_close,
    libusb_get_string_descriptor_ascii,
    libusb_control_transfer,
};

std::atomic<const UsbOps*> g_usb{&kRealUsb};

// ---- The status request -------------------------------------------------------

// Device to host, vendor request, recipient interface.
constexpr uint8_t kStatusRequestType = 0xC1;
constexpr uint8_t kStatusRequest = 0;
constexpr unsigned int kStatusTimeoutMs = 2000;
constexpr size_t kSerialSize = 128;

// Owns the device list; releasing it drops the references to its devices.
class DeviceList {
 public:
  DeviceList() = default;
  ~DeviceList() {
    if (list_) Usb().free_device_list(list_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  libusb_device*** out() { return &list_; }
  libusb_device* operator[](ssize_t i) const { return list_[i]; }
  bool empty() const { return list_ == nullptr; }

 private:
  libusb_device** list_ = nullptr;
};

}  // namespace

const UsbOps& Usb() { return *g_usb.load(); }

const UsbOps* SetUsbOps(const UsbOps* ops) { return g_usb.exchange(ops ? ops : &kRealUsb); }

libusb_device_handle* FindUsbDeviceHandle(const char* uri) {
  const UsbOps& usb = Usb();
  int rc = usb.init();
  if (rc < 0) {
    mirelo::ErrPrintf("psrelay::SenddummyCmdToUsb: Unable to initialize USB acc via libusb,libusb error %d\n",
                      rc);
    return nullptr;
  }
  if (!uri) uri = "";

  libusb_device_handle* found = nullptr;
  {
    DeviceList list;
    ssize_t count = usb.get_device_list(list.out());
    if (count <= 0 || list.empty()) {
      mirelo::ErrWrite("psrelay::SenddummyCmdToUsb: get device list failed\n");
    } else {
      for (ssize_t i = 0; i < count && !found; ++i) {
        libusb_device_descriptor desc = {};
        rc = usb.get_device_descriptor(list[i], &desc);
        if (rc < 0) {
          mirelo::ErrPrintf("psrelay::SenddummyCmdToUsb: libusb_get_device_descriptor=%d\n", rc);
          continue;
        }
        libusb_device_handle* handle = nullptr;
        if (usb.open(list[i], &handle) != 0 || !handle) continue;
        unsigned char serial[kSerialSize] = {};
        if (desc.iSerialNumber != 0 &&
            usb.get_string_descriptor_ascii(handle, desc.iSerialNumber, serial, sizeof(serial) - 1) >= 0 &&
            strstr(uri, reinterpret_cast<const char*>(serial))) {
          mirelo::ErrWrite("libusb find device handle\n");
          found = handle;
        } else {
          usb.close(handle);
        }
      }
    }
  }
  // Without a device nobody shuts libusb down later: do it here.
  if (!found) usb.exit();
  return found;
}

void UsbCloseAndExit(libusb_device_handle* handle) {
  const UsbOps& usb = Usb();
  if (handle) usb.close(handle);
  usb.exit();
}

bool QueryStatusToUsb(libusb_device_handle* handle, unsigned char* buf, uint16_t len, int* transferred) {
  if (!handle || !buf || !transferred) return false;
  int rc = Usb().control_transfer(handle, kStatusRequestType, kStatusRequest, 0, 0, buf, len,
                                  kStatusTimeoutMs);
  if (rc > 0) {
    *transferred = rc;
    mirelo::ErrWrite("\n");
    return true;
  }
  *transferred = 0;
  mirelo::ErrPrintf("libusb_control_transfer fail (code=%d)\n", rc);
  return false;
}
