// SPDX-License-Identifier: Apache-2.0
// The collated road of a finch job, private to output/ (defined in
// collated.cpp): the filter makes the copies itself.
#pragma once

#include "job/job.h"
#include "output/lines-private.h"
#include "output/tagging-private.h"

namespace mirelo {

// job.copies copies of the job: the first sent line by line and stored in
// the replay file beside the print file, every further one replayed from
// there; one end-of-job sequence closes them all.
void CollatedRoad(LineReader* in, const Job& job, const Tags& tags);

}  // namespace mirelo
