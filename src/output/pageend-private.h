// SPDX-License-Identifier: Apache-2.0
// Where the page-end cut-off cuts, private to output/ (and reached by its
// tests): the writers count the pages of the bytes kept before a cut.
#pragma once

#include <cstddef>

namespace mirelo {

// Where find_pageend cuts a buffer of n bytes (the offset of its page
// marker), or -1 when it holds no cut point.
long PageCutOffset(const char* buf, size_t n);

}  // namespace mirelo
