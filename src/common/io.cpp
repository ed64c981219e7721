// SPDX-License-Identifier: Apache-2.0
// Owners and complete-write helpers for descriptors, streams, PPDs, options,
// standard error, temporary files and text helpers.
#include "common/io.h"

#include <cerrno>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mirelo {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

UniquePpd OpenJobPpd() {
  const char* name = getenv("PPD");
  if (!name || !*name) return UniquePpd();
  return UniquePpd(ppdOpenFile(name));
}

CupsOptions::CupsOptions(const char* text) {
  if (text) num_ = cupsParseOptions(text, 0, &options_);
}

CupsOptions::~CupsOptions() { cupsFreeOptions(num_, options_); }

const char* CupsOptions::Get(const char* name) const { return cupsGetOption(name, num_, options_); }

size_t WriteAll(int fd, const void* buf, size_t len) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, p + done, len - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void ErrWriteBytes(const void* bytes, size_t len) {
  int saved = errno;
  WriteAll(2, bytes, len);
  errno = saved;
}

void ErrWrite(const char* text) { ErrWriteBytes(text, strlen(text)); }

void ErrPrintf(const char* fmt, ...) {
  char line[4096];
  int saved = errno;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof(line), fmt, ap);
  va_end(ap);
  errno = saved;
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof(line) ? static_cast<size_t>(n) : sizeof(line) - 1;
  ErrWriteBytes(line, len);
}

void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is taken: this one.
    int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd < 0) return;
    if (null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

int TempFile::Create(size_t name_size) {
  Remove();
  why_[0] = '\0';
  if (name_size > kNameSize) name_size = kNameSize;
  const char* dir = getenv("TMPDIR");
  size_t dir_len = dir ? strlen(dir) : 0;
  if (dir) {
    // cupsTempFd writes "<folder>/" and 13 characters within name_size - 1
    // bytes and cuts what does not fit: a cut name may lie in another folder.
    constexpr size_t kUniquePart = 1 + 13;
    struct stat st;
    if (dir_len == 0) {
      snprintf(why_, sizeof(why_), "TMPDIR is empty");
      return -1;
    }
    if (dir_len + kUniquePart + 1 >= name_size) {
      snprintf(why_, sizeof(why_), "the folder's name is too long (%zu characters, at most %zu)", dir_len,
               name_size - kUniquePart - 2);
      return -1;
    }
    if (stat(dir, &st) != 0) {
      snprintf(why_, sizeof(why_), "%s", strerror(errno));
      return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
      snprintf(why_, sizeof(why_), "%s", strerror(ENOTDIR));
      return -1;
    }
    if (access(dir, W_OK | X_OK) != 0) {
      snprintf(why_, sizeof(why_), "%s", strerror(errno));
      return -1;
    }
  }
  int fd = cupsTempFd(path_, static_cast<int>(name_size));
  if (fd < 0) {
    snprintf(why_, sizeof(why_), "%s", strerror(errno));
    path_[0] = '\0';
    return -1;
  }
  owned_ = true;
  // The file must lie in the folder itself ("/" names the root's own files).
  size_t prefix = dir_len == 1 && dir[0] == '/' ? 0 : dir_len;
  if (dir && (strncmp(path_, dir, prefix) != 0 || path_[prefix] != '/')) {
    close(fd);
    Remove();
    snprintf(why_, sizeof(why_), "the file was made outside the folder");
    return -1;
  }
  // Helper programs get no copy of the descriptor.
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

void TempFile::ReportFailure() const {
  const char* dir = getenv("TMPDIR");
  ErrPrintf("ERROR: Unable to create a temporary file in \"%s\": %s\n", dir ? dir : "/tmp", why_);
}

void TempFile::Remove() {
  if (owned_ && path_[0] != '\0') unlink(path_);
  owned_ = false;
}

void MaskUriPassword(const char* uri, char* out, size_t out_size) {
  if (!out || out_size == 0) return;
  if (!uri) uri = "";
  const char* colon = nullptr;
  const char* at = nullptr;
  if (const char* slashes = strstr(uri, "://")) {
    // The authority runs to the first '/', '?' or '#'; its last '@' ends
    // the user part, whose first ':' starts the password.
    const char* auth = slashes + 3;
    size_t auth_len = strcspn(auth, "/?#");
    for (size_t i = auth_len; i-- > 0;) {
      if (auth[i] == '@') {
        at = auth + i;
        break;
      }
    }
    if (at) colon = static_cast<const char*>(memchr(auth, ':', static_cast<size_t>(at - auth)));
  }
  if (!colon) {
    CopyText(out, out_size, uri);
    return;
  }
  snprintf(out, out_size, "%.*s****%s", static_cast<int>(colon + 1 - uri), uri, at);
}

const char* FindNoCase(const char* text, const char* pattern) {
  if (!pattern[0]) return text;
  const char first[3] = {static_cast<char>(tolower(static_cast<unsigned char>(pattern[0]))),
                         static_cast<char>(toupper(static_cast<unsigned char>(pattern[0]))), '\0'};
  size_t n = strlen(pattern);
  const int second = n > 1 ? tolower(static_cast<unsigned char>(pattern[1])) : 0;
  for (const char* p = strpbrk(text, first); p; p = strpbrk(p + 1, first)) {
    if (n > 1 && tolower(static_cast<unsigned char>(p[1])) != second) continue;
    if (strncasecmp(p, pattern, n) == 0) return p;
  }
  return nullptr;
}

const char* FindBytes(const char* data, size_t n, const char* text) {
  return static_cast<const char*>(memmem(data, n, text, strlen(text)));
}

bool CopyText(char* dst, size_t dst_size, const char* src) {
  if (dst_size == 0) return false;
  size_t n = strnlen(src, dst_size);
  if (n >= dst_size) {
    memcpy(dst, src, dst_size - 1);
    dst[dst_size - 1] = '\0';
    return false;
  }
  memcpy(dst, src, n + 1);
  return true;
}

}  // namespace mirelo
