// SPDX-License-Identifier: Apache-2.0
// Runs the built filter as the scheduler does and plays the backend on the
// side channel. See harness.h.
#include "harness/harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace mtest {
namespace {

using Clock = std::chrono::steady_clock;

// Before any test: no scheduler but a test's own (harness.h, kNoScheduler).
[[maybe_unused]] const bool kSchedulerSet = [] { return setenv("CUPS_SERVER", kNoScheduler, 1) == 0; }();

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is there; returns false at end of file or on error.
bool Drain(int fd, std::string* into, size_t max = SIZE_MAX) {
  char buf[65536];
  for (;;) {
    size_t want = sizeof(buf);
    if (max != SIZE_MAX) {
      if (into->size() >= max) return true;
      want = std::min(want, max - into->size());
    }
    ssize_t n = read(fd, buf, want);
    if (n > 0) {
      into->append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;
  }
}

struct Cleanup {
  std::string dir;
  ~Cleanup() {
    if (!dir.empty() && !getenv("MIRELOPS_KEEP_TEMP")) {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  }
};
Cleanup cleanup;

}  // namespace

std::string DeviceIdFor(const std::string& model, const std::string& maker) {
  return "MFG:" + maker + ";MDL:" + model + " series;CLS:PRINTER;";
}

namespace {

FilterJob KnownPrinterJob(const std::string& fixture, const std::string& model, const std::string& input,
                          const std::string& options) {
  FilterJob job;
  job.ppd = FixturePpd(fixture);
  const std::string id = DeviceIdFor(model);
  job.side = {SideAnswer::Id(id), SideAnswer::Id(id)};
  job.input = input;
  job.options = options;
  return job;
}

}  // namespace

FilterJob PlainJob(const std::string& input) { return KnownPrinterJob("plain", "Mirelo P2200DN", input, ""); }

FilterJob FinchJob(const std::string& input, const std::string& options) {
  return KnownPrinterJob("finch", "Mirelo F4200DN", input, options);
}

const std::string& TempDir() {
  if (cleanup.dir.empty()) {
    char tmpl[] = "/tmp/mirelops-test-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    chmod(tmpl, 0755);
    cleanup.dir = tmpl;
  }
  return cleanup.dir;
}

std::string TempPath(const std::string& name) { return TempDir() + "/" + name; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

int Run(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  int outp[2], errp[2];
  if (pipe(outp) != 0 || pipe(errp) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outp[1], 1);
    dup2(errp[1], 2);
    close(outp[0]);
    close(errp[0]);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(outp[1]);
  close(errp[1]);
  // Drain reads what is there and returns: a program that fills one pipe
  // while the other is read must not block.
  fcntl(outp[0], F_SETFL, O_NONBLOCK);
  fcntl(errp[0], F_SETFL, O_NONBLOCK);
  std::string o, e;
  struct pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        if (!Drain(fds[i].fd, i == 0 ? &o : &e)) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_fds;
        }
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (out) *out = o;
  if (err) *err = e;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

FilterResult RunFilter(const FilterJob& job) {
  FilterResult result;
  signal(SIGPIPE, SIG_IGN);  // the filter may leave before it read its input

  std::vector<std::string> args{job.queue};
  if (!job.raw_args.empty()) {
    args.insert(args.end(), job.raw_args.begin(), job.raw_args.end());
  } else {
    args.insert(args.end(), {job.job_id, job.user, job.title, job.copies, job.options});
    if (job.file) args.push_back(*job.file);
  }

  int in_pipe[2], out_pipe[2], err_pipe[2], side[2] = {-1, -1};
  int in_made = job.input_reset ? socketpair(AF_UNIX, SOCK_STREAM, 0, in_pipe) : pipe(in_pipe);
  if (in_made || pipe(out_pipe) || pipe(err_pipe)) abort();
  if (job.output_pipe_size > 0) fcntl(out_pipe[0], F_SETPIPE_SZ, job.output_pipe_size);
  int input_fd = -1;
  if (!job.input_file.empty()) {
    input_fd = open(job.input_file.c_str(), O_RDONLY);
    if (input_fd < 0) ADD_FAILURE() << "cannot open " << job.input_file;
  }
  if (!job.no_side_channel && socketpair(AF_LOCAL, SOCK_STREAM, 0, side)) abort();

  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    if (s.rfind("PPD=", 0) == 0 || s.rfind("DEVICE_URI=", 0) == 0) continue;
    if (job.env.count(s.substr(0, s.find('=')))) continue;
    env_strings.push_back(s);
  }
  if (job.ppd && !job.ppd->empty()) env_strings.push_back("PPD=" + *job.ppd);
  if (job.device_uri && !job.device_uri->empty()) env_strings.push_back("DEVICE_URI=" + *job.device_uri);
  for (const auto& [k, v] : job.env) env_strings.push_back(k + "=" + v);
  if (!job.env.count("CUPS_SERVER") && !getenv("CUPS_SERVER"))
    env_strings.push_back(std::string("CUPS_SERVER=") + kNoScheduler);

  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(input_fd >= 0 ? input_fd : in_pipe[0], 0);
    if (!job.output_file.empty()) {
      int out = open(job.output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (out < 0) _exit(126);
      dup2(out, 1);
    } else {
      dup2(out_pipe[1], 1);
    }
    dup2(err_pipe[1], 2);
    if (side[1] >= 0) dup2(side[1], 4);
    for (int fd = 3; fd < 1024; ++fd)
      if (fd != 4) close(fd);
    if (side[1] < 0) close(4);
    signal(SIGPIPE, SIG_DFL);
    if (job.file_size_limit >= 0) {
      // Writes past the limit fail with EFBIG instead of raising SIGXFSZ:
      // the disk looks full to the filter.
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl = {static_cast<rlim_t>(job.file_size_limit), static_cast<rlim_t>(job.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &rl);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    if (!job.wrapper.empty()) {
      std::vector<std::string> full = job.wrapper;
      full.push_back(MIRELOPS_BIN);
      full.insert(full.end(), args.begin() + 1, args.end());
      std::vector<char*> wargv;
      for (auto& a : full) wargv.push_back(a.data());
      wargv.push_back(nullptr);
      execvpe(wargv[0], wargv.data(), envp.data());
      _exit(127);
    }
    execve(MIRELOPS_BIN, argv.data(), envp.data());
    _exit(127);
  }

  // The parent keeps a copy of the stdin read end, so that what the filter
  // never read can be counted afterwards.
  int in_keep = in_pipe[0];
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (side[1] >= 0) close(side[1]);
  int in_w = in_pipe[1], out_r = out_pipe[0], err_r = err_pipe[0], side_r = side[0];
  SetNonBlocking(in_w);
  SetNonBlocking(out_r);
  SetNonBlocking(err_r);
  if (job.close_output) {
    close(out_r);
    out_r = -1;
  }

  size_t in_off = 0;
  if (job.input.empty() || input_fd >= 0) {
    close(in_w);
    in_w = -1;
  }
  // Output read so far, kept whole or folded into the digest.
  std::string out_chunk;
  auto take_output = [&](std::string& got) {
    result.out_size += got.size();
    if (job.digest_output) {
      result.out_digest = Digest(got, result.out_digest);
    } else {
      result.out += got;
    }
    got.clear();
  };
  double paused_since = -1;
  double stalled_since = -1;
  size_t answer_index = 0;
  std::string side_buf;
  int terms_sent = 0;
  double held_since = -1;
  bool exited = false;
  int status = 0;

  auto send_terms = [&] {
    while (terms_sent < job.term_count) {
      kill(pid, SIGTERM);
      ++terms_sent;
      if (terms_sent < job.term_count) usleep(100000);
    }
  };

  while (true) {
    if (!exited) {
      struct rusage ru = {};
      pid_t w = wait4(pid, &status, WNOHANG, &ru);
      if (w == pid) result.max_rss_kb = ru.ru_maxrss;
      if (w == pid) {
        exited = true;
        result.seconds = Since(t0);
      }
    }
    if (exited && out_r < 0 && err_r < 0) break;

    bool hold = !exited && job.hold_output_until_term && terms_sent == 0 && job.term_at_output >= 0 &&
                static_cast<long>(result.out_size) >= job.term_at_output;
    if (!exited && job.pause_output_at >= 0 && static_cast<long>(result.out_size) >= job.pause_output_at) {
      if (paused_since < 0) paused_since = Since(t0);
      if (Since(t0) - paused_since < job.pause_output_seconds) hold = true;
    }
    struct pollfd fds[4];
    int n = 0;
    int idx_in = -1, idx_out = -1, idx_err = -1, idx_side = -1;
    bool input_stalled = false;
    if (job.stall_input_at >= 0 && in_off >= static_cast<size_t>(job.stall_input_at)) {
      if (stalled_since < 0) stalled_since = Since(t0);
      input_stalled = Since(t0) - stalled_since < job.stall_input_for;
    }
    if (in_w >= 0 && !input_stalled) {
      idx_in = n;
      fds[n++] = {in_w, POLLOUT, 0};
    }
    if (out_r >= 0 && !hold) {
      idx_out = n;
      fds[n++] = {out_r, POLLIN, 0};
    }
    if (err_r >= 0) {
      idx_err = n;
      fds[n++] = {err_r, POLLIN, 0};
    }
    if (side_r >= 0) {
      idx_side = n;
      fds[n++] = {side_r, POLLIN, 0};
    }
    poll(fds, static_cast<nfds_t>(n), 20);

    if (idx_in >= 0 && (fds[idx_in].revents & (POLLOUT | POLLERR | POLLHUP))) {
      size_t want = job.input.size() - in_off;
      if (job.stall_input_at >= 0 && in_off < static_cast<size_t>(job.stall_input_at))
        want = std::min(want, static_cast<size_t>(job.stall_input_at) - in_off);
      ssize_t w = write(in_w, job.input.data() + in_off, want);
      if (w > 0) in_off += static_cast<size_t>(w);
      if (in_off >= job.input.size() || (w < 0 && errno != EAGAIN && errno != EINTR)) {
        // A socket closed with unread bytes of its own resets the connection:
        // the filter's next read after the input fails with ECONNRESET.
        if (job.input_reset && write(in_keep, "x", 1) != 1) ADD_FAILURE() << "no reset";
        close(in_w);
        in_w = -1;
      }
    }
    if (idx_out >= 0 && (fds[idx_out].revents & (POLLIN | POLLHUP | POLLERR))) {
      size_t limit = SIZE_MAX;
      if (!exited && job.hold_output_until_term && terms_sent == 0 && job.term_at_output >= 0)
        limit = static_cast<size_t>(job.term_at_output);
      if (!exited && job.pause_output_at >= 0 && paused_since < 0 &&
          static_cast<size_t>(job.pause_output_at) < limit)
        limit = static_cast<size_t>(job.pause_output_at);
      // Drain's limit counts what is in the string: hand it the room left.
      size_t room = limit == SIZE_MAX ? SIZE_MAX : (limit > result.out_size ? limit - result.out_size : 0);
      bool open_still = Drain(out_r, &out_chunk, room);
      take_output(out_chunk);
      if (!open_still) {
        result.output_pipe_size = fcntl(out_r, F_GETPIPE_SZ);
        close(out_r);
        out_r = -1;
      }
    }
    if (idx_err >= 0 && (fds[idx_err].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (!Drain(err_r, &result.err)) {
        close(err_r);
        err_r = -1;
      }
    }
    if (idx_side >= 0 && (fds[idx_side].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[4096];
      ssize_t r = read(side_r, buf, sizeof(buf));
      if (r <= 0) {
        close(side_r);
        side_r = -1;
      } else {
        side_buf.append(buf, static_cast<size_t>(r));
        while (side_r >= 0 && side_buf.size() >= 4) {
          size_t len = (static_cast<unsigned char>(side_buf[2]) << 8) |
                       static_cast<unsigned char>(side_buf[3]);
          if (side_buf.size() < 4 + len) break;
          result.side_request_bytes.push_back(side_buf.substr(0, 4 + len));
          char command = side_buf[0];
          side_buf.erase(0, 4 + len);
          ++result.side_requests;
          if (answer_index >= job.side.size()) {
            close(side_r);
            side_r = -1;
            break;
          }
          const SideAnswer& a = job.side[answer_index++];
          if (a.kind == SideAnswer::Kind::kClose) {
            close(side_r);
            side_r = -1;
            break;
          }
          if (a.kind == SideAnswer::Kind::kSilence) continue;
          std::string reply;
          if (a.kind == SideAnswer::Kind::kRaw) {
            reply = a.data;
          } else {
            reply.push_back(command);
            reply.push_back(static_cast<char>(a.status));
            reply.push_back(static_cast<char>((a.data.size() >> 8) & 0xff));
            reply.push_back(static_cast<char>(a.data.size() & 0xff));
            reply += a.data;
          }
          if (write(side_r, reply.data(), reply.size()) < 0) {
            close(side_r);
            side_r = -1;
          }
        }
      }
    }

    if (!exited && terms_sent == 0) {
      bool reached = job.term_at_output >= 0 && static_cast<long>(result.out_size) >= job.term_at_output;
      if (reached && job.hold_output_until_term) {
        // Give the filter time to fill the pipe and block in a write, so
        // that the signals meet it in the middle of the job.
        if (held_since < 0) held_since = Since(t0);
        reached = Since(t0) - held_since >= 0.2;
      }
      if (reached || (job.term_after >= 0 && Since(t0) >= job.term_after)) send_terms();
    }
    if (!exited && Since(t0) > job.timeout) {
      kill(pid, SIGKILL);
      result.timed_out = true;
    }
  }

  if (in_w >= 0) close(in_w);
  if (side_r >= 0) close(side_r);
  // in_keep shares its open file with the filter's standard input, so it
  // stays blocking; poll tells whether anything is left.
  std::string unread;
  for (struct pollfd p = {in_keep, POLLIN, 0}; poll(&p, 1, 0) == 1 && (p.revents & POLLIN);) {
    char buf[65536];
    ssize_t n = read(in_keep, buf, sizeof(buf));
    if (n <= 0) break;
    unread.append(buf, static_cast<size_t>(n));
  }
  close(in_keep);
  result.stdin_unread = unread.size() + (job.input.size() - in_off);
  if (input_fd >= 0) {
    // The filter shared this open file: what lies behind its offset is unread.
    struct stat st = {};
    off_t at = lseek(input_fd, 0, SEEK_CUR);
    if (fstat(input_fd, &st) == 0 && at >= 0 && st.st_size > at)
      result.stdin_unread = static_cast<size_t>(st.st_size - at);
    else
      result.stdin_unread = 0;
    close(input_fd);
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  // A sanitizer report fails the test whatever the test expects of the exit.
  for (const char* marker :
       {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "WARNING: ThreadSanitizer"}) {
    if (result.err.find(marker) != std::string::npos)
      ADD_FAILURE() << "sanitizer report from the filter:\n" << result.err;
  }
  if (!job.output_file.empty()) {
    result.out = ReadFile(job.output_file);
    result.out_size = result.out.size();
  }
  return result;
}

std::string PageLines(const std::string& err) {
  std::string lines;
  for (size_t at = 0; (at = err.find("PAGE: ", at)) != std::string::npos; ++at)
    if (at == 0 || err[at - 1] == '\n') lines += err.substr(at, err.find('\n', at) + 1 - at);
  return lines;
}

long CountedPages(const std::string& err) {
  std::string lines = PageLines(err);
  long total = 0;
  for (size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1) {
    long page = 0, copies = 0;
    if (sscanf(lines.c_str() + at, "PAGE: %ld %ld", &page, &copies) == 2) total += copies;
  }
  return total;
}

std::string ExpectedPageLines(int pages, int copies, int device_copies) {
  std::string lines;
  for (int c = 0; c < copies; ++c)
    for (int p = 1; p <= pages; ++p)
      lines += "PAGE: " + std::to_string(p) + " " + std::to_string(device_copies) + "\n";
  return lines;
}

int PageComments(const std::string& ps) {
  int n = 0;
  for (size_t at = ps.find("%%Page:"); at != std::string::npos; at = ps.find("%%Page:", at + 1))
    if (at == 0 || ps[at - 1] == '\n' || ps[at - 1] == '\r') ++n;
  return n;
}

size_t ChunkCut(const std::string& job, size_t from) {
  for (size_t at = from / 8192 * 8192; at < job.size(); at += 8192) {
    std::string chunk = job.substr(at, 8192);
    size_t page = chunk.find("%%Page:");
    if (page != std::string::npos && chunk.find("%%EndSetup\n%%Page:") == std::string::npos) return at + page;
  }
  return job.size();
}

unsigned long long Digest(const std::string& bytes, unsigned long long seed) {
  unsigned long long h = seed ? seed : 1469598103934665603ULL;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

unsigned long long FileDigest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned long long h = 0;
  std::string buf(1 << 20, '\0');
  while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
    h = Digest(buf.substr(0, static_cast<size_t>(in.gcount())), h);
  }
  return h;
}

const std::vector<ProductModel>& ProductModels() {
  static const std::vector<ProductModel> models = [] {
    std::ifstream in(std::string(MIRELOPS_SOURCE_DIR) + "/data/models.tsv");
    std::vector<ProductModel> list;
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      if (header) {  // the column names
        header = false;
        continue;
      }
      std::istringstream fields(line);
      ProductModel m;
      std::getline(fields, m.name, '\t');
      std::getline(fields, m.family, '\t');
      std::getline(fields, m.maker, '\t');
      list.push_back(m);
    }
    return list;
  }();
  return models;
}

std::string FixturePpd(const std::string& name) {
  return std::string(MIRELOPS_FIXTURES) + "/ppd/" + name + ".ppd";
}

std::string MakePpd(const std::string& nickname, const std::string& duplex_default,
                    const std::string& feededge_default, bool with_feededge, bool with_duplex) {
  std::string text = ReadFile(std::string(MIRELOPS_FIXTURES) + "/ppd/template.ppd.in");
  auto replace = [&](const std::string& from, const std::string& to) {
    for (size_t p; (p = text.find(from)) != std::string::npos;) text.replace(p, from.size(), to);
  };
  std::string model = nickname.substr(0, nickname.find(" Series PS"));
  replace("@PCFILE@", "TEST.PPD");
  replace("@MAKER@", "Mirelo");
  replace("@MODEL@", model);
  replace("@NICK@", nickname);
  replace("@DUPLEX@", duplex_default);
  replace("@FEEDEDGE@", feededge_default);
  auto drop_group = [&](const std::string& open, const std::string& close) {
    size_t a = text.find(open), b = text.find(close);
    if (a != std::string::npos && b != std::string::npos) text.erase(a, b + close.size() - a);
  };
  if (!with_feededge) drop_group("*OpenUI *FeedEdge", "*CloseUI: *FeedEdge");
  if (!with_duplex) drop_group("*OpenUI *Duplex", "*CloseUI: *Duplex");

  static int counter = 0;
  std::string path = TempPath("made-" + std::to_string(++counter) + ".ppd");
  WriteFile(path, text);
  return path;
}

namespace {

std::string PageSizeOperands(const std::string& size) {
  if (size == "a4") return "595 842";
  if (size == "letter") return "612 792";
  if (size == "a5") return "420 595";
  size_t x = size.find('x');
  return size.substr(0, x) + " " + size.substr(x + 1);
}

}  // namespace

std::string MakePdf(int pages, const std::string& size, bool landscape_even) {
  std::string name = "doc-" + std::to_string(pages) + "-" + size + (landscape_even ? "-land" : "") + ".pdf";
  std::string pdf = TempPath(name);
  if (FileExists(pdf)) return pdf;
  std::string dims = PageSizeOperands(size);
  std::string w = dims.substr(0, dims.find(' ')), h = dims.substr(dims.find(' ') + 1);
  std::ostringstream ps;
  ps << "%!PS\n/Helvetica findfont 24 scalefont setfont\n";
  for (int i = 1; i <= pages; ++i) {
    bool land = landscape_even && i % 2 == 0;
    ps << "<</PageSize [" << (land ? h : w) << " " << (land ? w : h) << "]>> setpagedevice\n"
       << "72 144 moveto (Page " << i << " of " << pages << ") show\n"
       << "newpath 72 72 moveto 144 72 lineto 72 216 lineto closepath fill\nshowpage\n";
  }
  std::string src = pdf + ".ps";
  WriteFile(src, ps.str());
  Run({"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite", "-o", pdf, src});
  return pdf;
}

std::string PsFromPdftops(const std::string& pdf) {
  std::string ps = pdf + ".pdftops.ps";
  if (!FileExists(ps)) Run({"/usr/bin/pdftops", pdf, ps});
  return ps;
}

std::string PsFromPs2write(const std::string& pdf) {
  std::string ps = pdf + ".ps2write.ps";
  if (!FileExists(ps))
    Run({"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=ps2write", "-o", ps, pdf});
  return ps;
}

int GsPageCount(const std::string& file) {
  std::string out, err;
  int rc = Run({"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=bbox", file}, &out, &err);
  if (rc != 0) return -1;
  int pages = 0;
  for (size_t p = 0; (p = err.find("%%BoundingBox:", p)) != std::string::npos; ++p) ++pages;
  return pages;
}

std::vector<PageBox> GsPageBoxes(const std::string& file) {
  std::string out, err;
  std::vector<PageBox> boxes;
  int rc = Run({"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=bbox", file}, &out, &err);
  if (rc != 0) return boxes;
  const std::string key = "%%HiResBoundingBox:";
  for (size_t p = 0; (p = err.find(key, p)) != std::string::npos; p += key.size()) {
    PageBox b;
    if (sscanf(err.c_str() + p + key.size(), "%lf %lf %lf %lf", &b.llx, &b.lly, &b.urx, &b.ury) == 4)
      boxes.push_back(b);
  }
  return boxes;
}

std::string WrapInPjl(const std::string& ps, const std::string& title) {
  return "\x1b%-12345X@PJL\n@PJL JOB NAME = \"" + title + "\" DISPLAY = \"42 alice " + title +
         "\"\n@PJL ENTER LANGUAGE = POSTSCRIPT\n" + ps + "\x1b%-12345X@PJL EOJ\n\x1b%-12345X";
}

std::string HexDiff(const std::string& expected, const std::string& actual) {
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
  if (i == expected.size() && i == actual.size()) return "identical";
  auto dump = [](const std::string& s, size_t from) {
    std::ostringstream o;
    size_t start = from >= 16 ? from - 16 : 0;
    for (size_t k = start; k < s.size() && k < from + 32; ++k) {
      char b[8];
      snprintf(b, sizeof(b), "%02x", static_cast<unsigned char>(s[k]));
      o << (k == from ? "[" : "") << b << (k == from ? "]" : "") << ' ';
    }
    return o.str();
  };
  std::ostringstream o;
  o << "first difference at byte " << i << " (expected " << expected.size() << " bytes, got " << actual.size()
    << ")\n  expected: " << dump(expected, i) << "\n  actual:   " << dump(actual, i);
  return o.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p += what.size()) ++n;
  return n;
}

StderrCapture::StderrCapture() {
  static int count = 0;
  path_ = TempPath("stderr-" + std::to_string(count++));
  fflush(stderr);
  saved_ = dup(2);
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 2);
  close(fd);
}

void StderrCapture::Restore() {
  if (saved_ < 0) return;
  fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  saved_ = -1;
}

std::string StderrCapture::Text() const {
  fflush(stderr);
  return ReadFile(path_);
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    setenv(name_.c_str(), old_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

}  // namespace mtest
