// Owners and complete-write helpers for descriptors, streams, PPDs, options,
// standard error and the printer stream on standard output.
#include "common/io.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <strings.h>
#include <sys/sendfile.h>
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

const char* CupsOptions::Get(const char* name) const {
  return cupsGetOption(name, num_, options_);
}

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

namespace {
std::atomic<bool> output_closed{false};
}

bool OutWrite(const void* buf, size_t len) {
  if (output_closed.load()) return false;
  if (WriteAll(1, buf, len) == len) return true;
  if (errno == EPIPE && !output_closed.exchange(true))
    ErrWrite("ERROR: Unable to write print data: the printer connection is closed (Broken pipe); the rest of the job is not sent.\n");
  return false;
}

bool OutputClosed() { return output_closed.load(); }

size_t OutSendFile(int fd, long long* offset, size_t len, bool* refused) {
  *refused = false;
  if (output_closed.load() || len == 0) return 0;
  for (;;) {
    off_t at = static_cast<off_t>(*offset);
    ssize_t n = sendfile(1, fd, &at, len);
    if (n > 0) {
      *offset += n;
      return static_cast<size_t>(n);
    }
    if (n < 0 && errno == EINTR) continue;
    *refused = n < 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP);
    return 0;
  }
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
