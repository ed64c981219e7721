// SPDX-License-Identifier: Apache-2.0
// The reading of page sizes out of job text, private to paper/ (and reached
// by its tests and the fuzz targets). Behaviour and messages are those of
// the paper checks in paper.cpp, which run these on each piece or line.
#pragma once

namespace mirelo {

// One piece of the media-box scan's grep output (at most 511 characters):
// -1 when it holds no "[" or no "]" (the scan ends there and the page-setup
// scan decides), 0 when its box is out of the custom-size bounds, 1 when it
// is within them. Logs the four numbers it read.
int CheckMediaBoxPiece(const char* piece);

// One piece of the page-setup scan's grep output: -1 when it does not hold
// " pdfSetupPaper" (the job is accepted), 0 when its two numbers are out of
// bounds, 1 when they are within them. Logs the two numbers it read.
int CheckSetupPaperPiece(const char* piece);

// The A5 scan's rules on one line of the print file (at most 1023
// characters): true when the line shows a page size (a media box, or a call
// of the page-setup procedure), with the size in *width and *height; false
// when the scan reads on.
bool ReadA5LineSize(const char* line, int* width, int* height);

// True when a page of width by height points is A5 portrait, 2 points either way.
bool IsA5Size(int width, int height);

}  // namespace mirelo
