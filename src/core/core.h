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
// page boundary. Returns the job's outcome: printed, cancelled, the printer
// connection closed, or failed (refused included; an ERROR line says why),
// which ExitStatus turns into the process's exit status.
Outcome RunJobOutcome(const JobArguments& args, const FrontEnd& front_end = {});

// ExitStatus(RunJobOutcome(args, front_end)), for a front end that needs
// only the exit status.
int RunJob(const JobArguments& args, const FrontEnd& front_end = {});

// True once the printer has reported the job cancelled at its panel.
bool CanceledAtPrinter();

// True when the device ID names a supported model.
bool SupportsDeviceId(const char* device_id);

}  // namespace mirelo
