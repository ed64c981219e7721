// SPDX-License-Identifier: Apache-2.0
// The core of mirelops as a front end drives it: one job, from the arguments
// a CUPS filter gets, to the printer-ready stream on standard output. The
// CUPS filter's main and the Printer Application's job process are its two
// front ends; neither reaches further into the core than this header. With
// the job record's header it gives them the job's arguments (JobArguments)
// and the printer families (Family), which the Printer Application's model
// table names.
#pragma once

#include "job/job.h"

namespace mirelo {

// What a front end asks of the core beyond the job's arguments.
struct FrontEnd {
  // The cancel monitor watches the printer of DEVICE_URI instead of looking
  // the queue up among the CUPS destinations (a front end whose printers
  // CUPS does not know).
  bool watch_device_uri = false;
};

// Runs one job: identifies the printer (device ID on the side channel, else
// the PPD's nickname), takes the job (args.file, or standard input into a
// spool file), runs the finch paper checks and writes the stream of the
// printer's family to standard output. SIGTERM cancels the job at the next
// page boundary. Returns the process's exit status: 0 printed, cancelled or
// the printer connection closed; 1 refused or failed (an ERROR line says
// why).
int RunJob(const JobArguments& args, const FrontEnd& front_end = {});

// True once the printer has reported the job cancelled at its panel.
bool CanceledAtPrinter();

// True when the device ID names a supported model.
bool SupportsDeviceId(const char* device_id);

}  // namespace mirelo
