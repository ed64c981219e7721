// SPDX-License-Identifier: Apache-2.0
// The server's state file: loading it so that every printer comes back, a
// printer whose driver is no longer one of this application's included
// (kept with its settings and job history, stopped, with the reason logged);
// the spool folder beside it, cleaned of what a server that ended before its
// jobs left.
#pragma once

#include <pappl/pappl.h>

#include <string>

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

// Makes the folder path (and its missing parents), 0700; true when it is a
// folder of this user's (not a link).
bool MakeFolder(const std::string& path);

// The server's spool folder (set once before the system runs); the job
// folders of the converters are made there. The temporary folder until set.
void SetSpoolDirectory(const char* dir);
const char* SpoolDirectory();

// After LoadState: removes from the spool folder the job files of jobs the
// state does not hold and the job folders (mirelo-job-*) left by a server
// that ended while it printed.
void CleanSpool(pappl_system_t* system, const char* dir);

}  // namespace mirelo_app
