// SPDX-License-Identifier: Apache-2.0
// Helpers for calling the PDF path in the test process: stderr captured,
// environment variables set for one test, a side channel that answers
// nothing, and stand-in qpdf programs on PATH.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
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

// Sends standard error into a file while alive.
class StderrCapture {
 public:
  StderrCapture() : path_(mtest::TempPath("stderr-" + std::to_string(count_++))) {
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { Restore(); }
  std::string Text() {
    Restore();
    return mtest::ReadFile(path_);
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  static inline int count_ = 0;
  std::string path_;
  int saved_ = -1;
};

// Sets an environment variable (or unsets it) for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

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
