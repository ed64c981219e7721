// SPDX-License-Identifier: Apache-2.0
// What the two stages of the PDF path share, and what their tests reach.
#pragma once

#include <cups/ppd.h>

#include <cstddef>
#include <string>

namespace mirelo {

// Capacity of the rotation page list: 1 MiB, which holds the list of any
// document of up to 315,465 pages.
inline constexpr size_t kPageListSize = 1048576;

// Writes the even page numbers 2,4,...,N (N the largest even number not above
// pages) into list (list_size bytes, NUL-terminated, no trailing comma).
// Returns false, with list left empty, when they do not fit.
bool MakeEvenPageList(int pages, char* list, size_t list_size);

// The job options handed to pdftops: the job's own, the layout options
// taken out.
std::string PdftopsOptions(const char* options);

// The duplex decision of a job: true when its even pages are to be turned,
// that is when the printer is told to print long-edge duplex. Decided as
// CUPS decides what pdftops writes into the stream: the queue's PPD (the
// environment's PPD) with its defaults marked, then the options that go to
// pdftops marked on it (cupsMarkOptions: Duplex choices in any letter case,
// sides, ...); true when the marked Duplex choice is DuplexNoTumble. No PPD,
// or one without a Duplex option: false.
bool WantsLongEdgeRotation(const char* options);
// The same on the job's PPD, open already (its marks are changed).
bool WantsLongEdgeRotation(ppd_file_t* ppd, const char* options);

}  // namespace mirelo
