// SPDX-License-Identifier: Apache-2.0
// Removal of one option from the options string, with any text, name and
// terminator. Input: byte 0 the terminator, byte 1 the name's length (up to
// 63), the name, then the text; each in a heap buffer of exactly its size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "job/entry-points.h"
#include "pdfpath/pdfpath.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  char terminator = static_cast<char>(data[0]);
  size_t name_len = data[1] % 64;
  data += 2;
  size -= 2;
  if (name_len > size) name_len = size;

  std::unique_ptr<char[]> name(new char[name_len + 1]);
  memcpy(name.get(), data, name_len);
  name[name_len] = '\0';
  size_t text_len = size - name_len;
  std::unique_ptr<char[]> text(new char[text_len + 1]);
  memcpy(text.get(), data + name_len, text_len);
  text[text_len] = '\0';

  std::string before = text.get();
  removestr(text.get(), name.get(), terminator);
  std::string after = text.get();

  // Unchanged, or one piece taken out that starts with the first
  // occurrence of the name and ends with the terminator after it.
  if (after == before) return 0;
  size_t at = before.find(name.get());
  if (at == std::string::npos || name[0] == '\0' || terminator == '\0') abort();
  size_t end = before.find(terminator, at);
  if (end == std::string::npos) abort();
  if (after != before.substr(0, at) + before.substr(end + 1)) abort();
  return 0;
}
