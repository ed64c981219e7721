// SPDX-License-Identifier: Apache-2.0
// The app's drivers: one per model of data/models.tsv, the driver callback
// that fills PAPPL's driver data from the model, and the automatic choice of
// a driver from a device's IEEE 1284 ID.
#pragma once

#include <pappl/pappl.h>

#include <vector>

namespace mirelo_app {

// The driver list for papplMainloop (built from Models()).
std::vector<pappl_pr_driver_t>& DriverList();

// The document format the drivers print: PostScript, which the app's filters
// (PrintDocument) take, as they take PDF and plain text. PAPPL lists the
// driver's format among the formats a printer takes; a format of the app's
// own there would be offered to clients and, sent by one, reach PAPPL's raw
// path (a null print-file callback in PAPPL 1.3.1).
inline constexpr char kDriverFormat[] = "application/postscript";

// pappl_pr_driver_cb_t: fills the driver data of the driver's model. Refuses
// a device whose ID names no supported model.
bool DriverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                    const char* device_id, pappl_pr_driver_data_t* data, ipp_t** attrs, void* cbdata);

// pappl_pr_status_cb_t: the supply levels and state reasons the device
// reports (the Printer MIB over SNMP for network printers), asked at most
// every kStatusInterval seconds a printer.
inline constexpr int kStatusInterval = 10;
bool StatusCallback(pappl_printer_t* printer);

// pappl_pr_autoadd_cb_t: the driver for a device ID, or null (with a log
// line) for an unsupported device.
const char* AutoAddCallback(const char* device_info, const char* device_uri, const char* device_id,
                            void* cbdata);

}  // namespace mirelo_app
