// SPDX-License-Identifier: Apache-2.0
// The drivers' raster callbacks: the raster pages of a job (JPEG, PNG, PWG
// and Apple raster, which PAPPL rasterizes) become a PostScript document of
// binary, run-length compressed image pages, which then takes the path of a
// PostScript document (print.h).
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace mirelo_app {

bool RasterStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool RasterStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool RasterWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                     const unsigned char* line);
bool RasterEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool RasterEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// Appends the RunLengthDecode encoding of n bytes to out (no end marker).
void RunLengthEncode(const unsigned char* data, size_t n, std::string* out);

}  // namespace mirelo_app
