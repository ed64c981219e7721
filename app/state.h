// SPDX-License-Identifier: Apache-2.0
// The server's state file: loading it so that every printer comes back, a
// printer whose driver is no longer one of this application's included
// (kept with its settings and job history, stopped, with the reason logged).
#pragma once

#include <pappl/pappl.h>

namespace mirelo_app {

// Loads the state file into system (before papplSystemRun). A printer whose
// driver is not in the product list any more is created all the same and
// then stopped.
bool LoadState(pappl_system_t* system, const char* file);

// True while LoadState runs: the driver callback then takes a driver name it
// does not know (see DriverCallback).
bool LoadingState();

// The make and model a kept printer shows for a driver that is not in the
// product list any more.
inline constexpr char kRetiredModelSuffix[] = " (driver no longer supported)";

}  // namespace mirelo_app
