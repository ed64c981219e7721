// SPDX-License-Identifier: Apache-2.0
// Helpers for calling the PDF path in the test process: standard error
// without the identification's lines, a side channel that answers nothing,
// and stand-in qpdf programs on PATH (standard error captured and
// environment variables set for one test: harness/harness.h).
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "harness/harness.h"

// Standard error without the identification's lines (no backend answers
// in the test process, so the PPD nickname is logged).
inline std::string WithoutIdentification(std::string err) {
  for (std::string line : {std::string("cups api can't find 1284 information.\n"),
                           std::string("attr->value :Mirelo H9200DN Series PS.\n"),
                           std::string("attr->value :Mirelo P2200DN Series PS.\n")}) {
    for (size_t p; (p = err.find(line)) != std::string::npos;) err.erase(p, line.size());
  }
  return err;
}

// Descriptor 4 becomes a socket whose peer is gone: a device ID request
// fails at once, as it does for a filter without a backend.
inline void DeadSideChannel() {
  signal(SIGPIPE, SIG_IGN);
  int sv[2];
  if (socketpair(AF_LOCAL, SOCK_STREAM, 0, sv) != 0) abort();
  if (sv[0] != 4) {
    dup2(sv[0], 4);
    close(sv[0]);
  }
  if (sv[1] != 4) close(sv[1]);
}

// A PATH whose first folder holds a stand-in "qpdf" shell script with the
// given body, ahead of the system's folders.
inline std::string FakeQpdfPath(const std::string& name, const std::string& body) {
  std::string dir = mtest::TempPath(name);
  mkdir(dir.c_str(), 0755);
  std::string qpdf = dir + "/qpdf";
  mtest::WriteFile(qpdf, "#!/bin/sh\n" + body + "\n");
  chmod(qpdf.c_str(), 0755);
  return dir + ":/usr/bin:/bin";
}
