// SPDX-License-Identifier: Apache-2.0
// The number scans of the paper checks on any text: a piece of the media-box
// and of the page-setup grep output (at most 511 characters) and a line of
// the A5 scan (at most 1023 characters), each in a heap buffer of exactly
// the size the check reads into.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "paper/paper-private.h"

namespace {

// The text as fgets would hand it over: cut to size - 1 bytes, terminated.
std::unique_ptr<char[]> AsRead(const uint8_t* data, size_t size, size_t buf_size) {
  std::unique_ptr<char[]> buf(new char[buf_size]);
  size_t n = size < buf_size - 1 ? size : buf_size - 1;
  memcpy(buf.get(), data, n);
  buf[n] = '\0';
  return buf;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto piece = AsRead(data, size, 512);
  int box = mirelo::CheckMediaBoxPiece(piece.get());
  int setup = mirelo::CheckSetupPaperPiece(piece.get());
  if (box < -1 || box > 1 || setup < -1 || setup > 1) abort();

  auto line = AsRead(data, size, 1024);
  int w = -1, h = -1;
  bool decides = mirelo::ReadA5LineSize(line.get(), &w, &h);
  // Sizes are runs of digits: never negative, 0 when missing.
  if (w < 0 || h < 0) abort();
  if (!decides && (w != 0 || h != 0)) abort();
  (void)mirelo::IsA5Size(w, h);
  return 0;
}
