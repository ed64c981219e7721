// SPDX-License-Identifier: Apache-2.0
// Raster pages into PostScript: each page an image whose run-length encoded,
// binary samples follow it in the file, the document then printed as a
// PostScript job with the copies PAPPL has already made.
#include "raster.h"

#include <cstdio>
#include <memory>

#include "device.h"
#include "print.h"

namespace mirelo_app {

namespace {

// The PostScript document of a raster job, built page by page.
struct RasterDoc {
  JobDir dir;
  std::string path;
  FILE* file = nullptr;
  unsigned pages = 0;
  std::string packed;
  PrinterAddress printer;  // where the printer was reached
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

bool RasterStartJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  FifoJobStarts(job);
  auto doc = std::make_unique<RasterDoc>();
  doc->printer = ReleasePapplConnection(job, device);
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
  ok = ok && PrintFile(job, device, doc->path, false, 1, doc->printer);
  FifoPrinterFrees(papplJobGetPrinter(job), papplJobGetID(job));
  return ok;
}

}  // namespace mirelo_app
