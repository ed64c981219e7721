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

// Page-end cut-off. buf (at least 70 bytes) holds a line or the data of one
// chunk (clear_len bytes). When cancel is nonzero and buf holds a page start,
// writes what lies before it and the trailer, and sets *written to 69.
// Returns 1 when buf holds a cut point, else 0.
int find_pageend(char* buf, int clear_len, int* written, int cancel);

// Copies the print file to standard output in chunks, with the cut-off.
void WritePrintFileToStdout(const char* path);

// Sends the PostScript job of every non-Heron printer to standard output,
// for the queue and job of argv and the finch state of the job flags.
// pages, when not null, holds the pages of the print file as the spool
// counted them.
void WritePSdataToStdout(char* const argv[], const char* path, const mirelo::PageIndex* pages = nullptr);

// Rewrites one line of a finch job in place (page size, copy-count block,
// deferred media). line is NUL-terminated text in a buffer of kLineBufSize
// bytes. *copy_block is the caller's state of the copy-count block. True
// when the line was rewritten or emptied.
bool FixPrnPageSize(char* line, int width, int height, bool* copy_block);

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
