// SPDX-License-Identifier: Apache-2.0
// A connection of the job's own to a network printer, as CUPS' socket backend
// makes one: opened for each attempt to send the job, every byte written
// checked, the sending side shut and the printer's close awaited, so that a
// job is complete only when the printer took all of it. A write to a printer
// that stops reading gives up once a cancel is a grace time old.
#pragma once

#include <pappl/pappl.h>
#include <sys/socket.h>

#include <functional>
#include <string>

#include "common/io.h"

namespace mirelo_app {

// Marks the calling thread as a job's, while PAPPL processes the job
// (job-start-guard.cpp): there, a socket printer PAPPL cannot connect to
// gets a stand-in device (see papplDeviceOpen in device.cpp).
void SetJobThread(bool on);

// Where a printer was reached: the peer of PAPPL's connection (len 0:
// unknown).
struct PrinterAddress {
  sockaddr_storage addr = {};
  socklen_t len = 0;
};

class PrinterConnection {
 public:
  using CanceledFn = std::function<bool()>;

  // The seconds a write may wait for a printer that stopped reading once the
  // job is cancelled, and for the printer's close at the end of the job.
  static constexpr double kCancelGrace = 1.0;
  static constexpr double kCloseWait = 10;

  // True when the device URI names a network printer (socket, dnssd, snmp)
  // that PAPPL reaches through its socket device.
  static bool Handles(const char* device_uri);

  // Ends the connection PAPPL opened on device for the job (or kept from the
  // job before), as the job starts, so that it never holds the printer while
  // the job is converted or after a cancel; the device keeps an unconnected
  // socket. Returns the printer's address as that connection reached it.
  static PrinterAddress ReleasePapplConnection(const char* device_uri, pappl_device_t* device);
  // Connects to the printer of device_uri (a socket URI by its host, others
  // at the address known). False with *why.
  bool Connect(const char* device_uri, const PrinterAddress& known, std::string* why);
  // Writes every byte; false with *why when the printer fails, or when
  // canceled() has been true for kCancelGrace seconds.
  bool Write(const void* data, size_t len, const CanceledFn& canceled, std::string* why);
  // After the last byte: shuts the sending side and waits for the printer to
  // close. False with *why when it reset the connection (bytes lost).
  bool Finish(const CanceledFn& canceled, std::string* why);
  // Closes at once, discarding what was not sent (a reset).
  void Abort();

 private:
  mirelo::UniqueFd fd_;
  double canceled_at_ = 0;
};

}  // namespace mirelo_app
