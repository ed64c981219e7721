// SPDX-License-Identifier: Apache-2.0
// The cancel monitor's reading of a printer's status reply, any datagram
// and any owner. Input: byte 0 the owner's length (up to 63), the owner,
// then the reply, in a heap buffer of exactly its size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "monitor/monitor-private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t owner_len = data[0] % 64;
  data += 1;
  size -= 1;
  if (owner_len > size) owner_len = size;
  std::unique_ptr<char[]> owner(new char[owner_len + 1]);
  memcpy(owner.get(), data, owner_len);
  owner[owner_len] = '\0';

  size_t len = size - owner_len;
  if (len > 1024) len = 1024;  // the monitor's reply buffer
  std::unique_ptr<unsigned char[]> reply(new unsigned char[len ? len : 1]);
  memcpy(reply.get(), data + owner_len, len);

  bool cancel = ReplyReportsCancel(reply.get(), static_cast<int>(len), owner.get());
  if (cancel && len < 60) abort();  // a short reply is never a cancel
  if (cancel && reply[len - 60] != 0x06 && reply[len - 60] != 0x86) abort();
  return 0;
}
