// SPDX-License-Identifier: Apache-2.0
// The job path of the Printer Application. A document is brought to what
// the CUPS filter receives on a queue of the same model, by the filters such
// a queue runs, with the model's PPD: PostScript goes through CUPS's pstops,
// PDF through pdftopdf and then the pdftops filter (which renders the pages
// as PostScript and has pstops add the rest); either way the job gets the
// PJL header and the page setup (media, duplex, copies, page ranges). For
// the Heron family PostScript becomes PDF (Ghostscript) and pdftopdf does
// that part. The result goes through the core adapter to the
// printer. Raster pages (JPEG, PNG, PWG and Apple raster) come here as the
// PostScript document that raster.cpp makes of them.
#include "print.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "child.h"
#include "device.h"
#include "job-core.h"
#include "models.h"
#include "security.h"
#include "state.h"

namespace mirelo_app {

namespace {

constexpr char kGhostscript[] = "/usr/bin/gs";

struct OptionsDeleter {
  void operator()(pappl_pr_options_t* o) const { papplJobDeletePrintOptions(o); }
};
using UniqueOptions = std::unique_ptr<pappl_pr_options_t, OptionsDeleter>;

// The PPD's PageSize name of a PWG media name; a custom size otherwise, in
// whole points.
std::string PageSizeOption(const pappl_media_col_t& media) {
  static const struct {
    const char* pwg;
    const char* ppd;
  } kNames[] = {{"iso_a4_210x297mm", "A4"},     {"iso_a5_148x210mm", "A5"},
                {"iso_b5_176x250mm", "B5"},     {"na_letter_8.5x11in", "Letter"},
                {"na_legal_8.5x14in", "Legal"}, {"na_executive_7.25x10.5in", "Executive"}};
  for (const auto& n : kNames)
    if (strcmp(media.size_name, n.pwg) == 0) return std::string("PageSize=") + n.ppd;
  char text[64];
  snprintf(text, sizeof(text), "PageSize=Custom.%dx%d", (media.size_width * 72 + 1270) / 2540,
           (media.size_length * 72 + 1270) / 2540);
  return text;
}

// The job's options as the CUPS filters read them (their argument 5).
std::string OptionText(pappl_job_t* job, const pappl_pr_options_t& o, const Model& model) {
  std::string text = PageSizeOption(o.media);
  if (model.duplex) {
    if (o.sides == PAPPL_SIDES_TWO_SIDED_LONG_EDGE)
      text += " sides=two-sided-long-edge Duplex=DuplexNoTumble";
    else if (o.sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE)
      text += " sides=two-sided-short-edge Duplex=DuplexTumble";
    else
      text += " sides=one-sided Duplex=None";
  }
  if (o.first_page > 1 || (o.last_page > 0 && o.last_page < static_cast<unsigned>(INT_MAX))) {
    char range[64];
    snprintf(range, sizeof(range), " page-ranges=%u-%u", o.first_page,
             o.last_page < static_cast<unsigned>(INT_MAX) ? o.last_page : 999999u);
    text += range;
  }
  // Collated copies unless the job asks for uncollated ones: the printer's
  // multiple-document-handling-default (PAPPL's, fixed) is
  // separate-documents-collated-copies. Collated as a CUPS queue asks: a
  // true Collate option. One copy is no collation: the job takes the road a
  // CUPS queue gives it.
  ipp_attribute_t* mdh = papplJobGetAttribute(job, "multiple-document-handling");
  const char* mdh_value = mdh ? ippGetString(mdh, 0, nullptr) : nullptr;
  if (o.copies > 1 && (!mdh_value || strcmp(mdh_value, "separate-documents-uncollated-copies") != 0))
    text += " Collate=True";
  if (model.family == Family::kFinch) {
    // The job's feed edge, or the printer's feed-edge-default (PAPPL 1.3.1
    // looks for the default among the job's attributes and finds none).
    std::string edge;
    if (const char* value = cupsGetOption("feed-edge", o.num_vendor, o.vendor)) {
      edge = value;
    } else if (ipp_t* attrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job))) {
      const char* value = ippGetString(ippFindAttribute(attrs, "feed-edge-default", IPP_TAG_ZERO), 0,
                                       nullptr);
      edge = value ? value : "";
      ippDelete(attrs);
    }
    text += edge == "short-edge" ? " FeedEdge=ShortEdge" : " FeedEdge=LongEdge";
  }
  return text;
}

// One line of the core's (or a converter's) standard error into the job's
// log, at the level its CUPS prefix says (a line without one is debug, as
// under cupsd); an error line also becomes the job's state message.
void LogLine(pappl_job_t* job, const std::string& line) {
  // As the CUPS scheduler reads them: the level up to the colon, blanks
  // after it skipped (libcups writes "ERROR:" with none before a message of
  // its own).
  static const struct {
    const char* prefix;
    pappl_loglevel_t level;
  } kLevels[] = {{"EMERG:", PAPPL_LOGLEVEL_FATAL},  {"ALERT:", PAPPL_LOGLEVEL_FATAL},
                 {"CRIT:", PAPPL_LOGLEVEL_FATAL},   {"ERROR:", PAPPL_LOGLEVEL_ERROR},
                 {"WARNING:", PAPPL_LOGLEVEL_WARN}, {"NOTICE:", PAPPL_LOGLEVEL_INFO},
                 {"INFO:", PAPPL_LOGLEVEL_INFO}};
  for (const auto& l : kLevels) {
    if (line.compare(0, strlen(l.prefix), l.prefix) != 0) continue;
    const char* text = line.c_str() + strlen(l.prefix);
    while (*text == ' ' || *text == '\t') ++text;
    papplLogJob(job, l.level, "%s", text);
    if (l.level >= PAPPL_LOGLEVEL_ERROR) papplJobSetMessage(job, "%s", text);
    return;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "%s", line.c_str());
}

// Runs command with its standard output into the file at out_path. A cancel
// ends the program (SIGTERM, SIGKILL a second later); the job's check says
// cancelled then.
bool RunInto(pappl_job_t* job, const Command& command, const std::string& out_path) {
  int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to create '%s': %s", out_path.c_str(), strerror(errno));
    return false;
  }
  OpenToJobUser(fd);
  std::string why;
  pid_t pid = StartProgram(command, -1, fd, 2, &why);
  close(fd);
  if (pid < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
    return false;
  }
  using Clock = std::chrono::steady_clock;
  const std::string& name = command.program.empty() ? command.argv[0] : command.program;
  const Clock::time_point started = Clock::now();
  const int time_limit = Limits().time_seconds;
  Clock::time_point term_at{};
  bool term_sent = false, kill_sent = false, over_time = false;
  // Until the program has ended (left for WaitProgram to collect), with the
  // cancel and the wall-clock limit in view.
  for (;;) {
    siginfo_t info = {};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
      break;
    if (!over_time && time_limit > 0 && Clock::now() - started > std::chrono::seconds(time_limit)) {
      kill(pid, SIGKILL);
      over_time = true;
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s exceeded its time limit of %s seconds and was stopped",
                  name.c_str(), std::to_string(time_limit).c_str());
    } else if (!term_sent && papplJobIsCanceled(job)) {
      kill(pid, SIGTERM);
      term_sent = true;
      term_at = Clock::now();
    } else if (term_sent && !kill_sent && Clock::now() - term_at > std::chrono::seconds(1)) {
      kill(pid, SIGKILL);
      kill_sent = true;
    }
    usleep(20000);
  }
  bool ok = WaitProgram(pid, name, &why);
  if (!ok && !term_sent) papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  return ok;
}

bool SendJob(pappl_job_t* job, pappl_device_t* device, const mirelo::JobArguments& args,
             const CoreEnvironment& env, const PrinterAddress& known);

}  // namespace

JobDir::JobDir() {
  snprintf(path_, sizeof(path_), "%s/mirelo-job-XXXXXX", SpoolDirectory());
  if (!mkdtemp(path_)) path_[0] = '\0';
  if (path_[0]) OpenToJobUser(path_);
}

JobDir::~JobDir() {
  if (!path_[0]) return;
  if (DIR* d = opendir(path_)) {
    while (dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
  }
  rmdir(path_);
}

PrinterAddress ReleasePapplConnection(pappl_job_t* job, pappl_device_t* device) {
  const char* uri = papplPrinterGetDeviceURI(papplJobGetPrinter(job));
  if (!PrinterConnection::Handles(uri)) return PrinterAddress();
  return PrinterConnection::ReleasePapplConnection(uri, device);
}

bool PrintFile(pappl_job_t* job, pappl_device_t* device, const std::string& document, bool is_pdf,
               int copies_override, const PrinterAddress& known) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const Model* model = ModelForDriver(papplPrinterGetDriverName(printer));
  if (!model) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer's driver is not one of this application.");
    return false;
  }
  UniqueOptions options(papplJobCreatePrintOptions(job, INT_MAX, false));
  if (!options) return false;
  JobDir dir;
  if (!dir.ok()) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to create a job folder: %s", strerror(errno));
    return false;
  }
  const std::string input = ReadableByJobUser(job, document, dir.path());

  const std::string ppd = std::string(PpdDir()) + "/" + model->ppd;
  const char* name = papplPrinterGetName(printer);
  const std::string printer_name = name ? name : "";
  const std::string job_id = std::to_string(papplJobGetID(job));
  // Printable characters only reach the printer stream (PJL, comments).
  const std::string user_text = PrintableName(papplJobGetUsername(job)),
                    title_text = PrintableName(papplJobGetName(job));
  const char *user = user_text.c_str(), *title = title_text.c_str();
  const std::string copies = std::to_string(copies_override > 0 ? copies_override : options->copies);
  const std::string option_text = OptionText(job, *options, *model);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Printing with the options '%s', %s copies.", option_text.c_str(),
              copies.c_str());
  const std::string tmpdir = std::string("TMPDIR=") + dir.path();

  auto filter = [&](const char* name, const std::string& file) {
    Command c;
    c.program = std::string(MIRELO_APP_CUPS_FILTER_DIR) + "/" + name;
    c.argv = {printer_name, job_id, user ? user : "", title ? title : "", copies, option_text, file};
    c.env = {"PPD=" + ppd, tmpdir};
    return c;
  };
  // A filter of the PDF chain of a PostScript queue, which also reads the
  // job's document type and the type the chain ends in, as the scheduler
  // sets them.
  auto pdf_filter = [&](const char* name, const std::string& file) {
    Command c = filter(name, file);
    c.env.push_back("CONTENT_TYPE=application/pdf");
    c.env.push_back("FINAL_CONTENT_TYPE=application/vnd.cups-postscript");
    return c;
  };

  std::string doc = input, staged;
  bool heron = model->family == Family::kHeron;
  if (heron) {
    if (!is_pdf) {
      doc = dir.File("document.pdf");
      Command gs{
          kGhostscript,
          {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-sOutputFile=" + doc, input},
          {tmpdir}};
      pid_t pid = StartProgram(gs, -1, -1, 2, &staged);
      if (pid < 0 || !WaitProgram(pid, gs.program, &staged)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", staged.c_str());
        return false;
      }
    }
    staged = dir.File("job.pdf");
    if (!RunInto(job, filter("pdftopdf", doc), staged)) return false;
  } else if (is_pdf) {
    // pdftopdf selects the pages and leaves the copies to the PostScript
    // (one NumCopies request), which the core then makes or hands on just as
    // for a PostScript job: both get the job's copies, and no copy is made
    // twice.
    doc = dir.File("document.pdf");
    if (!RunInto(job, pdf_filter("pdftopdf", input), doc)) return false;
    if (papplJobIsCanceled(job)) return true;
    staged = dir.File("job.ps");
    if (!RunInto(job, pdf_filter("pdftops", doc), staged)) return false;
  } else {
    staged = dir.File("job.ps");
    if (!RunInto(job, filter("pstops", doc), staged)) return false;
  }
  if (papplJobIsCanceled(job)) return true;

  mirelo::JobArguments args;
  args.queue = printer_name.c_str();
  args.job_id = job_id.c_str();
  args.user = user;
  args.title = title;
  args.copies = copies.c_str();
  args.options = option_text.c_str();
  args.file = staged.c_str();
  CoreEnvironment env;
  env.ppd = ppd;
  const char* device_uri = papplPrinterGetDeviceURI(printer);
  env.device_uri = device_uri ? device_uri : "";
  env.tmpdir = dir.path();
  return SendJob(job, device, args, env, known);
}

namespace {

// Sends the core's stream of the job to the printer. A network printer gets
// a connection of its own for each attempt; when the printer fails to take
// the whole job (refused, reset, closed early) the job stays queued, the
// printer shows offline and the job is sent again, whole, every
// kRetrySeconds, until it gets through, is cancelled, or has failed
// kMaxDeliveries times after the printer answered (then it is aborted with
// the reason). A printer that cannot be reached at all is tried until it
// answers, as CUPS' socket backend does.
bool SendJob(pappl_job_t* job, pappl_device_t* device, const mirelo::JobArguments& args,
             const CoreEnvironment& env, const PrinterAddress& known) {
  constexpr int kMaxDeliveries = 5;
  constexpr int kRetrySeconds = 2;
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const bool network = PrinterConnection::Handles(env.device_uri.c_str());
  auto canceled = [&] { return papplJobIsCanceled(job); };
  // The job's pages are those the core sends, as its PAGE lines count them
  // ("PAGE: <page> <copies>", as under CUPS): PAPPL's count of the raster
  // pages it made is replaced, and a delivery the printer did not take
  // counts nothing.
  papplJobSetImpressionsCompleted(job, -papplJobGetImpressionsCompleted(job));
  int failed_deliveries = 0;
  for (;;) {
    int sent_pages = 0;
    auto log = [&](const std::string& line) {
      long page = 0, copies = 0;
      if (line.compare(0, 6, "PAGE: ") == 0 && sscanf(line.c_str() + 6, "%ld %ld", &page, &copies) == 2 &&
          copies > 0 && copies <= INT_MAX - sent_pages) {
        sent_pages += static_cast<int>(copies);
        papplJobSetImpressionsCompleted(job, static_cast<int>(copies));
      }
      LogLine(job, line);
    };
    PrinterConnection connection;
    std::string why;
    bool connected = !network || connection.Connect(env.device_uri.c_str(), known, &why);
    bool delivery_failed = !connected, at_device = false, ok = false;
    if (connected) {
      ok = WriteCoreJob(
          args, env,
          [&](const void* data, size_t len) {
            if (!network) return papplDeviceWrite(device, data, len) == static_cast<ssize_t>(len);
            if (connection.Write(data, len, canceled, &why)) return true;
            delivery_failed = true;
            return false;
          },
          canceled, log, &at_device);
      // What was written reaches the printer (the trailer of a cancelled
      // job and the end of a job whose process died included), unless the
      // printer failed or stopped reading after a cancel.
      if (!network) {
        papplDeviceFlush(device);
      } else if (delivery_failed) {
        connection.Abort();
      } else {
        if (!connection.Finish(canceled, &why)) {
          ok = false;
          delivery_failed = true;
        }
        connection.Abort();
      }
    }
    if (at_device && !canceled()) {
      // Ended at the printer's panel: a cancelled job, and the reason says where.
      papplJobSetReasons(job, PAPPL_JREASON_JOB_CANCELED_AT_DEVICE, PAPPL_JREASON_NONE);
      papplJobCancel(job);
    }
    if (!delivery_failed || canceled()) {
      if (network) papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
      return ok;
    }
    papplJobSetImpressionsCompleted(job, -sent_pages);
    if (connected && ++failed_deliveries >= kMaxDeliveries) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer did not take the job in %s attempts: %s",
                  std::to_string(kMaxDeliveries).c_str(), why.c_str());
      papplJobSetMessage(job, "The printer did not take the job: %s", why.c_str());
      papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
      return false;
    }
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
                "The printer did not take the job (%s); sending it again in %s seconds.", why.c_str(),
                std::to_string(kRetrySeconds).c_str());
    papplJobSetMessage(job, "Waiting for the printer: %s", why.c_str());
    papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
    for (int i = 0; i < kRetrySeconds * 10 && !canceled(); ++i) usleep(100000);
  }
}

// ---- First in, first out ---------------------------------------------------------

// PAPPL 1.3.1 starts the first pending job of the printer's active jobs,
// which it keeps newest first. Whenever a job of the app ends, the pending
// jobs but the oldest are held for the moment (papplJobHold without a
// hold-until: no attribute, reason or event changes), so that PAPPL starts
// the oldest; once that one starts (or after kFifoHoldSeconds, should it
// never start: cancelled meanwhile), the held jobs are pending again,
// released oldest first.
constexpr int kFifoHoldSeconds = 3;

struct FifoHeld {
  std::vector<int> job_ids;  // ascending
  time_t release_at = 0;
};
std::mutex fifo_mu;
std::map<int, FifoHeld> fifo_held;  // by printer id

void ReleaseHeldJobs(pappl_printer_t* printer) {
  std::vector<int> ids;
  {
    std::lock_guard<std::mutex> lock(fifo_mu);
    auto it = fifo_held.find(papplPrinterGetID(printer));
    if (it == fifo_held.end()) return;
    ids.swap(it->second.job_ids);
    fifo_held.erase(it);
  }
  for (int id : ids) {
    pappl_job_t* job = papplPrinterFindJob(printer, id);
    if (job && papplJobGetState(job) == IPP_JSTATE_HELD) papplJobRelease(job, nullptr);
  }
}

// pappl_timer_cb_t, every second: releases the jobs held too long.
bool FifoTimer(pappl_system_t* system, void*) {
  std::vector<int> printers;
  {
    std::lock_guard<std::mutex> lock(fifo_mu);
    for (const auto& [id, held] : fifo_held)
      if (held.release_at <= time(nullptr)) printers.push_back(id);
  }
  for (int id : printers)
    if (pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, id, nullptr))
      ReleaseHeldJobs(printer);
  return true;
}

}  // namespace

void FifoJobStarts(pappl_job_t* job) { ReleaseHeldJobs(papplJobGetPrinter(job)); }

void FifoPrinterFrees(pappl_printer_t* printer, int ending_job_id) {
  pappl_system_t* system = papplPrinterGetSystem(printer);
  // A server that stops keeps its jobs pending.
  if (!system || !papplSystemIsRunning(system)) return;
  struct Scan {
    int ending;
    std::vector<int> pending;
  } scan{ending_job_id, {}};
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* j, void* data) {
        auto* s = static_cast<Scan*>(data);
        if (papplJobGetID(j) != s->ending && papplJobGetState(j) == IPP_JSTATE_PENDING)
          s->pending.push_back(papplJobGetID(j));
      },
      &scan, 1, 0);
  if (scan.pending.size() < 2) return;
  static std::once_flag timer_added;
  std::call_once(timer_added, [system] { papplSystemAddTimerCallback(system, 0, 1, FifoTimer, nullptr); });
  std::sort(scan.pending.begin(), scan.pending.end());
  std::vector<int> held;
  for (size_t i = 1; i < scan.pending.size(); ++i) {
    pappl_job_t* j = papplPrinterFindJob(printer, scan.pending[i]);
    if (j && papplJobHold(j, nullptr, nullptr, 0)) held.push_back(scan.pending[i]);
  }
  std::lock_guard<std::mutex> lock(fifo_mu);
  FifoHeld& h = fifo_held[papplPrinterGetID(printer)];
  h.job_ids.insert(h.job_ids.end(), held.begin(), held.end());
  std::sort(h.job_ids.begin(), h.job_ids.end());
  h.release_at = time(nullptr) + kFifoHoldSeconds;
}

const char* PpdDir() {
  const char* dir = getenv("MIRELO_APP_PPD_DIR");
  return dir && *dir ? dir : MIRELO_APP_PPD_DEFAULT_DIR;
}

bool PrintDocument(pappl_job_t* job, pappl_device_t* device, void*) {
  FifoJobStarts(job);
  const PrinterAddress known = ReleasePapplConnection(job, device);
  // The next job to start is the oldest, whatever this one's end.
  struct FifoTurn {
    pappl_job_t* job;
    ~FifoTurn() { FifoPrinterFrees(papplJobGetPrinter(job), papplJobGetID(job)); }
  } turn{job};
  const char* format = papplJobGetFormat(job);
  // A job cancelled before it gets here has lost its file to PAPPL already.
  const char* filename = papplJobGetFilename(job);
  if (!filename) {
    if (papplJobIsCanceled(job)) return true;
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job has no document file.");
    return false;
  }
  if (format && strcmp(format, kTextFormat) == 0) {
    JobDir dir;
    const Model* model = ModelForDriver(papplPrinterGetDriverName(papplJobGetPrinter(job)));
    if (!dir.ok() || !model) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to convert the text: %s",
                  model ? strerror(errno) : "the printer's driver is not one of this application");
      return false;
    }
    Command text;
    text.program = std::string(MIRELO_APP_CUPS_FILTER_DIR) + "/texttopdf";
    // The job user reads a copy of the spool file; the names carry
    // printable characters only, as everywhere on the way to the printer.
    text.argv = {"texttopdf",
                 std::to_string(papplJobGetID(job)),
                 PrintableName(papplJobGetUsername(job)),
                 PrintableName(papplJobGetName(job)),
                 "1",
                 "",
                 ReadableByJobUser(job, filename, dir.path())};
    text.env = {"PPD=" + std::string(PpdDir()) + "/" + model->ppd, std::string("TMPDIR=") + dir.path(),
                "CONTENT_TYPE=text/plain", "FINAL_CONTENT_TYPE=application/vnd.cups-postscript"};
    const std::string pdf = dir.File("text.pdf");
    if (!RunInto(job, text, pdf)) return false;
    return PrintFile(job, device, pdf, true, 0, known);
  }
  return PrintFile(job, device, filename, format && strcmp(format, "application/pdf") == 0, 0, known);
}

bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  return PrintDocument(job, device, nullptr);
}

}  // namespace mirelo_app
