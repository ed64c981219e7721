// SPDX-License-Identifier: Apache-2.0
// The job path of the Printer Application. A document is brought to what
// the CUPS filter receives on a queue of the same model, by the filters such
// a queue runs, with the model's PPD: PostScript goes through CUPS's pstops,
// PDF through pdftopdf and then the pdftops filter (which renders the pages
// as PostScript and has pstops add the rest); either way the job gets the
// PJL header and the page setup (media, duplex, copies, page ranges). For
// the Heron family PostScript becomes PDF (Ghostscript) and pdftopdf does
// that part. The result goes through the core adapter to the
// printer. Raster pages (JPEG, PNG, PWG and Apple raster) become a PostScript
// document of binary, run-length compressed image pages first.
#include "print.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "child.h"
#include "drivers.h"
#include "job-core.h"
#include "security.h"

namespace mirelo_app {

namespace {

constexpr char kGhostscript[] = "/usr/bin/gs";

// A private folder for one job's files, removed with everything in it.
class JobDir {
 public:
  JobDir() {
    snprintf(path_, sizeof(path_), "%s/mirelo-job-XXXXXX", papplGetTempDir());
    if (!mkdtemp(path_)) path_[0] = '\0';
    if (path_[0]) OpenToJobUser(path_);
  }
  ~JobDir() {
    if (!path_[0]) return;
    if (DIR* d = opendir(path_)) {
      while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) unlinkat(dirfd(d), e->d_name, 0);
      }
      closedir(d);
    }
    rmdir(path_);
  }
  JobDir(const JobDir&) = delete;
  JobDir& operator=(const JobDir&) = delete;
  bool ok() const { return path_[0] != '\0'; }
  std::string File(const char* name) const { return std::string(path_) + "/" + name; }
  const char* path() const { return path_; }

 private:
  char path_[1024] = {};
};

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
  // Collated copies only when asked, as a CUPS queue asks: a true Collate
  // option.
  ipp_attribute_t* mdh = papplJobGetAttribute(job, "multiple-document-handling");
  const char* mdh_value = mdh ? ippGetString(mdh, 0, nullptr) : nullptr;
  if (mdh_value && strcmp(mdh_value, "separate-documents-collated-copies") == 0) text += " Collate=True";
  if (model.family == Family::kFinch) {
    const char* edge = cupsGetOption("feed-edge", o.num_vendor, o.vendor);
    if (edge && strcmp(edge, "short-edge") == 0)
      text += " FeedEdge=ShortEdge";
    else if (edge && strcmp(edge, "long-edge") == 0)
      text += " FeedEdge=LongEdge";
  }
  return text;
}

void LogLine(pappl_job_t* job, const std::string& line) {
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "%s", line.c_str());
}

// Runs command with its standard output into the file at out_path.
bool RunInto(pappl_job_t* job, const Command& command, const std::string& out_path) {
  int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to create '%s': %s", out_path.c_str(), strerror(errno));
    return false;
  }
  OpenToJobUser(fd);
  std::string why;
  bool ok = RunProgram(command, -1, fd, 2, &why);
  close(fd);
  if (!ok) papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  return ok;
}

// The whole path of one document (PDF or PostScript) to the printer.
// copies_override > 0 replaces the job's copy count (raster jobs, whose
// copies PAPPL has already made).
bool PrintFile(pappl_job_t* job, pappl_device_t* device, const std::string& document, bool is_pdf,
               int copies_override) {
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
      if (!RunProgram(gs, -1, -1, 2, &staged)) {
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

  CoreJob core;
  core.ppd = ppd;
  const char* device_uri = papplPrinterGetDeviceURI(printer);
  core.device_uri = device_uri ? device_uri : "";
  core.queue = printer_name;
  core.job_id = job_id;
  core.user = user ? user : "";
  core.title = title ? title : "";
  core.copies = copies;
  core.options = option_text;
  core.file = staged;
  bool at_device = false;
  bool ok = WriteCoreJob(
      core,
      [&](const void* data, size_t len) {
        return papplDeviceWrite(device, data, len) == static_cast<ssize_t>(len);
      },
      [&] { return papplJobIsCanceled(job); }, [&](const std::string& line) { LogLine(job, line); },
      &at_device);
  papplDeviceFlush(device);
  if (at_device && !papplJobIsCanceled(job)) {
    // Ended at the printer's panel: a cancelled job, and the reason says where.
    papplJobSetReasons(job, PAPPL_JREASON_JOB_CANCELED_AT_DEVICE, PAPPL_JREASON_NONE);
    papplJobCancel(job);
  }
  return ok;
}

// ---- Raster pages ------------------------------------------------------------

// The PostScript document of a raster job, built page by page.
struct RasterDoc {
  JobDir dir;
  std::string path;
  FILE* file = nullptr;
  unsigned pages = 0;
  std::string packed;
  ~RasterDoc() {
    if (file) fclose(file);
  }
};

// Prolog: an image whose samples follow in the file, run-length encoded and
// binary, the end marker consumed after the image.
constexpr char kRasterProlog[] =
    "%!PS-Adobe-3.0\n"
    "%%Creator: mirelo-printer-app\n"
    "%%LanguageLevel: 2\n"
    "%%Pages: (atend)\n"
    "%%EndComments\n"
    "%%BeginProlog\n"
    "/mireloimage { currentfile /RunLengthDecode filter dup 6 1 roll image flushfile } bind def\n"
    "%%EndProlog\n";

RasterDoc* Doc(pappl_job_t* job) { return static_cast<RasterDoc*>(papplJobGetData(job)); }

}  // namespace

const char* PpdDir() {
  const char* dir = getenv("MIRELO_APP_PPD_DIR");
  return dir && *dir ? dir : MIRELO_APP_PPD_DEFAULT_DIR;
}

void RunLengthEncode(const unsigned char* p, size_t n, std::string* out) {
  size_t i = 0;
  while (i < n) {
    size_t run = 1;
    while (i + run < n && run < 128 && p[i + run] == p[i]) ++run;
    if (run >= 2) {
      out->push_back(static_cast<char>(257 - run));
      out->push_back(static_cast<char>(p[i]));
      i += run;
      continue;
    }
    size_t start = i, len = 0;
    while (i < n && len < 128) {
      if (i + 1 < n && p[i] == p[i + 1]) break;
      ++i;
      ++len;
    }
    out->push_back(static_cast<char>(len - 1));
    out->append(reinterpret_cast<const char*>(p + start), len);
  }
}

const char* TestPage(pappl_printer_t* printer, char* buffer, size_t bufsize) {
  // The names go into PostScript strings: only printable ASCII without
  // the string delimiters and the escape.
  auto plain = [](const char* text) {
    std::string out;
    for (const char* p = text ? text : ""; *p && out.size() < 64; ++p)
      out += (*p >= ' ' && *p <= '~' && *p != '(' && *p != ')' && *p != '\\') ? *p : '?';
    return out;
  };
  const Model* found = ModelForDriver(papplPrinterGetDriverName(printer));
  const std::string model = plain(found ? found->name : "");
  const std::string name = plain(papplPrinterGetName(printer));
  int n = snprintf(buffer, bufsize, "%s/mirelo-testpage-%d.ps", papplGetTempDir(),
                   papplPrinterGetID(printer));
  if (n < 0 || static_cast<size_t>(n) >= bufsize) return nullptr;
  FILE* f = fopen(buffer, "we");
  if (!f) return nullptr;
  fprintf(f,
          "%%!PS-Adobe-3.0\n%%%%Title: Test Page\n%%%%Pages: 1\n%%%%EndComments\n%%%%Page: 1 1\n"
          "4 setlinewidth 36 36 moveto 36 806 lineto 559 806 lineto 559 36 lineto closepath stroke\n"
          "/Helvetica-Bold findfont 36 scalefont setfont 72 700 moveto (Test Page) show\n"
          "/Helvetica findfont 18 scalefont setfont 72 640 moveto (%s) show\n"
          "72 610 moveto (Printer: %s) show\n72 580 moveto (mirelo-printer-app %s) show\n"
          "showpage\n%%%%EOF\n",
          model.c_str(), name.c_str(), MIRELO_APP_VERSION);
  if (fclose(f) != 0) return nullptr;
  return buffer;
}

bool PrintDocument(pappl_job_t* job, pappl_device_t* device, void*) {
  const char* format = papplJobGetFormat(job);
  // A job cancelled before it gets here has lost its file to PAPPL already.
  const char* filename = papplJobGetFilename(job);
  if (!filename) {
    if (papplJobIsCanceled(job)) return true;
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job has no document file.");
    return false;
  }
  return PrintFile(job, device, filename, format && strcmp(format, "application/pdf") == 0, 0);
}

bool RasterStartJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
  auto doc = std::make_unique<RasterDoc>();
  if (!doc->dir.ok()) return false;
  doc->path = doc->dir.File("raster.ps");
  doc->file = fopen(doc->path.c_str(), "wbe");
  if (!doc->file) return false;
  fputs(kRasterProlog, doc->file);
  papplJobSetData(job, doc.release());
  return true;
}

bool RasterStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
  RasterDoc* doc = Doc(job);
  if (!doc) return false;
  const auto& h = options->header;
  ++doc->pages;
  fprintf(doc->file, "%%%%Page: %u %u\ngsave\n%u %u scale\n%u %u 8 [%u 0 0 -%u 0 %u] mireloimage\n",
          doc->pages, doc->pages, h.PageSize[0], h.PageSize[1], h.cupsWidth, h.cupsHeight, h.cupsWidth,
          h.cupsHeight, h.cupsHeight);
  return true;
}

bool RasterWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned,
                     const unsigned char* line) {
  RasterDoc* doc = Doc(job);
  if (!doc) return false;
  doc->packed.clear();
  RunLengthEncode(line, options->header.cupsWidth, &doc->packed);
  return fwrite(doc->packed.data(), 1, doc->packed.size(), doc->file) == doc->packed.size();
}

bool RasterEndPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
  RasterDoc* doc = Doc(job);
  if (!doc) return false;
  // 128: the end marker of run-length encoded data.
  fputs("\x80\ngrestore\nshowpage\n", doc->file);
  return true;
}

bool RasterEndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  std::unique_ptr<RasterDoc> doc(Doc(job));
  papplJobSetData(job, nullptr);
  if (!doc) return false;
  fprintf(doc->file, "%%%%Trailer\n%%%%Pages: %u\n%%%%EOF\n", doc->pages);
  bool ok = fclose(doc->file) == 0;
  doc->file = nullptr;
  return ok && PrintFile(job, device, doc->path, false, 1);
}

}  // namespace mirelo_app
