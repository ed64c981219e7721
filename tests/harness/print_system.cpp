// SPDX-License-Identifier: Apache-2.0
// The print path under a private scheduler. See print_system.h.
#include "harness/print_system.h"

#include <cups/cups.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "harness/harness.h"
#include "harness/printer_link.h"
#include "harness/words.h"

namespace mtest {

namespace {

std::string PercentEncode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof(hex), "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string JobName(const std::string& queue, int job) { return queue + "-" + std::to_string(job); }

// True when lpstat's job list names the job (its first column).
bool ListsJob(const std::string& list, const std::string& name) {
  std::istringstream in(list);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 1, name + " ") == 0) return true;
  }
  return false;
}

}  // namespace

std::string PrinterDeviceId(const std::string& model) { return DeviceIdFor(model); }

std::string GeneratedPpd(const std::string& model) {
  std::string file = model;
  for (char& c : file) {
    if (c == ' ') c = '-';
  }
  return std::string(MIRELOPS_PPD_DIR) + "/" + file + ".ppd";
}

bool PrintSystem::Start(std::string* why) {
  if (geteuid() != 0) {
    if (why) *why = "the private scheduler runs filters as lp: the test must be root";
    return false;
  }
  if (!EnterPrivateNetwork(why)) return false;
  sched_.AddFilter("mirelops", MIRELOPS_BIN);
  sched_.AddBackend("mtest", MIRELOPS_TEST_BACKEND);
  sched_.AddModelDir("mirelo", MIRELOPS_PPD_DIR);
  if (!sched_.Start(why)) return false;
  sched_.UseFromThisProcess();
  // The backend runs as the scheduler's User and stores the jobs here.
  mkdir(OutDir().c_str(), 0755);
  chmod(OutDir().c_str(), 01777);
  return true;
}

bool PrintSystem::AddQueue(const QueueSpec& queue, std::string* err) {
  std::string uri = "mtest:" + OutDir() + "/" + queue.name + "?id=" + PercentEncode(queue.device_id);
  if (queue.delay_ms > 0) uri += "&delay=" + std::to_string(queue.delay_ms);
  return sched_.AddQueue(queue.name, uri, queue.ppd, err);
}

int PrintSystem::Submit(const std::string& queue, const std::string& file,
                        const std::vector<std::string>& lp_args, std::string* err) {
  std::vector<std::string> argv = {"lp", "-h", sched_.Socket(), "-d", queue};
  argv.insert(argv.end(), lp_args.begin(), lp_args.end());
  argv.push_back(file);
  std::string out, e;
  int rc = Run(argv, &out, &e);
  const std::string prefix = "request id is " + queue + "-";
  size_t at = out.find(prefix);
  if (rc != 0 || at == std::string::npos || !isdigit(static_cast<unsigned char>(out[at + prefix.size()]))) {
    if (err) *err = "lp failed (" + std::to_string(rc) + "): " + out + e;
    return -1;
  }
  return std::stoi(out.substr(at + prefix.size()));
}

int PrintSystem::JobState(const std::string& queue, int job) const {
  // Straight to the scheduler's socket, whatever this thread's libcups
  // took from the environment.
  http_t* http = httpConnect2(sched_.Socket().c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 10000,
                              nullptr);
  if (!http) return 0;
  cups_job_t* jobs = nullptr;
  int n = cupsGetJobs2(http, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ALL);
  int state = 0;
  for (int i = 0; i < n; ++i) {
    if (jobs[i].id == job) state = jobs[i].state;
  }
  cupsFreeJobs(n, jobs);
  httpClose(http);
  return state;
}

bool PrintSystem::WaitDone(const std::string& queue, int job, double timeout) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  do {
    int state = JobState(queue, job);
    if (state != 0 && state != IPP_JSTATE_PENDING && state != IPP_JSTATE_PROCESSING) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

bool PrintSystem::WaitPrinting(const std::string& queue, int job, size_t min_bytes, double timeout) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  do {
    struct stat st;
    if (stat(OutputPath(queue, job).c_str(), &st) == 0 && static_cast<size_t>(st.st_size) >= min_bytes) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

int PrintSystem::Cancel(int job) const { return Run({"cancel", "-h", sched_.Socket(), std::to_string(job)}); }

JobReport PrintSystem::Report(const std::string& queue, int job) const {
  JobReport r;
  r.state = JobState(queue, job);
  std::string name = JobName(queue, job);
  std::string out;
  Run({"lpstat", "-h", sched_.Socket(), "-W", "completed", "-o", queue}, &out);
  r.completed = ListsJob(out, name);
  out.clear();
  Run({"lpstat", "-h", sched_.Socket(), "-l", "-W", "all", "-o", queue}, &out);
  // The job's line and the indented lines under it.
  std::istringstream in(out);
  std::string line;
  bool in_job = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != ' ' && line[0] != '\t')
      in_job = line.compare(0, name.size() + 1, name + " ") == 0;
    if (in_job) r.long_status += line + "\n";
  }
  return r;
}

std::string PrintSystem::OutputPath(const std::string& queue, int job) const {
  return OutDir() + "/" + queue + "-" + std::to_string(job) + ".prn";
}

long PrintSystem::PageLogTotal(const std::string& queue, int job) const {
  // "<queue> <user> <job> [<date> <zone>] <page or total> <copies> ..."
  std::string log = ReadFile(sched_.Dir() + "/log/page_log"), head = queue + " ";
  for (size_t at = 0, end; at < log.size(); at = end + 1) {
    end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    char user[256], page[32];
    int id = 0;
    long count = 0;
    size_t close = line.find("] ");
    if (line.compare(0, head.size(), head) != 0 || close == std::string::npos) continue;
    if (sscanf(line.c_str() + head.size(), "%255s %d", user, &id) != 2 || id != job) continue;
    if (sscanf(line.c_str() + close + 2, "%31s %ld", page, &count) == 2 && std::string(page) == "total")
      return count;
  }
  return -1;
}

std::string PrintSystem::Output(const std::string& queue, int job) const {
  return ReadFile(OutputPath(queue, job));
}

bool PrintSystem::PrinterSawJob(const std::string& queue, int job) const {
  return FileExists(OutputPath(queue, job));
}

int PrintSystem::DeviceIdRequests(const std::string& queue, int job) const {
  std::string text = ReadFile(OutDir() + "/" + queue + "-" + std::to_string(job) + ".sc");
  return text.empty() ? -1 : atoi(text.c_str());
}

std::string PrintSystem::ListModels() const {
  std::string out;
  Run({"lpinfo", "-h", sched_.Socket(), "-m"}, &out);
  return out;
}

std::vector<std::string> PostScriptParts(const std::string& stream) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos < stream.size()) {
    size_t next = stream.find(kUel, pos);
    if (next == std::string::npos) next = stream.size();
    std::string piece = stream.substr(pos, next - pos);
    if (size_t ps = piece.find("%!"); ps != std::string::npos) {
      piece.erase(0, ps);
      while (!piece.empty() && piece.back() == '\x04') piece.pop_back();
      parts.push_back(piece);
    }
    pos = next + kUel.size();
  }
  return parts;
}

int DeviceCopies(const std::string& ps) {
  static const std::string kBlock = "%RBIBeginNonPPDFeature: *NumCopies ";
  size_t at = ps.find(kBlock);
  if (at == std::string::npos) return 1;
  return atoi(ps.c_str() + at + kBlock.size());
}

std::vector<int> RenderedPageNumbers(const std::string& file) {
  std::string out, err;
  std::vector<int> pages;
  if (Run({"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=txtwrite", "-o", "-", file}, &out,
          &err) != 0) {
    return pages;
  }
  // The test pages say "Page N of M".
  for (size_t at = out.find("Page "); at != std::string::npos; at = out.find("Page ", at + 1)) {
    size_t digits = at + 5, end = digits;
    while (end < out.size() && isdigit(static_cast<unsigned char>(out[end]))) ++end;
    if (end > digits && out.compare(end, 3, " of") == 0)
      pages.push_back(std::stoi(out.substr(digits, end - digits)));
  }
  return pages;
}

}  // namespace mtest
