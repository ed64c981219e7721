// SPDX-License-Identifier: Apache-2.0
// The one door from the Printer Application into the filter's core: write a
// PostScript job (PDF for the Heron family) the way the CUPS filter writes it,
// to a caller's output, while polling the caller's cancel flag; and the
// core's device-ID test. Nothing else in app/ reaches the core (models.h
// names its printer families).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "core/core.h"

namespace mirelo_app {

// What a CUPS queue sets in its filter's environment for a job, beside the
// job's arguments (mirelo::JobArguments, which carry the job from the app to
// the core). The core tells the family from the PPD's nickname, as it does
// for a CUPS queue whose backend gives no device ID.
struct CoreEnvironment {
  std::string ppd;         // the model's PPD
  std::string device_uri;  // the printer's device URI (Heron wake-ups)
  std::string tmpdir;      // the job's folder, the job user's: TMPDIR of the job process
};

using WriteFn = std::function<bool(const void* data, size_t len)>;
using CanceledFn = std::function<bool()>;
using LogFn = std::function<void(const std::string& line)>;

// Runs the core on job (its file named: PostScript after page setup, PDF for
// Heron) in the environment env and hands every byte of the printer stream
// to write, in order. While it runs, canceled is polled a few times a second;
// once it answers true the core ends the job at its next page boundary with
// its trailer and end-of-job sequence (those bytes still go to write). Each
// line the core logs goes to log. True when the core ran to its end. When the
// printer reported the job cancelled at its panel (the core's status watch of
// a finch network printer), the core ends it the same way and
// *canceled_at_device is set.
bool WriteCoreJob(const mirelo::JobArguments& job, const CoreEnvironment& env, const WriteFn& write,
                  const CanceledFn& canceled, const LogFn& log, bool* canceled_at_device = nullptr);

// True when the core's device-ID rules take the device as a supported model.
bool CoreSupportsDevice(const char* device_id);

// The core's side of WriteCoreJob, run in a child process of the program:
// main() hands over its arguments when argv[1] is kCoreJobCommand.
inline constexpr char kCoreJobCommand[] = "--core-job";
// The job process's exit status for a job cancelled at the printer's panel.
inline constexpr int kCanceledAtDeviceStatus = 3;
int CoreJobMain(int argc, char* argv[]);

}  // namespace mirelo_app
