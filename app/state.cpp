// SPDX-License-Identifier: Apache-2.0
// Loading the state file. PAPPL 1.3.1 drops a printer whose driver callback
// refuses it at load time, with its job history; the app never refuses a
// printer there: its driver callback takes the device ID PAPPL made up for
// the printer (see DriverCallback), and a driver that left the product list
// gets a stand-in model, the printer stopped here with the reason logged.
#include "state.h"

#include <atomic>

#include "drivers.h"

namespace mirelo_app {

namespace {

std::atomic<bool> g_loading{false};

// pappl_printer_cb_t: stops a printer whose driver is not one of the app's.
void StopRetired(pappl_printer_t* printer, void*) {
  const char* driver = papplPrinterGetDriverName(printer);
  if (ModelForDriver(driver)) return;
  papplPrinterPause(printer);
  papplPrinterSetReasons(printer, PAPPL_PREASON_OTHER, PAPPL_PREASON_NONE);
  papplLogPrinter(
      printer, PAPPL_LOGLEVEL_ERROR,
      "The printer's driver '%s' is no longer supported: the printer is kept with its settings and "
      "jobs, stopped. Delete it, or add it again with a driver of this version.",
      driver ? driver : "");
}

}  // namespace

bool LoadingState() { return g_loading.load(); }

bool LoadState(pappl_system_t* system, const char* file) {
  g_loading = true;
  bool ok = papplSystemLoadState(system, file);
  g_loading = false;
  papplSystemIteratePrinters(system, StopRetired, nullptr);
  return ok;
}

}  // namespace mirelo_app
