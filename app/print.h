// SPDX-License-Identifier: Apache-2.0
// The app's job path: PDF, PostScript and plain-text documents through the
// page setup a PPD queue makes, and then the filter's core on the way to the
// printer; the first-in-first-out order of a printer's jobs.
#pragma once

#include <pappl/pappl.h>

#include <string>

#include "device.h"

namespace mirelo_app {

// Plain text, printed as a CUPS queue prints it (cups-filters' texttopdf).
inline constexpr char kTextFormat[] = "text/plain";

// pappl_mime_filter_cb_t for application/pdf, application/postscript and
// text/plain (made PDF by cups-filters' texttopdf first, as a CUPS queue
// does).
bool PrintDocument(pappl_job_t* job, pappl_device_t* device, void* data);

// pappl_pr_printfile_cb_t: a document in the driver's format that no filter
// took (PAPPL's raw path): printed as PrintDocument prints it.
bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// The whole path of one document (PDF or PostScript) to the printer.
// copies_override > 0 replaces the job's copy count (raster jobs, whose
// copies PAPPL has already made); known: the printer's address.
bool PrintFile(pappl_job_t* job, pappl_device_t* device, const std::string& document, bool is_pdf,
               int copies_override, const PrinterAddress& known);

// As a job starts: a network printer's connection that PAPPL opened for it
// ends (the job connects anew to send), and where it led is kept.
PrinterAddress ReleasePapplConnection(pappl_job_t* job, pappl_device_t* device);

// A private folder for one job's files in the spool folder, the job user's,
// removed with everything in it.
class JobDir {
 public:
  JobDir();
  ~JobDir();
  JobDir(const JobDir&) = delete;
  JobDir& operator=(const JobDir&) = delete;
  bool ok() const { return path_[0] != '\0'; }
  std::string File(const char* name) const { return std::string(path_) + "/" + name; }
  const char* path() const { return path_; }

 private:
  char path_[1024] = {};
};

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

}  // namespace mirelo_app
