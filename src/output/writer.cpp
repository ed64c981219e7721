// The PostScript writer: sends the job of every printer outside the Heron
// family to standard output. Plain models take the chunk road; finch models
// take the line road or, for collated jobs, the collated road.
#include <fcntl.h>
#include <unistd.h>

#include "common/io.h"
#include "filter/filter.h"
#include "output/chunks.h"
#include "output/output.h"

using mirelo::ErrWrite;

void WritePSdataToStdout(char* const argv[], const char* path) {
  (void)argv;
  mirelo::UniqueFd fd(path ? open(path, O_RDONLY | O_CLOEXEC) : -1);
  if (!fd.valid()) {
    ErrWrite("Uable open temp file error! \n");
    return;
  }
  // PLACEHOLDER (finch roads, issue 4): finch jobs take the chunk road until
  // the line and collated roads land.
  mirelo::CopyChunksToStdout(fd.get(), "write file error! \n");
}
