// SPDX-License-Identifier: Apache-2.0
// The job's own connection to a network printer. PAPPL 1.3.1 opens the
// printer's device before a job and keeps it open while more jobs are
// queued, so that a socket the printer closed meanwhile is written into and
// the job reported complete. The app leaves PAPPL's device object in place
// but closes its connection (the descriptor of PAPPL's socket device, the
// first member of its device data, is made an unconnected socket) and sends
// each attempt over a connection of its own.
#include "device.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace mirelo_app {

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// PAPPL's connection on device, when its data is PAPPL's socket device: a
// stream socket. -1 otherwise.
int PapplSocket(pappl_device_t* device) {
  const int* data = device ? static_cast<const int*>(papplDeviceGetData(device)) : nullptr;
  if (!data || *data < 0) return -1;
  struct stat st;
  int type = 0;
  socklen_t len = sizeof(type);
  if (fstat(*data, &st) != 0 || !S_ISSOCK(st.st_mode) ||
      getsockopt(*data, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM)
    return -1;
  return *data;
}

// Connects to addr within timeout seconds; the connected descriptor or -1.
int ConnectTo(const sockaddr* addr, socklen_t len, double timeout, std::string* why) {
  int fd = socket(addr->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *why = strerror(errno);
    return -1;
  }
  if (connect(fd, addr, len) != 0 && errno != EINPROGRESS) {
    *why = strerror(errno);
    close(fd);
    return -1;
  }
  pollfd p = {fd, POLLOUT, 0};
  int err = 0;
  socklen_t err_len = sizeof(err);
  if (poll(&p, 1, static_cast<int>(timeout * 1000)) != 1 ||
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0 || err != 0) {
    *why = err ? strerror(err) : "no answer";
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool PrinterConnection::Handles(const char* uri) {
  return uri &&
         (!strncmp(uri, "socket://", 9) || !strncmp(uri, "dnssd://", 8) || !strncmp(uri, "snmp://", 7));
}

PrinterAddress PrinterConnection::ReleasePapplConnection(const char* uri, pappl_device_t* device) {
  PrinterAddress known;
  int pappl_fd = PapplSocket(device);
  if (pappl_fd < 0) return known;
  known.len = sizeof(known.addr);
  if (getpeername(pappl_fd, reinterpret_cast<sockaddr*>(&known.addr), &known.len) != 0) known.len = 0;
  char scheme[32], userpass[256], host[256], resource[256];
  int port = 0;
  if (known.len > 0 && uri &&
      httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), userpass, sizeof(userpass), host,
                      sizeof(host), &port, resource, sizeof(resource)) >= HTTP_URI_STATUS_OK &&
      strcmp(scheme, "socket") == 0) {
    // Only PAPPL's connection to this printer's port is taken over: a
    // descriptor that PAPPL closed meanwhile may be another connection of
    // the server's now (a client's).
    int peer_port = known.addr.ss_family == AF_INET
                        ? ntohs(reinterpret_cast<sockaddr_in*>(&known.addr)->sin_port)
                    : known.addr.ss_family == AF_INET6
                        ? ntohs(reinterpret_cast<sockaddr_in6*>(&known.addr)->sin6_port)
                        : -1;
    if (peer_port != (port > 0 ? port : 9100)) return PrinterAddress();
  }
  // PAPPL's connection ends here; its device keeps an unconnected socket.
  int blank = socket(known.len > 0 ? known.addr.ss_family : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (blank >= 0) {
    dup2(blank, pappl_fd);
    fcntl(pappl_fd, F_SETFD, FD_CLOEXEC);
    close(blank);
  }
  return known;
}

bool PrinterConnection::Connect(const char* uri, const PrinterAddress& known, std::string* why) {
  char scheme[32], userpass[256], host[256], resource[256];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), userpass, sizeof(userpass), host,
                      sizeof(host), &port, resource, sizeof(resource)) < HTTP_URI_STATUS_OK) {
    *why = std::string("bad device URI '") + uri + "'";
    return false;
  }
  if (strcmp(scheme, "socket") == 0) {
    addrinfo hints = {}, *list = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(port > 0 ? port : 9100);
    int rc = getaddrinfo(host, service.c_str(), &hints, &list);
    if (rc != 0) {
      *why = std::string("unable to find '") + host + "': " + gai_strerror(rc);
      return false;
    }
    for (addrinfo* a = list; a && !fd_.valid(); a = a->ai_next)
      fd_.reset(ConnectTo(a->ai_addr, a->ai_addrlen, 10, why));
    freeaddrinfo(list);
  } else if (known.len > 0) {
    fd_.reset(ConnectTo(reinterpret_cast<const sockaddr*>(&known.addr), known.len, 10, why));
  } else {
    *why = "the printer's address is not known";
  }
  if (fd_.valid()) return true;
  *why = std::string("unable to connect to '") + uri + "': " + *why;
  return false;
}

bool PrinterConnection::Write(const void* data, size_t len, const CanceledFn& canceled, std::string* why) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = send(fd_.get(), p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      *why = std::string("the printer's connection failed: ") + strerror(errno);
      return false;
    }
    if (canceled() && canceled_at_ == 0) canceled_at_ = Now();
    if (canceled_at_ > 0 && Now() - canceled_at_ > kCancelGrace) {
      *why = "the printer takes no data: the cancelled job's connection is closed";
      return false;
    }
    pollfd w = {fd_.get(), POLLOUT, 0};
    poll(&w, 1, 100);
  }
  return true;
}

bool PrinterConnection::Finish(const CanceledFn& canceled, std::string* why) {
  shutdown(fd_.get(), SHUT_WR);
  const double until = Now() + kCloseWait;
  char buf[4096];
  while (Now() < until) {
    if (canceled() && canceled_at_ == 0) canceled_at_ = Now();
    if (canceled_at_ > 0 && Now() - canceled_at_ > kCancelGrace) return true;
    pollfd r = {fd_.get(), POLLIN, 0};
    if (poll(&r, 1, 100) <= 0) continue;
    ssize_t n = read(fd_.get(), buf, sizeof(buf));
    if (n == 0) return true;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      *why = std::string("the printer dropped the connection before taking the whole job: ") +
             strerror(errno);
      return false;
    }
  }
  return true;  // the printer keeps the connection open: as CUPS' backend, done
}

void PrinterConnection::Abort() {
  if (!fd_.valid()) return;
  linger reset = {1, 0};
  setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  fd_.reset();
}

namespace {
thread_local bool t_job_thread = false;
}  // namespace

void SetJobThread(bool on) { t_job_thread = on; }

}  // namespace mirelo_app

// PAPPL 1.3.1 opens a job's device before the job's callback runs, and when
// that fails it stops the printer (shown as "paused") and tries again every
// five seconds, so that a socket printer that is down or resets the
// connection at once was reported paused, with no word in the job, and the
// app's own delivery (offline, "Waiting for the printer", the retries) never
// ran. The definition below, found in the program before the library's
// (PAPPL calls it through the PLT), gives a job's thread whose socket
// printer does not answer a device on /dev/null instead: the job's callback
// makes its connection of its own as always and says why it waits.
extern "C" pappl_device_t* papplDeviceOpen(const char* device_uri, const char* name,
                                           pappl_deverror_cb_t err_cb, void* err_data) {
  static const auto real = reinterpret_cast<decltype(&papplDeviceOpen)>(dlsym(RTLD_NEXT, "papplDeviceOpen"));
  pappl_device_t* device = real ? real(device_uri, name, err_cb, err_data) : nullptr;
  if (device || !real || !mirelo_app::t_job_thread || !device_uri || strncmp(device_uri, "socket://", 9) != 0)
    return device;
  return real("file:///dev/null", name, err_cb, err_data);
}
