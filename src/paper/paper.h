// SPDX-License-Identifier: Apache-2.0
// Paper checks of the finch family: the PPD page size of the job, the bounds
// of a custom page size, and A5 paper fed long edge first.
#pragma once

// Looks the job's PageSize up in the PPD and stores its width and length in
// whole points. Returns 1 when the job has a PageSize option, else 0.
int checkmediasize(char* const argv[], int* width, int* height);

// False when the job asks for a custom page size whose dimensions in the
// print file lie outside the printable bounds.
bool isSupportCustomPageSize(const char* options, const char* path);

// True when the job prints on A5 paper fed long edge first.
bool isA5PageSize(const char* options, const char* path);
