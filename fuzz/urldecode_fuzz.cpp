// SPDX-License-Identifier: Apache-2.0
// The string routines of the queue lookup on any text: lower-casing into a
// bounded buffer, percent-decoding in place (never past the text's end),
// and the value of a hexadecimal digit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "monitor/monitor-private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the text and its terminator: a read past the end is caught.
  std::unique_ptr<char[]> text(new char[size + 1]);
  memcpy(text.get(), data, size);
  text[size] = '\0';
  size_t before = strlen(text.get());

  char lower[1024];
  strToLower(text.get(), lower, sizeof(lower));
  if (strnlen(lower, sizeof(lower)) >= sizeof(lower)) abort();

  if (urldecode(text.get()) != text.get()) abort();
  if (strlen(text.get()) > before) abort();  // decoding never lengthens

  for (size_t i = 0; i < size; ++i) {
    int v = hex2dec(static_cast<signed char>(data[i]));
    if (v < -1 || v > 15) abort();
  }
  return 0;
}
