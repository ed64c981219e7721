// SPDX-License-Identifier: Apache-2.0
// Rewriting of the lines of a finch job, private to output/ (and reached by
// the tests and fuzz targets; defined in rewrite.cpp).
#pragma once

#include <cstddef>

namespace mirelo {

// FixPrnPageSize on a counted line of *len bytes in a kLineBufSize buffer;
// *len is updated. collate: the filter makes the collated copies itself,
// so the job's own copy-count block is dropped. The tests look at the
// line's text up to its first NUL; bytes behind it are kept unless the
// whole line is replaced or emptied.
bool FixLine(char* line, size_t* len, int width, int height, bool collate, bool* copy_block);

// The copy count N of a line that opens the job's copy-count block
// ("%RBIBeginNonPPDFeature: *NumCopies N", letter case ignored, text up to
// the first NUL): the copies the printer makes of every page. 0 for any
// other line.
int CopyBlockCopies(const char* line);

}  // namespace mirelo
