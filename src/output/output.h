// SPDX-License-Identifier: Apache-2.0
// PostScript output: the page-end cut-off of a cancelled job, the print-file
// copy, the PostScript writer with PJL tagging and collated copies, and the
// rewriting of page-setup and copy-count lines.
#pragma once

#include <atomic>
#include <cstddef>

#include "job/job.h"

namespace mirelo {
struct PageIndex;
}

// Closing of a cancelled job, 69 bytes on the wire: a PostScript trailer
// (always 4 pages, A4 bounding box), Ctrl-D ending the PostScript job, then
// the PJL Universal Exit Language and a line feed.
inline constexpr char kCutoffTrailer[] = "%%Trailer\nend\n%%Pages: 4\n%%BoundingBox: 0 0 595 842\n%%EOF\n"
                                         "\x04"
                                         "\x1b%-12345X\n";
inline constexpr size_t kCutoffTrailerLen = sizeof(kCutoffTrailer) - 1;
static_assert(kCutoffTrailerLen == 69);

// Size of a chunk of the chunk copies and of the line buffer's read limit.
inline constexpr size_t kChunkSize = 8192;
inline constexpr size_t kLineSize = 1024;
// The writer's line buffer: a line of up to kLineSize - 1 bytes as read, and
// room behind it for the owner, job id and A5 PJL lines (256 bytes each at
// most) that tagging appends to a job-name line.
inline constexpr size_t kLineBufSize = kLineSize + 3 * 256;

namespace mirelo {

// WritePSdataToStdout for a job record: the job's print file, its family
// and finch values, its cancel flag. Returns how the job went out (kFailed:
// an ERROR line said why; kStreamClosed: the printer stream's reader is
// gone).
Outcome WritePostScript(const Job& job, const PageIndex* pages = nullptr);

// WritePrintFileToStdout with the cut-off once canceled is raised; returns
// how the file went out, as WritePostScript does.
Outcome SendPrintFile(const char* path, const std::atomic<int>& canceled);

}  // namespace mirelo
