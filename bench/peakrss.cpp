// SPDX-License-Identifier: Apache-2.0
// Preloaded (LD_PRELOAD) into a program that the benchmark measures: when the
// program exits, it writes the program's own peak resident set size and CPU
// times to the file named by MIRELOPS_BENCH_REPORT, one line:
//   vmhwm_kb self_cpu_s children_cpu_s
//
// VmHWM is the high-water mark of this process's own address space. It is
// read instead of getrusage's ru_maxrss, which on Linux also keeps the peak
// of the address space the process had before exec: after posix_spawn (which
// runs the child on the parent's memory until exec) that is the parent's, so
// the benchmark's own memory would be counted. Programs that the measured
// one starts (qpdf, pdftops) have their own address spaces and are not
// counted; their CPU time shows in children_cpu_s once they are waited for.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char g_report_path[1024];

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

// VmHWM of /proc/self/status in kB, -1 when it cannot be read.
long ReadVmHwm() {
  int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[8192];
  ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  const char* line = strstr(text, "\nVmHWM:");
  return line ? strtol(line + 7, nullptr, 10) : -1;
}

__attribute__((constructor)) void TakeReportPath() {
  const char* path = getenv("MIRELOPS_BENCH_REPORT");
  if (!path || strlen(path) >= sizeof(g_report_path)) return;
  memcpy(g_report_path, path, strlen(path) + 1);
  // Only this process reports: the programs it starts are not preloaded.
  unsetenv("MIRELOPS_BENCH_REPORT");
  unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) void WriteReport() {
  if (!g_report_path[0]) return;
  rusage self = {}, children = {};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  char line[256];
  int len = snprintf(line, sizeof(line), "%ld %.6f %.6f\n", ReadVmHwm(),
                     Seconds(self.ru_utime) + Seconds(self.ru_stime),
                     Seconds(children.ru_utime) + Seconds(children.ru_stime));
  int fd = open(g_report_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (len > 0 && write(fd, line, static_cast<size_t>(len)) != len) {
    // Nothing to do: the benchmark sees a short report and says so.
  }
  close(fd);
}

}  // namespace
