// SPDX-License-Identifier: Apache-2.0
// Paper checks of the finch family: the PPD page size of the job, the bounds
// of a custom page size, and A5 paper fed long edge first.
#pragma once

#include <cups/ppd.h>

#include "common/io.h"

// Looks the job's PageSize up in the PPD and stores its width and length in
// whole points. Returns 1 when the job has a PageSize option, else 0.
int checkmediasize(char* const argv[], int* width, int* height);

// False when the job asks for a custom page size whose dimensions in the
// print file lie outside the printable bounds.
bool isSupportCustomPageSize(const char* options, const char* path);

// True when the job prints on A5 paper fed long edge first.
bool isA5PageSize(const char* options, const char* path);

namespace mirelo {

// The three checks on options parsed once and a PPD open already (null:
// none); the functions above are these on the argument text and the
// environment's PPD.
int PageSizeOf(const CupsOptions& options, ppd_file_t* ppd, int* width, int* height);
bool CustomSizeFits(const CupsOptions& options, const char* path);
bool IsA5LongEdge(const CupsOptions& options, ppd_file_t* ppd, const char* path);

}  // namespace mirelo
