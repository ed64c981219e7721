// SPDX-License-Identifier: Apache-2.0
// Jobs of every road as the scheduler hands them over, for the fault, storm
// and resource tests (the bytes they send: harness/words.h).
#pragma once

#include <sys/stat.h>

#include <string>

#include "harness/harness.h"
#include "harness/words.h"

namespace mtest::jobs {

inline FilterJob CollatedJob(const std::string& input, const std::string& copies) {
  FilterJob job = FinchJob(input, "Collate=True");
  job.copies = copies;
  return job;
}

// A Heron queue whose PPD asks for long-edge duplex: the back sides are turned.
inline FilterJob HeronJob(const std::string& pdf_bytes) {
  FilterJob job;
  job.ppd = FixturePpd("heron");
  job.side = {SideAnswer::Id(kHeronId), SideAnswer::Id(kHeronId), SideAnswer::Id(kHeronId)};
  job.input = pdf_bytes;
  return job;
}

// A new, empty folder under the test's temporary folder.
inline std::string FreshDir(const std::string& name) {
  static int n = 0;
  std::string dir = TempPath(name + "-" + std::to_string(++n));
  mkdir(dir.c_str(), 0755);
  return dir;
}

}  // namespace mtest::jobs
