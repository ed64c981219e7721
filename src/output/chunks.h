// SPDX-License-Identifier: Apache-2.0
// Chunk copy shared by the print-file copy and the PostScript writer's chunk
// road (private to output/).
#pragma once

namespace mirelo {

// Copies the open file fd to standard output in chunks of 8192 bytes, with
// the page-end cut-off once the job is cancelled. write_error, when not null,
// is written to standard error for a chunk that could not be sent.
void CopyChunksToStdout(int fd, const char* write_error);

}  // namespace mirelo
