// SPDX-License-Identifier: Apache-2.0
// Replacing the print file by the output of a stage of the PDF path.
#include <unistd.h>

#include "common/io.h"
#include "filter/filter.h"
#include "pdfpath/pdfpath-private.h"

namespace mirelo {

void ReplacePrintFile(char* path, const char* new_path) {
  // The scheduler's own file (argument 6) stays where it is; only the spool
  // file and the files of earlier stages are the filter's to remove.
  if (g_bownPrintFile && path[0] != '\0') unlink(path);
  CopyText(path, kPrintPathSize, new_path);
  g_bownPrintFile = true;
}

}  // namespace mirelo
