// SPDX-License-Identifier: Apache-2.0
// Finding the printer: the queue's device URI among the CUPS destinations,
// the host of a device URI (DNS-SD ones resolved by the CUPS library's own
// resolver, reached by name at run time), and a host's numeric address.
#include "monitor/monitor-private.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <strings.h>
#include <cstring>
#include <memory>
#include <utility>

#include <cups/cups.h>

#include "common/io.h"

namespace {

// Size of the work buffers of the lookups: at most 1023 characters.
constexpr size_t kWorkSize = 1024;

// The decoding value of httpSeparateURI that decodes every part of the URI,
// and the options value handed to the resolver: every option but its
// logging (1), which writes ERROR, STATE and INFO lines to standard error
// that the scheduler would take for the job's and the printer's state.
constexpr int kUriCodingAll = 15;
constexpr int kResolveOptions = 15 & ~1;

// The CUPS library's internal URI resolver: turns a dnssd:// URI into a
// plain one and hands any other URI back unchanged.
using ResolveUriFn = const char* (*)(const char* uri, char* resolved, size_t resolved_size, int options,
                                     int (*cb)(void* context), void* context);

// Owns the destination list of cupsGetDests.
class DestList {
 public:
  DestList() { count_ = cupsGetDests(&dests_); }
  ~DestList() {
    if (dests_) cupsFreeDests(count_, dests_);
  }
  DestList(const DestList&) = delete;
  DestList& operator=(const DestList&) = delete;
  int count() const { return dests_ ? count_ : 0; }
  const cups_dest_t& operator[](int i) const { return dests_[i]; }

 private:
  int count_ = 0;
  cups_dest_t* dests_ = nullptr;
};

// Owns a handle of the dynamic loader.
class Library {
 public:
  explicit Library(const char* name) : handle_(dlopen(name, RTLD_LAZY)) {}
  ~Library() {
    if (handle_) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool loaded() const { return handle_ != nullptr; }
  void* Find(const char* symbol) const { return handle_ ? dlsym(handle_, symbol) : nullptr; }
  void Swap(Library& other) { std::swap(handle_, other.handle_); }

 private:
  void* handle_;
};

enum class HostRoutine { kPlain, kDnssd };

// The shared body of the two host routines; they differ in their messages.
bool HostFromUri(HostRoutine which, const char* uri, char* host, size_t host_size, int* port) {
  char resolved[kWorkSize] = {};
  char scheme[kWorkSize] = {};
  char userpass[kWorkSize] = {};
  char hostpart[kWorkSize] = {};
  char resource[kWorkSize] = {};
  if (!uri || !host || host_size == 0 || !port) return false;

  // Machines without the development package have only the versioned name.
  Library cups("libcups.so");
  if (!cups.loaded()) {
    if (which == HostRoutine::kDnssd) mirelo::ErrWrite("libcups.so open fail.\n");
    Library versioned("libcups.so.2");
    cups.Swap(versioned);
    if (!cups.loaded()) {
      mirelo::ErrWrite(which == HostRoutine::kDnssd ? "libcups.so.2 open fail.\n"
                                                    : "can't open libcups file!\n");
      return false;
    }
  }

  auto resolve = reinterpret_cast<ResolveUriFn>(cups.Find("_httpResolveURI"));
  if (!resolve) {
    mirelo::ErrWrite("_httpResolveURI addr get fail.\n");
    return false;
  }
  if (!resolve(uri, resolved, sizeof(resolved), kResolveOptions, nullptr, nullptr)) {
    mirelo::ErrWrite("_httpResolveURI fail.\n");
    return false;
  }
  resolved[sizeof(resolved) - 1] = '\0';
  char shown[kWorkSize];  // no password in the log
  mirelo::MaskUriPassword(resolved, shown, sizeof(shown));
  mirelo::ErrPrintf("<dnssd> resolvedURI : %s\n", shown);

  int status = httpSeparateURI(static_cast<http_uri_coding_t>(kUriCodingAll), resolved, scheme,
                               sizeof(scheme), userpass, sizeof(userpass), hostpart, sizeof(hostpart), port,
                               resource, sizeof(resource));
  if (status < 0) {
    mirelo::ErrPrintf("<dnssd> httpSeparateURI fail. cupsret=%d\n", status);
    return false;
  }
  if (which == HostRoutine::kDnssd) {
    mirelo::ErrPrintf("<dnssd> httpSeparateURI success.cupsret=%d, host=%s, port=%d\n", status, hostpart,
                      *port);
  } else {
    mirelo::ErrPrintf("<dnssd> httpSeparateURI success.cupsret=%d, host=%s\n", status, hostpart);
  }

  // Appended to what the buffer holds; a host that does not fit is not cut.
  size_t have = strnlen(host, host_size);
  size_t add = strlen(hostpart);
  if (have >= host_size || add >= host_size - have) {
    mirelo::ErrPrintf("<dnssd> host does not fit. host=%s\n", hostpart);
    return false;
  }
  memcpy(host + have, hostpart, add + 1);
  return true;
}

}  // namespace

int hex2dec(signed char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void strToLower(const char* src, char* dst, size_t dst_size) {
  if (!src || !dst || dst_size == 0) return;
  size_t i = 0;
  for (; src[i] != '\0' && i + 1 < dst_size; ++i) {
    dst[i] = static_cast<char>(tolower(static_cast<unsigned char>(src[i])));
  }
  dst[i] = '\0';
}

char* urldecode(char* text) {
  if (!text) return text;
  size_t len = strlen(text);
  // Decoding never lengthens the text, so it is done in place: the write
  // position never passes the read position.
  size_t out = 0;
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '%' && i + 2 < len) {
      int value = 16 * hex2dec(static_cast<signed char>(text[i + 1])) +
                  hex2dec(static_cast<signed char>(text[i + 2]));
      text[out++] = static_cast<char>(value & 0xFF);
      i += 2;
    } else {
      // Also a '%' among the last two characters: kept as it is.
      text[out++] = text[i];
    }
  }
  text[out] = '\0';
  return text;
}

int getPrinter_optiopns(const char* queue, char* uri, size_t uri_size, char* make_model,
                        size_t make_model_size) {
  DestList dests;
  if (!queue || !uri || !make_model || uri_size == 0 || make_model_size == 0) return 0;

  // A name too long for the work buffer is never found: cut, it could match
  // another queue.
  char wanted[kWorkSize] = {};
  if (strlen(queue) >= sizeof(wanted)) return 0;
  strToLower(queue, wanted, sizeof(wanted));

  for (int i = 0; i < dests.count(); ++i) {
    const cups_dest_t& dest = dests[i];
    if (dest.instance) continue;  // only base queues
    const char* supported = cupsGetOption("printer-uri-supported", dest.num_options, dest.options);
    if (!supported || strlen(supported) >= kWorkSize) continue;

    // Lower-cased first, decoded second: a letter sent percent-encoded keeps
    // its case.
    char decoded[kWorkSize] = {};
    strToLower(supported, decoded, sizeof(decoded));
    urldecode(decoded);
    const char* slash = strrchr(decoded, '/');
    if (!slash || strcmp(slash + 1, wanted) != 0) continue;

    const char* model = cupsGetOption("printer-make-and-model", dest.num_options, dest.options);
    mirelo::CopyText(make_model, make_model_size, model ? model : "");
    // A device URI cut short would name another device: one that does not
    // fit counts as absent.
    const char* device = cupsGetOption("device-uri", dest.num_options, dest.options);
    if (!device || !mirelo::CopyText(uri, uri_size, device)) uri[0] = '\0';
  }
  return 0;
}

bool getPrinterHostNameFromUri(const char* uri, char* host, size_t host_size, int* port) {
  return HostFromUri(HostRoutine::kPlain, uri, host, host_size, port);
}

bool getPrinterHostNameFromDNSSDUri(const char* uri, char* host, size_t host_size, int* port) {
  return HostFromUri(HostRoutine::kDnssd, uri, host, host_size, port);
}

bool IsWellFormedUri(const char* uri) {
  if (!uri || uri[0] == '\0') return false;
  char scheme[kWorkSize], userpass[kWorkSize], hostpart[kWorkSize], resource[kWorkSize];
  int port = 0;
  return httpSeparateURI(static_cast<http_uri_coding_t>(kUriCodingAll), uri, scheme, sizeof(scheme), userpass,
                         sizeof(userpass), hostpart, sizeof(hostpart), &port, resource,
                         sizeof(resource)) >= HTTP_URI_STATUS_OK;
}

bool IsUsbUri(const char* uri) { return uri && strncasecmp(uri, "usb:", 4) == 0; }

int GetIpByHostname(const char* hostname, char* ip, size_t ip_size) {
  // getaddrinfo, unlike gethostbyname, may be called from the monitoring
  // threads; IPv4 only, as the status query speaks IPv4.
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  struct addrinfo* res = nullptr;
  if (!hostname || getaddrinfo(hostname, nullptr, &hints, &res) != 0 || !res) {
    mirelo::ErrPrintf(" gethostbyname error for host:%s\n", hostname ? hostname : "(null)");
    return 1;
  }
  std::unique_ptr<struct addrinfo, decltype(&freeaddrinfo)> owner(res, freeaddrinfo);
  char text[INET6_ADDRSTRLEN] = {};
  const void* addr = nullptr;
  if (res->ai_family == AF_INET) {
    addr = &reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
  } else if (res->ai_family == AF_INET6) {
    addr = &reinterpret_cast<const sockaddr_in6*>(res->ai_addr)->sin6_addr;
  } else {
    mirelo::ErrWrite("unknown address type\n");
    return 0;
  }
  if (inet_ntop(res->ai_family, addr, text, sizeof(text)) && ip && ip_size > 0) {
    mirelo::CopyText(ip, ip_size, text);
  }
  return 0;
}
