// SPDX-License-Identifier: Apache-2.0
// Paper checks of the finch family: the PPD page size of the job, the bounds
// of a custom page size, and A5 paper fed long edge first.
#pragma once

#include <cups/ppd.h>

#include "common/io.h"

namespace mirelo {

// The three checks on options parsed once and a PPD open already (null:
// none); the fixed entry points checkmediasize, isSupportCustomPageSize and
// isA5PageSize (job/entry-points.h) are these on the argument text and the
// environment's PPD.
int PageSizeOf(const CupsOptions& options, ppd_file_t* ppd, int* width, int* height);
bool CustomSizeFits(const CupsOptions& options, const char* path);
bool IsA5LongEdge(const CupsOptions& options, ppd_file_t* ppd, const char* path);

}  // namespace mirelo
