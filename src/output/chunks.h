// Chunk copy shared by the print-file copy and the PostScript writer's chunk
// road (private to output/).
#pragma once

namespace mirelo {

struct PageIndex;

// Copies the open file fd to standard output in chunks of 8192 bytes, with
// the page-end cut-off once the job is cancelled, and writes the PAGE line
// of every page sent. write_error, when not null, is written to standard
// error for a chunk that could not be sent. index, when not null, holds the
// file's pages as the spool counted them.
void CopyChunksToStdout(int fd, const char* write_error, const PageIndex* index = nullptr);

}  // namespace mirelo
