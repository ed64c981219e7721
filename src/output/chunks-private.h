// SPDX-License-Identifier: Apache-2.0
// The chunk copy that the print-file copy and the PostScript writer's chunk
// road share (private to output/; defined in chunks.cpp).
#pragma once

#include <atomic>

namespace mirelo {

struct PageIndex;

// Copies the open file fd to standard output in chunks of 8192 bytes, with
// the page-end cut-off once canceled is raised, and writes the PAGE line
// of every page sent. write_error, when not null, is written to standard
// error, once, when the stream fails (not when its reader is gone). index,
// when not null, holds the file's pages as the spool counted them. True when
// the whole file, or a cancelled job up to its trailer, went out; false after
// a read error (reported as the job's error) or when the stream ended.
bool CopyChunksToStdout(int fd, const std::atomic<int>& canceled, const char* write_error,
                        const PageIndex* index = nullptr);

}  // namespace mirelo
