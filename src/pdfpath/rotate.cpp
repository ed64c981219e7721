// SPDX-License-Identifier: Apache-2.0
// Duplex back-side rotation for the Heron family: when a job prints two-sided
// long-edge (DuplexNoTumble), every even page (every back side) is turned by
// 180 degrees with qpdf before the PDF is converted to PostScript. qpdf writes
// the rotated PDF into a new temporary file, which then becomes the print file.
#include "pdfpath/pdfpath.h"

#include <cups/cups.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/io.h"
#include "common/spawn.h"
#include "identify/identify.h"
#include "job/entry-points.h"
#include "pdfpath/pdfpath-private.h"

using mirelo::ErrPrintf;
using mirelo::ErrWrite;

namespace {

// The system's qpdf, looked up on PATH, and the private build of qpdf that
// is installed with the driver for systems whose qpdf is too old or absent.
constexpr char kSystemQpdf[] = "qpdf";
constexpr char kPrivateQpdf[] = "/opt/mirelo/bin/mlqpdf";
// The first qpdf whose command line does what the rotation needs.
constexpr double kLowestQpdfVersion = 8.0;

// The output file named to qpdf: its standard output, which the filter reads.
constexpr char kToStdout[] = "/dev/stdout";

// The option that turns the listed pages; the list follows it.
constexpr char kRotateOption[] = "--rotate=+180:";
constexpr size_t kRotateOptionLen = sizeof(kRotateOption) - 1;

// The PPD choice that means long-edge duplex.
constexpr char kLongEdgeChoice[] = "DuplexNoTumble";

// qpdf exits 0 on success and 3 when it succeeded with warnings.
constexpr int kQpdfOk = 0;
constexpr int kQpdfWarnings = 3;

// qpdf takes an operand that begins with '-' for an option and one that
// begins with '@' for an argument file; such a relative name is handed over
// as "./name", which names the same file.
const char* FileOperand(const char* path, char* buf, size_t size) {
  if (path[0] != '-' && path[0] != '@') return path;
  snprintf(buf, size, "./%s", path);
  return buf;
}

// Asks the tool for the page count of the print file: the number on the first
// line of its answer, 0 when it answered nothing. False when the tool could
// not be started.
bool CountPages(const char* tool, const char* path, int* pages) {
  char operand[kPrintPathSize + 2];
  const char* const argv[] = {tool, "--show-npages", FileOperand(path, operand, sizeof(operand)), nullptr};
  mirelo::ProgramReader reader(argv);
  if (!reader.Started()) return false;

  char reply[128] = {};
  long count = 0;
  if (fgets(reply, sizeof(reply), reader.Stream())) {
    count = strtol(reply, nullptr, 10);
    if (count > INT_MAX) count = INT_MAX;
    if (count < INT_MIN) count = INT_MIN;
  }
  reader.Close();
  *pages = static_cast<int>(count);
  return true;
}

// The longest single argument the kernel passes to a program (MAX_ARG_STRLEN,
// 32 pages of 4 KiB, with its NUL).
constexpr size_t kLongestArgument = 32 * 4096 - 1;

// Writes "WARNING: ..." when the job goes on with its back sides unturned,
// unless cancelled (the rotation was done or not needed).
class UnrotatedWarning {
 public:
  UnrotatedWarning() = default;
  ~UnrotatedWarning() {
    if (armed_) ErrWrite("WARNING: Unable to turn the back sides of the job; they are printed unrotated.\n");
  }
  UnrotatedWarning(const UnrotatedWarning&) = delete;
  UnrotatedWarning& operator=(const UnrotatedWarning&) = delete;
  void Cancel() { armed_ = false; }

 private:
  bool armed_ = true;
};

// Puts one argument, on a line of its own, into a new argument file for
// qpdf (which reads "@file" as the arguments that the file holds).
bool WriteArgumentFile(const char* argument, mirelo::TempFile* file) {
  mirelo::UniqueFd fd(file->Create(mirelo::TempFile::kNameSize));
  if (!fd.valid()) {
    ErrPrintf("DEBUG: Unable to create the argument file of qpdf: %s\n", file->Why());
    return false;
  }
  size_t len = strlen(argument);
  if (mirelo::WriteAll(fd.get(), argument, len) != len || mirelo::WriteAll(fd.get(), "\n", 1) != 1 ||
      close(fd.release()) != 0) {
    ErrPrintf("DEBUG: Unable to write the argument file of qpdf: %s\n", strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

namespace mirelo {

bool MakeEvenPageList(int pages, char* list, size_t list_size) {
  if (list_size == 0) return false;
  list[0] = '\0';
  int last = pages - pages % 2;  // the largest even number not above pages
  size_t len = 0;
  for (int page = 2; page <= last; page += 2) {
    int n = snprintf(list + len, list_size - len, page == last ? "%d" : "%d,", page);
    if (n < 0 || static_cast<size_t>(n) >= list_size - len) {
      list[0] = '\0';
      return false;
    }
    len += static_cast<size_t>(n);
  }
  return true;
}

bool WantsLongEdgeRotation(const char* options) {
  UniquePpd ppd = OpenJobPpd();
  return WantsLongEdgeRotation(ppd.get(), options);
}

bool WantsLongEdgeRotation(ppd_file_t* ppd, const char* options) {
  if (!ppd) return false;
  // The options as pdftops gets them, parsed as it parses them.
  ppdMarkDefaults(ppd);
  std::string text = PdftopsOptions(options);
  cups_option_t* parsed = nullptr;
  int count = cupsParseOptions(text.c_str(), 0, &parsed);
  cupsMarkOptions(ppd, count, parsed);
  cupsFreeOptions(count, parsed);
  ppd_choice_t* marked = ppdFindMarkedChoice(ppd, "Duplex");
  return marked && strcasecmp(marked->choice, kLongEdgeChoice) == 0;
}

}  // namespace mirelo

bool getqpdfversion() {
  const char* const argv[] = {kSystemQpdf, "--version", nullptr};
  mirelo::ProgramReader reader(argv);
  if (!reader.Started()) {
    // A system without qpdf answers nothing; that only selects the private build.
    if (errno != ENOENT) ErrWrite("Unable to get the version of qpdf!");
    return false;
  }

  bool recent = false;
  char line[512];
  while (!recent && fgets(line, sizeof(line), reader.Stream())) {
    if (!strstr(line, "qpdf version")) continue;
    // The third blank-separated word is the version; its leading number counts.
    char* save = nullptr;
    char* word = strtok_r(line, " ", &save);
    for (int i = 1; word && i < 3; ++i) word = strtok_r(nullptr, " ", &save);
    if (!word) continue;
    if (strtod(word, nullptr) >= kLowestQpdfVersion) recent = true;
  }
  reader.Close();
  return recent;
}

void CreatRotateDuplex(char* const argv[], char* path) {
  if (!argv || !path) {
    getqpdfversion();  // asked first, as on every call
    return;
  }
  mirelo::Job job(mirelo::FilterArguments(6, argv));
  job.print_file.SetScheduler(path);
  mirelo::RotateBackSides(&job);
  if (job.print_file.own()) {
    mirelo::CopyText(path, kPrintPathSize, job.print_file.path());
    job.print_file.Release();
  }
}

void mirelo::RotateBackSides(Job* job) {
  const char* tool = getqpdfversion() ? kSystemQpdf : kPrivateQpdf;

  // The printer is asked afresh: only a Heron printer gets its pages turned.
  if (!StillHeron(*job)) return;

  if (!WantsLongEdgeRotation(job->ppd.get(), job->options_text.c_str())) return;
  const char* path = job->print_file.path();

  // Every failure from here on prints the pages unrotated, and says so.
  UnrotatedWarning warning;
  // Removed on every way out but success, which makes it the print file.
  mirelo::TempFile temp;
  mirelo::UniqueFd temp_fd(temp.Create(kPrintPathSize));
  if (!temp_fd.valid()) {
    ErrWrite("DEBUG: Unable to creat temp file.\n");
    return;
  }

  int pages = 0;
  if (!CountPages(tool, path, &pages)) {
    ErrWrite("Unable get page count of the inputfile!");
    return;
  }
  if (pages <= 1) {
    ErrPrintf("The page count is %d!\n", pages);
    if (pages == 1) warning.Cancel();  // no back side to turn
    return;
  }

  // "--rotate=+180:" and the page list in one argument. The buffer is not
  // cleared: only the part the list fills is ever touched.
  auto rotate = std::make_unique_for_overwrite<char[]>(kRotateOptionLen + mirelo::kPageListSize);
  memcpy(rotate.get(), kRotateOption, kRotateOptionLen);
  if (!mirelo::MakeEvenPageList(pages, rotate.get() + kRotateOptionLen, mirelo::kPageListSize)) {
    ErrPrintf("DEBUG: The page list of a %d-page document does not fit in %zu bytes; "
              "the back sides are not rotated.\n",
              pages, mirelo::kPageListSize);
    return;
  }

  // A list too long for one argument reaches qpdf in an argument file.
  mirelo::TempFile arg_file;
  char arg_operand[mirelo::TempFile::kNameSize + 1];
  const char* rotate_arg = rotate.get();
  if (strlen(rotate_arg) > kLongestArgument) {
    if (!WriteArgumentFile(rotate_arg, &arg_file)) return;
    snprintf(arg_operand, sizeof(arg_operand), "@%s", arg_file.path());
    rotate_arg = arg_operand;
  }

  char input[kPrintPathSize + 2];
  // qpdf writes the rotated PDF to its standard output and the filter puts
  // it into the file: qpdf does not notice a full disk, and a cut PDF must
  // never stand in for the job.
  const char* const rotate_argv[] = {tool, FileOperand(path, input, sizeof(input)), kToStdout, rotate_arg,
                                     nullptr};
  size_t copied = 0;
  int write_errno = 0;
  int status = mirelo::RunProgramInto(rotate_argv, temp_fd.get(), &copied, &write_errno);
  int saved_errno = errno;
  if (close(temp_fd.release()) != 0 && write_errno == 0) write_errno = errno;
  if (write_errno != 0) {
    ErrPrintf("ERROR: Unable to write the rotated job to a temporary file: %s; "
              "the back sides are not rotated.\n",
              strerror(write_errno));
    return;
  }
  errno = saved_errno;
  if (status != -1 && copied == 0 &&
      (mirelo::ExitedWith(status, kQpdfOk) || mirelo::ExitedWith(status, kQpdfWarnings))) {
    ErrPrintf("DEBUG: %s wrote no rotated PDF; the back sides are not rotated.\n", tool);
    return;
  }
  if (!mirelo::ExitedWith(status, kQpdfOk) && !mirelo::ExitedWith(status, kQpdfWarnings)) {
    // Whatever qpdf left behind is not the job: print the pages unrotated.
    if (status == -1)
      ErrPrintf("DEBUG: Unable to run %s: %s; the back sides are not rotated.\n", tool, strerror(errno));
    else if (WIFEXITED(status))
      ErrPrintf("DEBUG: %s failed to rotate the back sides (exit status %d); "
                "they are printed unrotated.\n",
                tool, WEXITSTATUS(status));
    else
      ErrPrintf("DEBUG: %s ended by signal %d while rotating the back sides; "
                "they are printed unrotated.\n",
                tool, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return;
  }

  job->print_file.Adopt(&temp);
  warning.Cancel();
}
