// SPDX-License-Identifier: Apache-2.0
// A CUPS backend for the end-to-end tests and the demo: it plays the
// printer. It answers the filter's device ID requests on the side channel
// and stores the job it receives in a file.
//
//   DEVICE_URI = mtest:/<folder>/<name>?id=<device ID>&delay=<ms>
//
// The job goes to "<folder>/<name>-<job id>.prn"; the number of device ID
// requests it answered goes to "<folder>/<name>-<job id>.sc" when the job
// ends. id is the IEEE 1284 device ID to report (percent-encoded; empty or
// missing: the backend answers the request without an ID). delay makes a
// slow printer: the backend waits that many milliseconds after every 1024
// bytes it takes, until the scheduler cancels the job (SIGTERM), after which
// it takes the rest of the job at once.
//
// Like CUPS's own backends it ignores SIGTERM while it reads the job from
// standard input, so that whatever the filter sends after a cancel (the end
// of a cancelled job) still arrives.
#include <cups/backend.h>
#include <cups/sidechannel.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::atomic<bool> g_cancelled{false};
std::atomic<bool> g_done{false};
std::atomic<int> g_id_requests{0};

void OnTerm(int) { g_cancelled.store(true); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The value of key in the URI's query, decoded; empty when absent.
std::string QueryValue(const std::string& query, const std::string& key) {
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t end = query.find('&', pos);
    if (end == std::string::npos) end = query.size();
    std::string item = query.substr(pos, end - pos);
    if (item.compare(0, key.size() + 1, key + "=") == 0) return PercentDecode(item.substr(key.size() + 1));
    pos = end + 1;
  }
  return "";
}

// Answers side-channel requests until the job has been read.
void ServeSideChannel(const std::string& device_id) {
  while (!g_done.load()) {
    pollfd p = {CUPS_SC_FD, POLLIN, 0};
    int ready = poll(&p, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL) && !(p.revents & POLLIN)) return;
    cups_sc_command_t command = CUPS_SC_CMD_NONE;
    cups_sc_status_t status = CUPS_SC_STATUS_NONE;
    char data[2048];
    int len = sizeof(data);
    if (cupsSideChannelRead(&command, &status, data, &len, 1.0) != 0) return;  // filter gone
    if (command == CUPS_SC_CMD_GET_DEVICE_ID) {
      g_id_requests.fetch_add(1);
      cupsSideChannelWrite(command, CUPS_SC_STATUS_OK, device_id.data(), static_cast<int>(device_id.size()),
                           1.0);
    } else {
      cupsSideChannelWrite(command, CUPS_SC_STATUS_NOT_IMPLEMENTED, nullptr, 0, 1.0);
    }
  }
}

bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  setvbuf(stderr, nullptr, _IONBF, 0);
  if (argc == 1) {
    // Device discovery: this backend finds no devices of its own.
    puts("direct mtest \"Unknown\" \"Mirelo test printer\"");
    return CUPS_BACKEND_OK;
  }
  if (argc < 6 || argc > 7) {
    fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return CUPS_BACKEND_FAILED;
  }
  const char* uri_env = getenv("DEVICE_URI");
  std::string uri = uri_env ? uri_env : "";
  if (uri.compare(0, 6, "mtest:") != 0) {
    fprintf(stderr, "ERROR: DEVICE_URI is not an mtest: URI: %s\n", uri.c_str());
    return CUPS_BACKEND_FAILED;
  }
  std::string rest = uri.substr(6);
  std::string query;
  if (size_t q = rest.find('?'); q != std::string::npos) {
    query = rest.substr(q + 1);
    rest.resize(q);
  }
  while (rest.compare(0, 2, "//") == 0) rest.erase(0, 1);
  std::string path = PercentDecode(rest);
  std::string device_id = QueryValue(query, "id");
  long delay_ms = atol(QueryValue(query, "delay").c_str());

  // Only a plain job id goes into the file name.
  const char* id_arg = argv[1];
  bool plain_id = id_arg[0] != '\0' && strspn(id_arg, "0123456789") == strlen(id_arg);
  std::string job_id(plain_id ? id_arg : "x");
  std::string out_path = path + "-" + job_id + ".prn";

  struct sigaction sa = {};
  sa.sa_handler = OnTerm;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);

  int in = 0;
  if (argc == 7) {
    in = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (in < 0) {
      fprintf(stderr, "ERROR: Unable to open %s: %s\n", argv[6], strerror(errno));
      return CUPS_BACKEND_FAILED;
    }
  }
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    fprintf(stderr, "ERROR: Unable to create %s: %s\n", out_path.c_str(), strerror(errno));
    return CUPS_BACKEND_FAILED;
  }
  fprintf(stderr, "INFO: mtest printer: storing job %s in %s\n", argv[1], out_path.c_str());

  std::thread side(ServeSideChannel, device_id);

  char buf[1024];
  long total = 0;
  int status = CUPS_BACKEND_OK;
  for (;;) {
    ssize_t n = read(in, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fprintf(stderr, "ERROR: Unable to read the job: %s\n", strerror(errno));
      status = CUPS_BACKEND_FAILED;
      break;
    }
    if (n == 0) break;
    if (!WriteAll(out, buf, static_cast<size_t>(n))) {
      fprintf(stderr, "ERROR: Unable to store the job: %s\n", strerror(errno));
      status = CUPS_BACKEND_FAILED;
      break;
    }
    total += n;
    if (delay_ms > 0 && !g_cancelled.load()) usleep(static_cast<useconds_t>(delay_ms) * 1000);
  }
  close(out);
  g_done.store(true);
  side.join();

  std::string sc_path = path + "-" + job_id + ".sc";
  if (FILE* f = fopen(sc_path.c_str(), "w")) {
    fprintf(f, "%d\n", g_id_requests.load());
    fclose(f);
  }
  fprintf(stderr, "INFO: mtest printer: %ld bytes stored%s\n", total,
          g_cancelled.load() ? " (job cancelled)" : "");
  return status;
}
