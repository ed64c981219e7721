// SPDX-License-Identifier: Apache-2.0
// The app's job path: PDF and PostScript documents through the page setup a
// PPD queue makes, raster pages as binary compressed PostScript images, and
// then the filter's core on the way to the printer.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace mirelo_app {

// pappl_mime_filter_cb_t for application/pdf, application/postscript and
// text/plain (made PDF by cups-filters' texttopdf first, as a CUPS queue
// does).
bool PrintDocument(pappl_job_t* job, pappl_device_t* device, void* data);

// pappl_pr_printfile_cb_t: a document in the driver's format that no filter
// took (PAPPL's raw path): printed as PrintDocument prints it.
bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// The raster callbacks: the pages become a PostScript document, which then
// takes the path of a PostScript document.
bool RasterStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool RasterStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool RasterWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                     const unsigned char* line);
bool RasterEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool RasterEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// pappl_pr_testpage_cb_t: writes the printer's test page (a PostScript page
// with the model and printer names in a frame) to a file in PAPPL's temporary
// folder and returns its name (in buffer), or null when it cannot.
const char* TestPage(pappl_printer_t* printer, char* buffer, size_t bufsize);

// First in, first out under PAPPL 1.3.1, which starts the newest pending
// job: FifoPrinterFrees, called as a printer is about to start its next job
// (the end of the processing of job ending_job_id), holds all pending jobs
// but the oldest, and FifoJobStarts, called as a job's processing starts,
// puts them back.
void FifoPrinterFrees(pappl_printer_t* printer, int ending_job_id);
void FifoJobStarts(pappl_job_t* job);

// Folders of the model PPDs and of the CUPS filters (build-time defaults;
// MIRELO_APP_PPD_DIR in the environment overrides the PPD folder).
const char* PpdDir();

// Appends the RunLengthDecode encoding of n bytes to out (no end marker).
void RunLengthEncode(const unsigned char* data, size_t n, std::string* out);

}  // namespace mirelo_app
