// SPDX-License-Identifier: Apache-2.0
// The test page of a printer, written for PAPPL to print as a PostScript
// document.
#include "testpage.h"

#include <cstdio>
#include <string>

#include "models.h"
#include "state.h"

namespace mirelo_app {

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
  int n = snprintf(buffer, bufsize, "%s/mirelo-testpage-%d.ps", SpoolDirectory(), papplPrinterGetID(printer));
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

}  // namespace mirelo_app
