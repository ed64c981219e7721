// SPDX-License-Identifier: Apache-2.0
// Test support: runs the built filter as the CUPS scheduler does (filter
// arguments, PPD, DEVICE_URI, a job on stdin or as argument 6) with a peer on
// descriptor 4 that plays the backend's side of the side channel, and
// captures what the filter writes, how it exits and how long it took.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mtest {

// The backend's answer to one side-channel request.
struct SideAnswer {
  enum class Kind { kReply, kRaw, kClose, kSilence };
  Kind kind = Kind::kReply;
  int status = 1;    // side-channel status byte of a reply
  std::string data;  // reply data (the device ID), or raw bytes

  // Status 1 (OK) with the device ID.
  static SideAnswer Id(const std::string& id) { return {Kind::kReply, 1, id}; }
  // The given status with no data (2 I/O error, 7 not implemented, ...).
  static SideAnswer Status(int status) { return {Kind::kReply, status, ""}; }
  // Raw bytes written as the whole reply.
  static SideAnswer Raw(const std::string& bytes) { return {Kind::kRaw, 0, bytes}; }
  // The backend closes its end of the channel.
  static SideAnswer Close() { return {Kind::kClose, 0, ""}; }
  // The backend never answers this request (a slow backend).
  static SideAnswer Silence() { return {Kind::kSilence, 0, ""}; }
};

// The device ID items of a model of the product list.
std::string DeviceIdFor(const std::string& model, const std::string& maker = "Mirelo");

struct FilterJob {
  std::string queue = "mirelo_test";  // argument 0
  std::string job_id = "42";
  std::string user = "alice";
  std::string title = "test job";
  std::string copies = "1";
  std::string options;
  std::optional<std::string> file;    // argument 6, when set
  std::vector<std::string> raw_args;  // when not empty: the whole argv after argv[0]

  std::optional<std::string> ppd;          // PPD; unset when empty
  std::optional<std::string> device_uri;   // DEVICE_URI; unset when empty
  std::map<std::string, std::string> env;  // further environment
  std::string input;                       // bytes offered on standard input
  // A slow sender: after this many input bytes (-1: never), wait
  // stall_input_for seconds before sending the rest.
  long stall_input_at = -1;
  double stall_input_for = 0;

  // Answers to the side-channel requests in order; once they run out the
  // channel is closed. With no_side_channel descriptor 4 is not open at all.
  std::vector<SideAnswer> side;
  bool no_side_channel = false;

  // Cancel: SIGTERM once this many output bytes arrived (-1: never), or
  // after this many seconds (< 0: never). term_count signals are sent.
  long term_at_output = -1;
  double term_after = -1;
  int term_count = 1;
  // Stop reading standard output after this many bytes until the SIGTERM is
  // sent, so that the filter is held in the middle of the job.
  bool hold_output_until_term = false;
  // Close the read end of standard output right away (reader gone).
  bool close_output = false;
  // Standard input is a socket that is reset after the input: the filter
  // reads every byte of it and then gets a read error instead of the end.
  bool input_reset = false;

  // Largest file the filter may write (RLIMIT_FSIZE), -1 for no limit.
  long file_size_limit = -1;

  // Standard input is this file (opened directly) instead of `input`.
  std::string input_file;
  // Standard output is this file, opened for appending, instead of a pipe;
  // `out` holds what it has afterwards.
  std::string output_file;
  // Keep only the size and a digest of standard output (for huge jobs).
  bool digest_output = false;
  // Capacity of the output pipe in bytes (0: the system's default); a small
  // pipe makes the filter block soon after the reader stops.
  int output_pipe_size = 0;
  // Stop reading standard output once this many bytes arrived, for this
  // many seconds, without any signal (-1: never).
  long pause_output_at = -1;
  double pause_output_seconds = 0;
  // Runs the filter through this program and its arguments (e.g. valgrind):
  // the wrapper gets the filter's path and then the filter's arguments.
  std::vector<std::string> wrapper;

  double timeout = 120;  // seconds before the filter is killed
};

struct FilterResult {
  std::string out;                              // bytes on standard output
  std::string err;                              // standard error
  int exit_code = -1;                           // exit status, or -1 when killed by a signal
  int term_signal = 0;                          // the signal that ended it, if any
  double seconds = 0;                           // wall time from start to exit
  size_t stdin_unread = 0;                      // bytes of input the filter never read
  int side_requests = 0;                        // side-channel requests received
  std::vector<std::string> side_request_bytes;  // the raw requests
  bool timed_out = false;
  size_t out_size = 0;                // bytes on standard output (also with digest_output)
  unsigned long long out_digest = 0;  // FNV-1a of them, with digest_output
  long max_rss_kb = 0;                // peak resident memory of the filter process
  int output_pipe_size = 0;           // capacity of the output pipe at the end
};

// FNV-1a digest of bytes, as digest_output computes it; of a whole file.
unsigned long long Digest(const std::string& bytes, unsigned long long seed = 0);
unsigned long long FileDigest(const std::string& path);

// Runs the filter as the scheduler would. CUPS_SERVER is the job's own
// (job.env), or this process's: the test's own scheduler
// (CupsScheduler::UseFromThisProcess) or kNoScheduler.
FilterResult RunFilter(const FilterJob& job);

// The CUPS_SERVER of every test program from its start (the harness sets
// it, over any inherited one) until a test names a scheduler of its own: a
// socket path that cannot exist (its folder is a device), so that libcups in
// the tests and in what they start never reaches the machine's scheduler.
inline constexpr const char kNoScheduler[] = "/dev/null/no-scheduler.sock";

// A job for the plain (Mirelo P2200DN) or the finch (Mirelo F4200DN)
// fixture queue whose backend knows the printer: it answers both device-ID
// requests of the driver with the model's ID.
FilterJob PlainJob(const std::string& input);
FilterJob FinchJob(const std::string& input, const std::string& options = "");

// A folder for this test program's files, removed at exit.
const std::string& TempDir();
std::string TempPath(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool FileExists(const std::string& path);

// Runs a program (no shell); returns the exit code (-1 when it died or did
// not start) and its standard output.
int Run(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr);

// One model of the product list data/models.tsv.
struct ProductModel {
  std::string name, family, maker;
};
// The product list, read once.
const std::vector<ProductModel>& ProductModels();

// Path of a fixture PPD: "plain", "finch", "heron", "unsupported".
std::string FixturePpd(const std::string& name);
// A PPD made from the fixture template with the given values.
std::string MakePpd(const std::string& nickname, const std::string& duplex_default = "None",
                    const std::string& feededge_default = "ShortEdge", bool with_feededge = true,
                    bool with_duplex = true);

// Real inputs, made once per test program and cached.
// A PDF of the given pages; size "a4", "letter", "a5", or "WxH" in points;
// landscape turns every second page sideways.
std::string MakePdf(int pages, const std::string& size = "a4", bool landscape_even = false);
std::string PsFromPdftops(const std::string& pdf);   // poppler's pdftops
std::string PsFromPs2write(const std::string& pdf);  // Ghostscript's ps2write
// Pages Ghostscript renders from a PostScript or PDF file, -1 when it fails.
int GsPageCount(const std::string& file);
// The bounding box of the marks on each page as Ghostscript renders it
// (llx, lly, urx, ury in points); empty when it fails.
struct PageBox {
  double llx = 0, lly = 0, urx = 0, ury = 0;
};
std::vector<PageBox> GsPageBoxes(const std::string& file);

// The job wrapped in the PJL that CUPS writes for a PPD with JCL.
std::string WrapInPjl(const std::string& ps, const std::string& title = "test job");

// Page accounting: the "PAGE: <page> <copies>" lines of the filter's
// standard error, in order; the pages they count (the sum of their copies);
// the lines of copies copies of a job of pages pages, each printed
// device_copies times; the page comments ("%%Page:" at the start of a line)
// of a PostScript stream.
std::string PageLines(const std::string& err);
long CountedPages(const std::string& err);
std::string ExpectedPageLines(int pages, int copies = 1, int device_copies = 1);
int PageComments(const std::string& ps);

// Where the chunk copy of a cancelled job, begun at the 8 KiB chunk boundary
// at or before from, cuts it: right before the page marker of the first
// chunk that holds one not directly behind the end of the setup; the job's
// size when none does.
size_t ChunkCut(const std::string& job, size_t from);

// Byte-level diff: the first difference with context, in hex.
std::string HexDiff(const std::string& expected, const std::string& actual);

// Spool files left in a folder by the filter (names that cupsTempFd makes).
std::vector<std::string> ListDir(const std::string& dir);

// How often what occurs in text (occurrences that do not overlap).
size_t Count(const std::string& text, const std::string& what);

// Standard error of the test process goes to a file while the object lives
// (or until Restore()); Text() reads what it holds so far.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture() { Restore(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  void Restore();
  std::string Text() const;

 private:
  std::string path_;
  int saved_ = -1;
};

// Sets an environment variable (or unsets it) for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace mtest
