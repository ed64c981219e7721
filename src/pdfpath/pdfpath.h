// SPDX-License-Identifier: Apache-2.0
// PDF path of the Heron family: back sides of a long-edge duplex job turned
// with qpdf, then the PDF converted to PostScript with the CUPS pdftops filter.
#pragma once

#include "job/job.h"

// True when the system qpdf reports version 8 or later.
bool getqpdfversion();

// Turns every even page by 180 degrees when the job prints long-edge duplex.
// path (512 bytes) may be replaced by the rotated file's path; the caller
// then owns that file (path's own file stays where it is).
void CreatRotateDuplex(char* const argv[], char* path);

// Removes the first occurrence of name, through the next terminator, from text.
void removestr(char* text, const char* name, char terminator);

// Converts the print file to PostScript. Returns 1 and replaces path on
// success (the caller then owns the new file), -1 on failure.
int pdf2ps(char* path, char* const argv[]);

namespace mirelo {

// The two stages on the job record: the new file takes the place of the
// job's print file (the one before it is removed when it was the filter's).
void RotateBackSides(Job* job);
int ConvertToPostScript(Job* job);

}  // namespace mirelo
