// SPDX-License-Identifier: Apache-2.0
// PDF path of the Heron family: back sides of a long-edge duplex job turned
// with qpdf, then the PDF converted to PostScript with the CUPS pdftops filter.
#pragma once

#include "job/job.h"

namespace mirelo {

// The two stages on the job record: the new file takes the place of the
// job's print file (the one before it is removed when it was the filter's).
void RotateBackSides(Job* job);
int ConvertToPostScript(Job* job);

}  // namespace mirelo
