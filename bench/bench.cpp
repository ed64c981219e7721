// SPDX-License-Identifier: Apache-2.0
// mirelops_bench: times the filter's roads against their floors and against
// cups-filters' pstops on large cached jobs (made by bench/make-jobs.sh) and
// prints a table. scripts/bench.sh builds it and runs it.
//
// Every road runs twice: with the job named as argument 6 (file), and with
// the job on standard input from a pipe that a thread of this program fills
// (pipe), as the filter before it feeds it under CUPS; its floors (cat, the
// line loop) run both ways too, on the same pipe.
//
// Every measured program runs as the scheduler would start it: argument 0 is
// the queue name, PPD names the queue's PPD, descriptor 4 (the side channel)
// is closed so the printer is known by the PPD's nickname, DEVICE_URI is
// unset and CUPS_SERVER names a socket that does not exist, so no lookup
// reaches a scheduler or the network. Its standard output is a pipe that a
// separate thread drains, as the backend does under CUPS.
//
// Wall time runs from the spawn until the program has exited and its output
// has been drained. Peak memory and CPU times come from the program itself:
// the preloaded bench_peakrss library writes its VmHWM and its own and its
// children's CPU times when it exits (see peakrss.cpp), so neither this
// program nor the helpers that the Heron road starts are counted.
//
// Rounds are interleaved: round 0 runs every case once with a full check of
// its output, the later rounds time them again and check that each output is
// the same bytes as the checked one. A case whose output is wrong is not
// timed (unless --keep-going) and the table says why. (The Heron road's
// output differs from run to run and is checked in full every time.)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr char kQueue[] = "mirelo_bench";
constexpr char kUel[] = "\x1b%-12345X";  // PJL Universal Exit Language
constexpr char kPageComment[] = "\n%%Page: ";

// ---------------------------------------------------------------------------
// Output digest: byte count, a 64-bit hash that does not depend on how the
// stream was split into reads, and (in full mode) the DSC page comments and
// the first and last bytes.

class Digest {
 public:
  explicit Digest(bool full) : full_(full) {}

  void Add(const unsigned char* p, size_t n) {
    bytes_ += n;
    if (full_) Inspect(p, n);
    while (n && pending_len_) {
      pending_ |= static_cast<uint64_t>(*p++) << (8 * pending_len_);
      --n;
      if (++pending_len_ == 8) {
        hash_ = Mix(hash_, pending_);
        pending_ = 0;
        pending_len_ = 0;
      }
    }
    while (n >= 8) {
      uint64_t word;
      memcpy(&word, p, 8);
      hash_ = Mix(hash_, word);
      p += 8;
      n -= 8;
    }
    while (n) {
      pending_ |= static_cast<uint64_t>(*p++) << (8 * pending_len_++);
      --n;
    }
  }

  uint64_t bytes() const { return bytes_; }
  uint64_t hash() const { return Mix(Mix(hash_, pending_), bytes_); }
  long pages() const { return pages_; }
  const std::string& head() const { return head_; }
  const std::string& tail() const { return tail_; }
  uint64_t lines() const { return lines_; }

 private:
  static uint64_t Mix(uint64_t h, uint64_t w) {
    h ^= w;
    h *= 0x9E3779B97F4A7C15ULL;
    return h ^ (h >> 31);
  }

  void Inspect(const unsigned char* p, size_t n) {
    const char* c = reinterpret_cast<const char*>(p);
    if (head_.size() < kKeep) head_.append(c, std::min(n, kKeep - head_.size()));
    lines_ += static_cast<uint64_t>(std::count(c, c + n, '\n'));
    // Page comments: search the end of the previous read and this one
    // together. The carried part is shorter than the pattern, so no comment
    // is counted twice.
    std::string window = carry_;
    window.append(c, n);
    size_t plen = sizeof(kPageComment) - 1;
    for (const char* at = window.data();
         const void* hit = memmem(at, window.data() + window.size() - at, kPageComment, plen);) {
      ++pages_;
      at = static_cast<const char*>(hit) + plen;
    }
    carry_ = window.substr(window.size() - std::min(window.size(), plen - 1));
    tail_.append(c, n);
    if (tail_.size() > 2 * kKeep) tail_.erase(0, tail_.size() - kKeep);
  }

  static constexpr size_t kKeep = 256;
  bool full_;
  uint64_t bytes_ = 0;
  uint64_t hash_ = 0x243F6A8885A308D3ULL;
  uint64_t pending_ = 0;
  int pending_len_ = 0;
  long pages_ = 0;
  uint64_t lines_ = 0;
  std::string carry_ = "\n";  // a comment on the very first line counts too
  std::string head_, tail_;
};

// ---------------------------------------------------------------------------
// One run of a program.

struct RunSpec {
  std::string program;
  std::vector<std::string> argv;  // argv[0] first
  std::vector<std::string> env;
  std::string stdin_path;   // empty: /dev/null
  bool stdin_pipe = false;  // stdin_path comes through a pipe, not as the file
};

struct RunResult {
  double wall = 0;
  int exit_code = -1;
  int term_signal = 0;
  bool timed_out = false;
  bool reported = false;  // the preloaded library wrote its report
  long hwm_kb = -1;
  double self_cpu = 0, child_cpu = 0;
  long wait_maxrss_kb = -1;  // from wait4, when there is no report
  Digest out{false};
  std::string err_tail;
};

struct Settings {
  std::string filter, lineloop, preload, pstops = "/usr/lib/cups/filter/pstops";
  std::string ppd_dir, work;
  int rounds = 5;
  int slow_rounds = 3;
  double slow_seconds = 2.0;
  double timeout = 900;
  bool keep_going = false;
  std::string roads;  // --roads: the roads to run, empty for all
};
Settings g;

std::string ReadTail(const std::string& path, size_t max) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "";
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
    text.append(buf, n);
    if (text.size() > 4 * max) text.erase(0, text.size() - max);
  }
  fclose(f);
  if (text.size() > max) text.erase(0, text.size() - max);
  return text;
}

void EmptyFolder(const std::string& dir) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
}

RunResult RunOnce(const RunSpec& run, bool full_check) {
  RunResult r;
  r.out = Digest(full_check);
  std::string run_dir = g.work + "/run", report = g.work + "/report", err_path = g.work + "/stderr.txt";
  EmptyFolder(run_dir);
  unlink(report.c_str());

  int in_fd = -1, feed_fd = -1;
  if (run.stdin_pipe) {
    int in[2];
    if (pipe2(in, O_CLOEXEC) == 0) {
      in_fd = in[0];
      feed_fd = in[1];
    }
  } else {
    in_fd = open(run.stdin_path.empty() ? "/dev/null" : run.stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int out[2];
  if (in_fd < 0 || err_fd < 0 || pipe2(out, O_CLOEXEC) != 0) {
    perror("mirelops_bench: setting up a run");
    exit(2);
  }

  std::vector<char*> argv, envp;
  for (const auto& a : run.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : run.env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child gets default signal handling (as under cupsd, which resets
  // SIGPIPE) and a process group of its own, so a run that hangs can be
  // ended together with the programs it started.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int rc = posix_spawn(&pid, run.program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(in_fd);
  close(err_fd);
  close(out[1]);
  if (rc != 0) {
    fprintf(stderr, "mirelops_bench: cannot start %s: %s\n", run.program.c_str(), strerror(rc));
    exit(2);
  }

  // The feeder: the job into the pipe in 64 KiB writes, as the filter
  // before this one writes it.
  std::thread feeder;
  if (feed_fd >= 0) {
    feeder = std::thread([fd = feed_fd, path = run.stdin_path] {
      int job = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      std::vector<char> buf(64 * 1024);
      ssize_t n;
      while (job >= 0 && (n = read(job, buf.data(), buf.size())) > 0) {
        for (ssize_t done = 0; done < n;) {
          ssize_t w = write(fd, buf.data() + done, static_cast<size_t>(n - done));
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) {
            n = -1;
            break;
          }
          done += w;
        }
        if (n < 0) break;
      }
      if (job >= 0) close(job);
      close(fd);
    });
  }

  std::thread reader([&r, fd = out[0]] {
    std::vector<unsigned char> buf(256 * 1024);
    for (;;) {
      ssize_t n = read(fd, buf.data(), buf.size());
      if (n > 0) {
        r.out.Add(buf.data(), static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
  });

  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mu);
    if (!cv.wait_for(lock, std::chrono::duration<double>(g.timeout), [&] { return done; })) {
      r.timed_out = true;
      kill(-pid, SIGKILL);
    }
  });

  int status = 0;
  rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  reader.join();
  if (feeder.joinable()) feeder.join();
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
  }
  cv.notify_one();
  watchdog.join();
  close(out[0]);

  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
  r.wait_maxrss_kb = usage.ru_maxrss;
  if (FILE* f = fopen(report.c_str(), "r")) {
    r.reported = fscanf(f, "%ld %lf %lf", &r.hwm_kb, &r.self_cpu, &r.child_cpu) == 3;
    fclose(f);
  }
  if (full_check) r.err_tail = ReadTail(err_path, 1500);
  EmptyFolder(run_dir);
  return r;
}

// ---------------------------------------------------------------------------
// Jobs, roads and cases.

struct Job {
  std::string label;  // "pdftops 100 MB"
  std::string path;
  bool pdf = false;
  long pdf_pages = 0;
  uint64_t size = 0, lines = 0, hash = 0;
  long pages = 0;
};

enum class Road {
  kCat,
  kCatPipe,
  kLoop,
  kLoopPipe,
  kPlain,
  kPlainPipe,
  kPstopsPlain,
  kFinch,
  kFinchPipe,
  kPstopsFinch,
  kCollated,
  kCollatedPipe,
  kPstopsCollated,
  kHeron,
  kHeronPipe,
};

bool FedOnPipe(Road road) {
  return road == Road::kCatPipe || road == Road::kLoopPipe || road == Road::kPlainPipe ||
         road == Road::kFinchPipe || road == Road::kCollatedPipe || road == Road::kHeronPipe;
}

// The same road fed from the file.
Road FileRoad(Road road) {
  switch (road) {
    case Road::kCatPipe:
      return Road::kCat;
    case Road::kLoopPipe:
      return Road::kLoop;
    case Road::kPlainPipe:
      return Road::kPlain;
    case Road::kFinchPipe:
      return Road::kFinch;
    case Road::kCollatedPipe:
      return Road::kCollated;
    case Road::kHeronPipe:
      return Road::kHeron;
    default:
      return road;
  }
}
constexpr int kCollateCopies = 3;

const char* RoadName(Road road) {
  switch (road) {
    case Road::kCat:
      return "cat (file)";
    case Road::kCatPipe:
      return "cat (pipe)";
    case Road::kLoop:
      return "line loop (file)";
    case Road::kLoopPipe:
      return "line loop (pipe)";
    case Road::kPlain:
      return "plain road (file)";
    case Road::kPlainPipe:
      return "plain road (pipe)";
    case Road::kPstopsPlain:
      return "pstops, plain PPD";
    case Road::kFinch:
      return "finch line (file)";
    case Road::kFinchPipe:
      return "finch line (pipe)";
    case Road::kPstopsFinch:
      return "pstops, finch PPD";
    case Road::kCollated:
      return "collated x3 (file)";
    case Road::kCollatedPipe:
      return "collated x3 (pipe)";
    case Road::kPstopsCollated:
      return "pstops collated x3";
    case Road::kHeron:
      return "Heron road (file)";
    case Road::kHeronPipe:
      return "Heron road (pipe)";
  }
  return "?";
}

struct Case {
  const Job* job;
  Road road;
  RunSpec run;
  int want_runs = 0;    // samples to take; set after the check run
  std::string problem;  // why the output is wrong, empty when right
  bool timed = true;    // false: not timed because of the problem
  uint64_t ref_bytes = 0, ref_hash = 0;
  std::vector<RunResult> runs;  // timed samples
};

std::vector<std::string> BaseEnv(const std::string& ppd, bool pdf) {
  std::vector<std::string> env = {
      "PATH=/usr/lib/cups/filter:/usr/sbin:/usr/bin:/sbin:/bin",
      "HOME=" + g.work + "/run",
      "TMPDIR=" + g.work + "/run",
      "LANG=C",
      "CHARSET=utf-8",
      std::string("PRINTER=") + kQueue,
      "CUPS_SERVER=" + g.work + "/no-scheduler/cups.sock",
      std::string("CONTENT_TYPE=") + (pdf ? "application/pdf" : "application/postscript"),
      "FINAL_CONTENT_TYPE=application/vnd.cups-postscript",
      "LD_PRELOAD=" + g.preload,
      "MIRELOPS_BENCH_REPORT=" + g.work + "/report",
  };
  if (!ppd.empty()) env.push_back("PPD=" + g.ppd_dir + "/" + ppd + ".ppd");
  return env;
}

Case MakeCase(const Job& job, Road road) {
  Case c{&job, road, {}, 0, "", true, 0, 0, {}};
  RunSpec& s = c.run;
  auto filter_args = [&](const std::string& copies, const std::string& options, bool file) {
    std::vector<std::string> argv = {kQueue, "42", "bench", job.label, copies, options};
    if (file) argv.push_back(job.path);
    return argv;
  };
  bool file = !FedOnPipe(road);
  switch (FileRoad(road)) {
    case Road::kCat:
      s = {"/bin/cat", {"cat", job.path}, BaseEnv("", false), ""};
      if (!file) s.argv.pop_back();
      break;
    case Road::kLoop:
      s = {g.lineloop, {"bench_lineloop", job.path}, BaseEnv("", false), ""};
      if (!file) s.argv.pop_back();
      break;
    case Road::kPlain:
      s = {g.filter, filter_args("1", "", file), BaseEnv("plain", false), ""};
      break;
    case Road::kPstopsPlain:
      s = {g.pstops, filter_args("1", "", true), BaseEnv("plain", false), ""};
      break;
    case Road::kFinch:
      s = {g.filter, filter_args("1", "", file), BaseEnv("finch", false), ""};
      break;
    case Road::kPstopsFinch:
      s = {g.pstops, filter_args("1", "", true), BaseEnv("finch", false), ""};
      break;
    case Road::kCollated:
      s = {g.filter, filter_args(std::to_string(kCollateCopies), "Collate=True", file),
           BaseEnv("finch", false), ""};
      break;
    case Road::kPstopsCollated:
      s = {g.pstops, filter_args(std::to_string(kCollateCopies), "Collate=True", true),
           BaseEnv("finch", false), ""};
      break;
    case Road::kHeron:
      s = {g.filter, filter_args("1", "", file), BaseEnv("heron", true), ""};
      break;
    default:
      break;
  }
  if (!file) {
    s.stdin_path = job.path;
    s.stdin_pipe = true;
  }
  return c;
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The full check of a case's first output; empty when it is right.
std::string CheckOutput(const Case& c, const RunResult& r) {
  char why[512];
  if (r.timed_out) return "did not finish within the time limit";
  if (r.term_signal) {
    snprintf(why, sizeof(why), "ended by signal %d", r.term_signal);
    return why;
  }
  if (r.exit_code != 0) {
    snprintf(why, sizeof(why), "exit status %d", r.exit_code);
    return why;
  }
  const Job& job = *c.job;
  const Digest& out = r.out;
  const Road road = FileRoad(c.road);
  switch (road) {
    case Road::kCat:
    case Road::kLoop:
    case Road::kPlain:
      if (out.bytes() != job.size || out.hash() != job.hash) {
        snprintf(why, sizeof(why), "output is not the input byte for byte (%llu bytes out, %llu in)",
                 static_cast<unsigned long long>(out.bytes()), static_cast<unsigned long long>(job.size));
        return why;
      }
      return "";
    case Road::kFinch:
    case Road::kCollated: {
      long want = job.pages * (road == Road::kCollated ? kCollateCopies : 1);
      if (out.pages() != want) {
        snprintf(why, sizeof(why), "%ld pages out, %ld expected", out.pages(), want);
        return why;
      }
      if (out.head().compare(0, sizeof(kUel) - 1, kUel) != 0)
        return "output does not start with the PJL header";
      if (!EndsWith(out.tail(), kUel)) return "output does not end with the Universal Exit Language";
      return "";
    }
    case Road::kPstopsPlain:
    case Road::kPstopsFinch:
    case Road::kPstopsCollated:
      if (out.pages() < job.pages) {
        snprintf(why, sizeof(why), "%ld pages out, at least %ld expected", out.pages(), job.pages);
        return why;
      }
      return "";
    case Road::kHeron:
      if (out.pages() != job.pdf_pages) {
        snprintf(why, sizeof(why), "%ld pages out, %ld expected", out.pages(), job.pdf_pages);
        return why;
      }
      return "";
    default:
      break;
  }
  return "";
}

void ScanJob(Job& job) {
  int fd = open(job.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "mirelops_bench: %s: %s\n", job.path.c_str(), strerror(errno));
    exit(2);
  }
  Digest d(true);
  std::vector<unsigned char> buf(1 << 20);
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) d.Add(buf.data(), static_cast<size_t>(n));
  close(fd);
  job.size = d.bytes();
  job.hash = d.hash();
  job.lines = d.lines();
  job.pages = d.pages();
}

// ---------------------------------------------------------------------------
// Statistics and the table.

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double MedianWall(const Case& c) {
  std::vector<double> v;
  for (const auto& r : c.runs) v.push_back(r.wall);
  return Median(v);
}

bool Usable(const Case* c) { return c && !c->runs.empty() && c->problem.empty(); }

std::string PeakRss(const Case& c) {
  long kb = -1;
  bool from_wait = false;
  for (const auto& r : c.runs) {
    if (r.reported) {
      kb = std::max(kb, r.hwm_kb);
    } else if (r.wait_maxrss_kb > kb) {
      kb = r.wait_maxrss_kb;
      from_wait = true;
    }
  }
  if (kb < 0) return "-";
  char text[32];
  snprintf(text, sizeof(text), "%.1f MB%s", kb / 1024.0, from_wait ? "*" : "");
  return text;
}

std::string Fmt(const char* format, double v) {
  char text[64];
  snprintf(text, sizeof(text), format, v);
  return text;
}

struct Goal {
  std::string ratio;  // "0.93 of cat"
  std::string mark;   // "ok", "MISSED" or ""
};

void PrintJobTable(const Job& job, const std::vector<Case*>& cases) {
  printf("\n== %s: %s\n   %.1f MB, %.2f M lines, %ld pages\n", job.label.c_str(), job.path.c_str(),
         job.size / 1e6, job.lines / 1e6, job.pages);
  printf("   %-20s %4s %9s %8s  %-26s %-7s %10s %10s %10s %9s\n", "road", "runs", "median s", "MB/s",
         "vs floor", "goal", "vs pstops", "peak RSS", "pstops RSS", "out MB");
  auto find = [&](Road road) -> const Case* {
    for (const Case* c : cases)
      if (c->road == road) return c;
    return nullptr;
  };
  for (const Case* c : cases) {
    if (!c->problem.empty() && c->runs.empty()) {
      printf("   %-20s not timed: %s\n", RoadName(c->road), c->problem.c_str());
      continue;
    }
    double t = MedianWall(*c);
    Goal goal;
    const Case* floor = nullptr;
    const Case* pstops = nullptr;
    // Each road against its floor fed the same way (file or pipe).
    const bool pipe = FedOnPipe(c->road);
    switch (FileRoad(c->road)) {
      case Road::kPlain:
        floor = find(pipe ? Road::kCatPipe : Road::kCat);
        pstops = find(Road::kPstopsPlain);
        if (Usable(floor)) {
          double share = MedianWall(*floor) / t;
          goal = {Fmt("%.2f of cat's MB/s", share), share >= 0.8 ? "ok" : "MISSED"};
        }
        break;
      case Road::kFinch:
        floor = find(pipe ? Road::kLoopPipe : Road::kLoop);
        pstops = find(Road::kPstopsFinch);
        if (Usable(floor)) {
          double ratio = t / MedianWall(*floor);
          goal = {Fmt("%.2fx line loop time", ratio), ratio <= 1.2 ? "ok" : "MISSED"};
        }
        break;
      case Road::kCollated:
        floor = find(pipe ? Road::kFinchPipe : Road::kFinch);
        pstops = find(Road::kPstopsCollated);
        if (Usable(floor)) {
          double ratio = t / (kCollateCopies * MedianWall(*floor));
          goal = {Fmt("%.2fx 3 x line road time", ratio), ratio <= 1.1 ? "ok" : "MISSED"};
        }
        break;
      default:
        break;
    }
    // A floor of a few milliseconds is mostly process start-up (loading
    // libcups, reading the PPD): too short to judge a goal by.
    if (!goal.mark.empty() && Usable(floor) && MedianWall(*floor) < 0.05) goal.mark = "short";
    std::string vs_pstops = Usable(pstops) ? Fmt("%.2fx", t / MedianWall(*pstops)) : "";
    // The filter's peak memory beside pstops' on the same job: both link the
    // shared C++ runtime, so the two are measured alike.
    std::string rss = PeakRss(*c);
    std::string pstops_rss = Usable(pstops) ? PeakRss(*pstops) : "";
    printf("   %-20s %4zu %9.3f %8.1f  %-26s %-7s %10s %10s %10s %9.1f%s\n", RoadName(c->road),
           c->runs.size(), t, job.size / 1e6 / t, goal.ratio.c_str(), goal.mark.c_str(), vs_pstops.c_str(),
           rss.c_str(), pstops_rss.c_str(), c->runs.empty() ? 0.0 : c->runs.front().out.bytes() / 1e6,
           c->problem.empty() ? "" : ("  OUTPUT WRONG: " + c->problem).c_str());
  }
  const Case* file = find(Road::kPlain);
  const Case* in = find(Road::kPlainPipe);
  if (Usable(file) && Usable(in))
    printf("   spooling standard input costs %.3f s (%.0f%% of the plain road's time from a file)\n",
           MedianWall(*in) - MedianWall(*file),
           100 * (MedianWall(*in) - MedianWall(*file)) / MedianWall(*file));
  printf("   (pipe): the job on standard input through a pipe, as under the scheduler; each road's\n"
         "   goal is against its floor fed the same way\n");
}

void PrintHeron(const Case& c) {
  printf("\n== %s: %s\n   %.1f MB PDF, %ld pages\n", RoadName(c.road), c.job->path.c_str(), c.job->size / 1e6,
         c.job->pdf_pages);
  if (c.runs.empty()) {
    printf("   not timed: %s\n", c.problem.c_str());
    return;
  }
  std::vector<double> self, child, wall;
  for (const auto& r : c.runs) {
    wall.push_back(r.wall);
    self.push_back(r.self_cpu);
    child.push_back(r.child_cpu);
  }
  double w = Median(wall), s = Median(self), ch = Median(child);
  double share = s / w;
  printf("   %4s %9s %13s %15s %14s %-7s %16s %10s\n", "runs", "median s", "filter CPU s", "children CPU s",
         "own share", "goal", "wall - children", "peak RSS");
  printf("   %4zu %9.3f %13.3f %15.3f %13.1f%% %-7s %15.3fs %10s%s\n", c.runs.size(), w, s, ch, 100 * share,
         share < 0.05 ? "ok" : "MISSED", w - ch, PeakRss(c).c_str(),
         c.problem.empty() ? "" : ("  OUTPUT WRONG: " + c.problem).c_str());
  printf("   own share = the filter's own CPU time (user+sys, its threads included) / wall time;\n"
         "   children CPU = qpdf, pdftops and what they start; peak RSS is the filter's alone.\n");
}

void PrintGrowth(const std::vector<const Job*>& jobs, const std::vector<std::string>& labels,
                 const std::vector<Case>& cases) {
  if (jobs.size() < 2) return;
  printf("\n== Growth with the job size (pdftops jobs; median seconds, peak RSS)\n   %-20s", "road");
  for (const std::string& label : labels) printf(" %18s", label.c_str());
  for (size_t i = 1; i < jobs.size(); ++i) printf(" %14s", (labels[i - 1] + ">" + labels[i]).c_str());
  printf("\n");
  for (Road road : {Road::kCat, Road::kLoop, Road::kPlain, Road::kFinch}) {
    std::vector<const Case*> row;
    for (const Job* j : jobs) {
      const Case* found = nullptr;
      for (const Case& c : cases)
        if (c.job == j && c.road == road) found = &c;
      row.push_back(found);
    }
    printf("   %-20s", RoadName(road));
    for (const Case* c : row) {
      if (!c) {
        printf(" %18s", "-");
      } else if (c->runs.empty()) {
        printf(" %18s", "not timed");
      } else {
        char cell[64];
        snprintf(cell, sizeof(cell), "%.3fs %s", MedianWall(*c), PeakRss(*c).c_str());
        printf(" %18s", cell);
      }
    }
    for (size_t i = 1; i < row.size(); ++i) {
      if (row[i] && row[i - 1] && !row[i]->runs.empty() && !row[i - 1]->runs.empty()) {
        double size_ratio = static_cast<double>(row[i]->job->size) / row[i - 1]->job->size;
        printf(" %14s", Fmt("%.2f", MedianWall(*row[i]) / MedianWall(*row[i - 1]) / size_ratio).c_str());
      } else {
        printf(" %14s", "-");
      }
    }
    printf("\n");
  }
  printf("   A>B = time growth from size A to size B divided by the size growth (1.00: linear)\n");
}

// The --roads word of a road: cat, loop, plain, finch, collated, pstops, heron.
const char* RoadGroup(Road road) {
  switch (FileRoad(road)) {
    case Road::kCat:
      return "cat";
    case Road::kLoop:
      return "loop";
    case Road::kPlain:
      return "plain";
    case Road::kFinch:
      return "finch";
    case Road::kCollated:
      return "collated";
    case Road::kHeron:
      return "heron";
    default:
      return "pstops";
  }
}

bool Wanted(Road road) {
  if (g.roads.empty()) return true;
  std::string list = "," + g.roads + ",";
  return list.find(std::string(",") + RoadGroup(road) + ",") != std::string::npos;
}

void Usage() {
  fprintf(stderr,
          "usage: mirelops_bench --filter PATH --lineloop PATH --preload PATH --ppd-dir DIR --work DIR\n"
          "         [--pstops PATH] [--rounds N] [--slow-rounds N] [--slow-seconds S] [--timeout S]\n"
          "         [--keep-going] [--roads cat,loop,plain,finch,collated,pstops,heron]\n"
          "         --main LABEL=FILE ... [--growth LABEL=FILE ...] [--heron FILE:PAGES]\n");
  exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::pair<std::string, std::string>> main_jobs, growth_jobs;
  std::string heron;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    auto labelled = [&](const std::string& v) {
      size_t eq = v.find('=');
      if (eq == std::string::npos) Usage();
      return std::make_pair(v.substr(0, eq), v.substr(eq + 1));
    };
    if (a == "--filter")
      g.filter = value();
    else if (a == "--lineloop")
      g.lineloop = value();
    else if (a == "--preload")
      g.preload = value();
    else if (a == "--pstops")
      g.pstops = value();
    else if (a == "--ppd-dir")
      g.ppd_dir = value();
    else if (a == "--work")
      g.work = value();
    else if (a == "--rounds")
      g.rounds = std::max(1, atoi(value().c_str()));
    else if (a == "--slow-rounds")
      g.slow_rounds = std::max(1, atoi(value().c_str()));
    else if (a == "--slow-seconds")
      g.slow_seconds = atof(value().c_str());
    else if (a == "--timeout")
      g.timeout = atof(value().c_str());
    else if (a == "--keep-going")
      g.keep_going = true;
    else if (a == "--roads")
      g.roads = value();
    else if (a == "--main")
      main_jobs.push_back(labelled(value()));
    else if (a == "--growth")
      growth_jobs.push_back(labelled(value()));
    else if (a == "--heron")
      heron = value();
    else
      Usage();
  }
  if (g.filter.empty() || g.lineloop.empty() || g.preload.empty() || g.ppd_dir.empty() || g.work.empty() ||
      main_jobs.empty())
    Usage();
  fs::create_directories(g.work + "/run");

  // Jobs: one per file, scanned once (size, lines, pages, hash).
  std::map<std::string, Job> jobs;
  auto add_job = [&](const std::string& label, const std::string& path) -> Job& {
    Job& j = jobs[path];
    if (j.path.empty()) {
      j.label = label;
      j.path = path;
      fprintf(stderr, "scanning %s\n", path.c_str());
      ScanJob(j);
    }
    return j;
  };
  std::vector<Case> cases;
  auto add_case = [&](const Job& j, Road road) {
    if (!Wanted(road)) return;
    for (const Case& c : cases)
      if (c.job == &j && c.road == road) return;
    cases.push_back(MakeCase(j, road));
  };
  std::vector<const Job*> main_order, growth_order;
  std::vector<std::string> growth_labels;
  for (const auto& [label, path] : main_jobs) main_order.push_back(&add_job(label, path));
  for (const auto& [label, path] : growth_jobs) {
    growth_order.push_back(&add_job(label, path));
    growth_labels.push_back(label);
  }
  for (const Job* j : main_order)
    for (Road road : {Road::kCat, Road::kCatPipe, Road::kLoop, Road::kLoopPipe, Road::kPlain,
                      Road::kPlainPipe, Road::kPstopsPlain, Road::kFinch, Road::kFinchPipe,
                      Road::kPstopsFinch, Road::kCollated, Road::kCollatedPipe, Road::kPstopsCollated})
      add_case(*j, road);
  for (size_t i = 0; i < growth_order.size(); ++i) {
    bool biggest = growth_order.size() > 2 && i + 1 == growth_order.size();
    // The line loop on the biggest job would only repeat the 100 MB ratio at
    // several minutes a run.
    for (Road road : {Road::kCat, Road::kLoop, Road::kPlain, Road::kFinch})
      if (!(biggest && road == Road::kLoop)) add_case(*growth_order[i], road);
  }
  if (!heron.empty()) {
    size_t colon = heron.rfind(':');
    if (colon == std::string::npos) Usage();
    Job& j = add_job("500-page PDF", heron.substr(0, colon));
    j.pdf = true;
    j.pdf_pages = atol(heron.c_str() + colon + 1);
    add_case(j, Road::kHeron);
    add_case(j, Road::kHeronPipe);
  }
  // The biggest growth job gets one sample of its slow cases.
  const Job* biggest = growth_order.size() > 2 ? growth_order.back() : nullptr;

  // Round 0: every case once, fully checked.
  for (Case& c : cases) {
    fprintf(stderr, "check  %-20s %s ... ", RoadName(c.road), c.job->label.c_str());
    RunResult r = RunOnce(c.run, true);
    c.problem = CheckOutput(c, r);
    c.ref_bytes = r.out.bytes();
    c.ref_hash = r.out.hash();
    bool slow = r.wall > g.slow_seconds;
    c.want_runs = slow ? (c.job == biggest ? 1 : std::min(g.rounds, g.slow_rounds)) : g.rounds;
    fprintf(stderr, "%.3f s%s\n", r.wall, c.problem.empty() ? "" : (" -- " + c.problem).c_str());
    if (!c.problem.empty()) {
      fprintf(stderr, "       its standard error ended with:\n%s\n", r.err_tail.c_str());
      if (!g.keep_going) c.want_runs = 0;
    }
    // A slow run is long enough that the check's own cost does not matter:
    // it counts as the first sample.
    if (slow && c.want_runs > 0) c.runs.push_back(std::move(r));
  }

  // Timed rounds, interleaved.
  for (int round = 1; round <= g.rounds; ++round) {
    for (Case& c : cases) {
      if (static_cast<int>(c.runs.size()) >= c.want_runs) continue;
      fprintf(stderr, "round %d %-20s %s ... ", round, RoadName(c.road), c.job->label.c_str());
      // The Heron road's output carries what qpdf and pdftops make new for
      // every run (document IDs, temporary names): it is checked in full
      // every time instead of against the first output's bytes.
      bool same_bytes = FileRoad(c.road) != Road::kHeron;
      RunResult r = RunOnce(c.run, !same_bytes);
      fprintf(stderr, "%.3f s\n", r.wall);
      std::string wrong = same_bytes ? "" : CheckOutput(c, r);
      if (same_bytes && (r.exit_code != 0 || r.out.bytes() != c.ref_bytes || r.out.hash() != c.ref_hash)) {
        char why[256];
        snprintf(why, sizeof(why), "exit status %d, %llu bytes out, not the checked output", r.exit_code,
                 static_cast<unsigned long long>(r.out.bytes()));
        wrong = why;
      }
      if (!wrong.empty()) {
        if (c.problem.empty()) c.problem = "round " + std::to_string(round) + ": " + wrong;
        if (!g.keep_going) c.want_runs = 0;
        continue;
      }
      c.runs.push_back(std::move(r));
    }
  }

  // The table.
  utsname un = {};
  uname(&un);
  printf("mirelops benchmark: %s %s, %ld CPUs; filter %s\n", un.sysname, un.release,
         sysconf(_SC_NPROCESSORS_ONLN), g.filter.c_str());
  printf("median wall time from spawn until the output is drained; MB/s = input bytes / time;\n"
         "peak RSS = the measured process's own VmHWM (* = from wait4, no report); up to %d rounds,\n"
         "runs over %.0f s: up to %d (the checked run counts); goal \"short\": the floor ran under 50 ms,\n"
         "mostly process start-up, too short to judge\n",
         g.rounds, g.slow_seconds, g.slow_rounds);
  for (const Job* j : main_order) {
    std::vector<Case*> mine;
    for (Case& c : cases)
      if (c.job == j) mine.push_back(&c);
    PrintJobTable(*j, mine);
  }
  for (const Case& c : cases)
    if (FileRoad(c.road) == Road::kHeron) PrintHeron(c);
  PrintGrowth(growth_order, growth_labels, cases);

  bool wrong = false;
  for (const Case& c : cases) wrong = wrong || !c.problem.empty();
  if (wrong)
    printf("\nSome roads gave wrong output (see above); their rows are not timings of a working road.\n");
  return 0;
}
