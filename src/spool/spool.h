// SPDX-License-Identifier: Apache-2.0
// Spooling of standard input: the job as the scheduler pipes it in becomes
// the print file of the job, in a temporary file of the filter's own.
#pragma once

#include <cstddef>

#include "job/job.h"

namespace mirelo {
struct PageIndex;
}

// Copies standard input into a new spool file and writes its path into path
// (kPrintPathSize bytes); the caller owns the file. Adds the end-of-job
// sequence when the input's end shows none. On failure path is left as it
// was. pages, when not null, gets the pages of the spool file, counted on
// the way.
void Copy_StdinToTempFile(char* path, mirelo::PageIndex* pages = nullptr);

// The end test of the spool: true when the text in chunk (up to its first
// NUL, at most size bytes) is 10 bytes or longer and holds no PJL Universal
// Exit Language, letter case ignored.
bool SpoolNeedsEndOfJob(const char* chunk, size_t size);

namespace mirelo {

// Copy_StdinToTempFile into the job's print file, which then is the spool
// file (removed with the job): kPrinted, or kFailed, with an ERROR line
// said, when there is nothing to print.
Outcome SpoolStdin(PrintFile* print_file, PageIndex* pages = nullptr);

// The same for a print file that cannot be seeked (a FIFO, /dev/stdin on a
// pipe), open as in and named name: read once, in order, into a spool file
// that then is the print file, its bytes as they came (nothing is added).
Outcome SpoolFile(int in, const char* name, PrintFile* print_file, PageIndex* pages = nullptr);

}  // namespace mirelo
