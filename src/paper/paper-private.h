// SPDX-License-Identifier: Apache-2.0
// The reading of page sizes out of job text, private to paper/ (and reached
// by its tests and the fuzz targets). Behaviour and messages are those of
// the paper checks in paper.cpp, which run these on each piece or line.
#pragma once

namespace mirelo {

// Reads the print file at path as text (NUL bytes and all) for the first
// line (ended by a line feed) that holds pattern, letter case ignored, and
// hands that line to check in pieces of at most 511 bytes, a NUL byte of it
// read as a blank. Returns the first verdict of check that is 0 or -1, 1
// when every piece answered 1, and -1 when the file cannot be read or no
// line holds the pattern.
int ScanFirstLine(const char* path, const char* pattern, int (*check)(const char* piece));

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
