// SPDX-License-Identifier: Apache-2.0
// The supported-model and Heron checks by the PPD's ShortNickName, when no
// device ID came: the input is written as the nickname of a small PPD that
// the checks then open, as a queue's PPD is.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "identify/identify.h"
#include "job/entry-points.h"

namespace {

// The PPD file, in $TMPDIR (or /tmp), removed when the program exits.
std::string g_ppd;
void RemovePpd() { unlink(g_ppd.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool made = [] {
    const char* dir = getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/mirelops-nickname-fuzz-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) abort();
    close(fd);
    g_ppd = tmpl;
    atexit(RemovePpd);
    setenv("PPD", g_ppd.c_str(), 1);
    return true;
  }();
  (void)made;
  const std::string& path = g_ppd;
  std::string nick(reinterpret_cast<const char*>(data), size < 4096 ? size : 4096);
  std::string ppd = "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
                    "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"FUZZ.PPD\"\n"
                    "*Manufacturer: \"Mirelo\"\n*Product: \"(Fuzz)\"\n*ModelName: \"Fuzz\"\n"
                    "*ShortNickName: \"" +
                    nick + "\"\n*NickName: \"Fuzz\"\n*PSVersion: \"(3010.000) 0\"\n";
  FILE* f = fopen(path.c_str(), "w");
  if (!f) abort();
  fwrite(ppd.data(), 1, ppd.size(), f);
  fclose(f);

  bool finch = false;
  bool supported = isSupportPrinter("", false, &finch);
  bool heron = isHeronPrinter("", false);
  if (heron && !supported) abort();             // every Heron model is supported
  if (finch && (!supported || heron)) abort();  // no printer is both
  return 0;
}
