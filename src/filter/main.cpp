// SPDX-License-Identifier: Apache-2.0
// mirelops: the CUPS filter for the Mirelo PostScript laser printers.
//
// The scheduler starts it once per job as the last filter of the queue:
//   mirelops job-id user title copies options [file]
// with PPD and DEVICE_URI in the environment and the backend on the side
// channel. It checks that the printer is a supported model, takes the job,
// runs the finch paper checks, and sends the printer-ready stream to
// standard output: plain and finch models through the PostScript writer,
// Heron models (PDF in) through rotation, conversion and the print-file copy.
#include <cstdio>

#include "common/io.h"
#include "core/core.h"

int main(int argc, char* argv[]) {
  // Closed standard descriptors would be taken by the first files opened:
  // the log would end up in the spool file and so in the printed job.
  mirelo::OpenStandardDescriptors();
  setvbuf(stderr, nullptr, _IONBF, 0);

  if (argc < 6 || argc > 7) {
    mirelo::ErrPrintf("ERROR: Usage: %s job-id user title copies options [file]\n",
                      argc > 0 ? argv[0] : "mirelops");
    return 1;
  }
  return mirelo::ExitStatus(mirelo::RunJobOutcome(mirelo::FilterArguments(argc, argv)));
}
