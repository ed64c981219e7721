// SPDX-License-Identifier: Apache-2.0
// The line road of a finch job, private to output/ (defined in roads.cpp),
// which sends the job once, and the pieces it shares with the collated road
// (collated-private.h): both tag, rewrite and cut the job line by line.
#pragma once

#include <cstddef>

#include "job/job.h"
#include "output/lines-private.h"
#include "stream/pages.h"
#include "output/tagging-private.h"

namespace mirelo {

// The line road: the job once, its own copy-count block left to the
// printer.
void LineRoad(LineReader* in, const Job& job, const Tags& tags);

// Cuts a cancelled job at the page start in line, if it holds one. True when
// the job has been closed and nothing more of it may be sent.
bool CutHere(char* line, const std::atomic<int>& canceled, PageCounter* pages);

// Every byte of the line goes out, NUL bytes included, and its pages are
// counted.
void Send(const char* line, size_t len, PageCounter* pages);

// Sends the line, then clears it as far as it reached, for the next read.
void SendAndClear(char* line, size_t len, PageCounter* pages);

}  // namespace mirelo
