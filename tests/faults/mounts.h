// SPDX-License-Identifier: Apache-2.0
// Test support for the fault tests: a private mount namespace for the test
// process, in which a tiny tmpfs or a stand-in for a system program can be
// mounted without the rest of the machine seeing it. Child processes (the
// filter) inherit the namespace. Mounts are undone when the object goes.
#pragma once

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace mtest {

class PrivateMounts {
 public:
  PrivateMounts() = default;
  ~PrivateMounts() {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }
  PrivateMounts(const PrivateMounts&) = delete;
  PrivateMounts& operator=(const PrivateMounts&) = delete;

  // Enters a mount namespace of the process's own (once); false with the
  // reason when that cannot be had (not root, no permission).
  static bool Enter(std::string* why) {
    static int state = 0;  // 0 not tried, 1 in, -1 failed
    static std::string reason;
    if (state == 0) {
      if (unshare(CLONE_NEWNS) != 0) {
        reason = std::string("no private mount namespace: ") + strerror(errno);
        state = -1;
      } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        reason = std::string("cannot make / private: ") + strerror(errno);
        state = -1;
      } else {
        state = 1;
      }
    }
    if (state < 0 && why) *why = reason;
    return state > 0;
  }

  // A tmpfs of size bytes on dir.
  bool Tmpfs(const std::string& dir, size_t size, std::string* why) {
    std::string opts = "size=" + std::to_string(size) + ",mode=0755";
    return Do(mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()), dir, why);
  }
  // source mounted over target (a file over a file, a folder over a folder).
  bool Bind(const std::string& source, const std::string& target, std::string* why) {
    return Do(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), target, why);
  }

 private:
  bool Do(int rc, const std::string& target, std::string* why) {
    if (rc != 0) {
      if (why) *why = "mount on " + target + ": " + strerror(errno);
      return false;
    }
    mounted_.push_back(target);
    return true;
  }
  std::vector<std::string> mounted_;
};

// Skips the current test, with the reason, when no private mounts can be had.
#define MTEST_REQUIRE_PRIVATE_MOUNTS()                                           \
  do {                                                                           \
    std::string mtest_why_;                                                      \
    if (!::mtest::PrivateMounts::Enter(&mtest_why_)) GTEST_SKIP() << mtest_why_; \
  } while (0)

}  // namespace mtest
