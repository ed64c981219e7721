// Paper checks of the finch family.
#include "paper/paper.h"

// PLACEHOLDER (finch roads, issue 4): no page size, every paper accepted.
int checkmediasize(char* const /*argv*/[], int* /*width*/, int* /*height*/) { return 0; }
bool isSupportCustomPageSize(const char* /*options*/, const char* /*path*/) { return true; }
bool isA5PageSize(const char* /*options*/, const char* /*path*/) { return false; }
