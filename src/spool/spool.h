// SPDX-License-Identifier: Apache-2.0
// Spooling of standard input: the job as the scheduler pipes it in becomes
// the print file of the job, in a temporary file of the filter's own.
#pragma once

#include "job/job.h"

namespace mirelo {

struct PageIndex;

// Copy_StdinToTempFile into the job's print file, which then is the spool
// file (removed with the job): kPrinted, or kFailed, with an ERROR line
// said, when there is nothing to print.
Outcome SpoolStdin(PrintFile* print_file, PageIndex* pages = nullptr);

// The same for a print file that cannot be seeked (a FIFO, /dev/stdin on a
// pipe), open as in and named name: read once, in order, into a spool file
// that then is the print file, its bytes as they came (nothing is added).
Outcome SpoolFile(int in, const char* name, PrintFile* print_file, PageIndex* pages = nullptr);

}  // namespace mirelo
