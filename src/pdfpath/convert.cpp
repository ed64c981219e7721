// SPDX-License-Identifier: Apache-2.0
// PDF to PostScript conversion for the Heron family: the CUPS pdftops filter
// is run on the print file with the job's own filter arguments, the copy
// count forced to one and the layout options taken out (the filters before
// this one have applied them already). Its output goes into a new temporary
// file, which then becomes the print file.
#include "pdfpath/pdfpath.h"

#include <cups/cups.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "common/io.h"
#include "common/spawn.h"
#include "job/entry-points.h"
#include "pdfpath/pdfpath-private.h"

using mirelo::ErrPrintf;
using mirelo::ErrWrite;

namespace {

// cups-filters' pdftops filter, by its full path: the PATH of a filter also
// leads to poppler's program of the same name.
constexpr char kPdftops[] = "/usr/lib/cups/filter/pdftops";

// The copy count handed to pdftops: the printer gets the job once.
constexpr char kOneCopy[] = "1";

// Layout options taken out of the job options, in this order, each with the
// blank after it. "noCollate" goes before "Collate", which would otherwise
// match inside it.
constexpr const char* kLayoutOptions[] = {
    "page-set",
    "noCollate",
    "Collate",
    "number-up",
    "OutputOrder",
    "number-up-layout",
    "orientation-requested",
};

}  // namespace

void removestr(char* text, const char* name, char terminator) {
  if (!text || !name || terminator == '\0') {
    ErrWrite("the parameters is invalid!");
    return;
  }
  // An empty name would match at the start and remove the first option.
  if (name[0] == '\0') return;
  char* found = strstr(text, name);
  if (!found) return;
  char* end = strchr(found, terminator);
  if (!end) return;  // the last option, with no terminator after it, stays
  ++end;
  memmove(found, end, strlen(end) + 1);
}

std::string mirelo::PdftopsOptions(const char* options) {
  // A copy of the options, as long as the job's own: no option is ever cut.
  std::string text = options ? options : "";
  for (const char* name : kLayoutOptions) removestr(text.data(), name, ' ');
  text.resize(strlen(text.c_str()));
  return text;
}

int pdf2ps(char* path, char* const argv[]) {
  if (!path || !argv) {
    ErrWrite("DEBUG: Illegal input parameter.\n");
    return -1;
  }
  mirelo::Job job(mirelo::FilterArguments(6, argv));
  job.print_file.SetScheduler(path);
  int converted = mirelo::ConvertToPostScript(&job);
  if (converted == 1) {
    mirelo::CopyText(path, kPrintPathSize, job.print_file.path());
    job.print_file.Release();
  }
  return converted;
}

int mirelo::ConvertToPostScript(Job* job) {
  std::string options = PdftopsOptions(job->options_text.c_str());
  const char* path = job->print_file.path();

  // Removed on every way out but success, which makes it the print file.
  mirelo::TempFile temp;
  mirelo::UniqueFd temp_fd(temp.Create(kPrintPathSize));
  if (!temp_fd.valid()) {
    ErrWrite("DEBUG: Unable to creat tmp_pstopdf file.\n");
    temp.ReportFailure();
    return -1;
  }
  // pdftops gets the file as its standard output and nothing else of it
  // (the descriptor is closed on exec).

  const char* const pdftops_argv[] = {
      kPdftops, job->job_id.c_str(), job->user.c_str(), job->title.c_str(), kOneCopy, options.c_str(), path,
      nullptr};
  // The filter writes pdftops' output into the file itself: pdftops does not
  // notice a full disk, and a cut job must never print as the whole.
  size_t copied = 0;
  int write_errno = 0;
  int status = mirelo::RunProgramInto(pdftops_argv, temp_fd.get(), &copied, &write_errno);
  int saved_errno = errno;
  if (close(temp_fd.release()) != 0 && write_errno == 0) write_errno = errno;

  if (status == -1) {
    ErrPrintf("DEBUG: Unable to excute pdftops,err is %d\n", saved_errno);
    return -1;
  }
  if (write_errno != 0) {
    ErrPrintf("ERROR: Unable to write the converted job to a temporary file: %s\n", strerror(write_errno));
    return -1;
  }
  if (!mirelo::ExitedWith(status, 0)) {
    // A partial or empty conversion must never be printed as the job.
    if (WIFEXITED(status))
      ErrPrintf("DEBUG: pdftops failed with exit status %d.\n", WEXITSTATUS(status));
    else
      ErrPrintf("DEBUG: pdftops ended by signal %d.\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
  }
  if (copied == 0) {
    ErrWrite("DEBUG: pdftops wrote no PostScript.\n");
    return -1;
  }

  job->print_file.Adopt(&temp);
  return 1;
}
