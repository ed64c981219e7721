// SPDX-License-Identifier: Apache-2.0
// Loading the state file. PAPPL 1.3.1 drops a printer whose driver callback
// refuses it at load time, with its job history; the app never refuses a
// printer there: its driver callback takes the device ID PAPPL made up for
// the printer (see DriverCallback), and a driver that left the product list
// gets a stand-in model, the printer stopped here with the reason logged.
#include "state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "models.h"

namespace mirelo_app {

namespace {

std::atomic<bool> g_loading{false};
std::string g_spool;

// pappl_printer_cb_t: stops a printer whose driver is not one of the app's.
void StopRetired(pappl_printer_t* printer, void*) {
  const char* driver = papplPrinterGetDriverName(printer);
  if (ModelForDriver(driver)) return;
  papplPrinterPause(printer);
  papplPrinterSetReasons(printer, PAPPL_PREASON_OTHER, PAPPL_PREASON_NONE);
  papplLogPrinter(
      printer, PAPPL_LOGLEVEL_ERROR,
      "The printer's driver '%s' is no longer supported: the printer is kept with its settings and "
      "jobs, stopped. Delete it, or add it again with a driver of this version.",
      driver ? driver : "");
}

}  // namespace

bool LoadingState() { return g_loading.load(); }

bool MakeFolder(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0700);
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

void SetSpoolDirectory(const char* dir) { g_spool = dir ? dir : ""; }

const char* SpoolDirectory() { return g_spool.empty() ? papplGetTempDir() : g_spool.c_str(); }

void CleanSpool(pappl_system_t* system, const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return;
  int removed = 0;
  while (dirent* e = readdir(d)) {
    int printer_id = 0, job_id = 0;
    if (strncmp(e->d_name, "mirelo-job-", 11) == 0) {
      // A job folder of the converters: no job runs before the system does.
      int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (DIR* files = sub >= 0 ? fdopendir(sub) : nullptr) {
        while (dirent* f = readdir(files))
          if (strcmp(f->d_name, ".") && strcmp(f->d_name, "..")) unlinkat(dirfd(files), f->d_name, 0);
        closedir(files);
      } else if (sub >= 0) {
        close(sub);
      }
      removed += unlinkat(dirfd(d), e->d_name, AT_REMOVEDIR) == 0;
    } else if (strncmp(e->d_name, "mirelo-testpage-", 16) == 0) {
      removed += unlinkat(dirfd(d), e->d_name, 0) == 0;
    } else if (sscanf(e->d_name, "p%5dj%9d-", &printer_id, &job_id) == 2) {
      // PAPPL's job files: p<printer-id>j<job-id>-<name>.<ext>.
      pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr);
      if (!printer || !papplPrinterFindJob(printer, job_id)) removed += unlinkat(dirfd(d), e->d_name, 0) == 0;
    }
  }
  closedir(d);
  if (removed > 0)
    papplLog(system, PAPPL_LOGLEVEL_INFO,
             "Removed %s file(s) and folder(s) of jobs that a server before this one left in '%s'.",
             std::to_string(removed).c_str(), dir);
}

bool LoadState(pappl_system_t* system, const char* file) {
  g_loading = true;
  bool ok = papplSystemLoadState(system, file);
  g_loading = false;
  papplSystemIteratePrinters(system, StopRetired, nullptr);
  return ok;
}

}  // namespace mirelo_app
