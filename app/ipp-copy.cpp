// SPDX-License-Identifier: Apache-2.0
// A copy of an IPP attribute owns its collections.
//
// libcups 2.4's ippCopyAttribute does not copy a collection value: the copy
// points at the same collection and counts one more user of it (a plain
// integer). A collection keeps its own write state and cursor, which
// ippWriteIO moves as it writes it. PAPPL 1.3.1 answers many clients at once
// from the printer's own attributes (media-col-database, media-col-ready):
// every answer shared the printer's collections, so two answers written at
// once moved one cursor, and one of them came out shorter than its
// Content-Length (the client waited for the rest until it gave up); the use
// counts, changed by threads at once, could also free a collection the
// printer still held. The definition below, found in the program before the
// library's (PAPPL and libcups call it through the PLT), copies every other
// attribute with the library's own call and gives a collection attribute
// collections of its own, member by member (nested collections again through
// this call), so that no two messages share one.
#include <cups/cups.h>
#include <dlfcn.h>

#include <vector>

extern "C" ipp_attribute_t* ippCopyAttribute(ipp_t* dst, ipp_attribute_t* src, int quickcopy) {
  static const auto real = reinterpret_cast<decltype(&ippCopyAttribute)>(
      dlsym(RTLD_NEXT, "ippCopyAttribute"));
  if (!dst || !src || ippGetValueTag(src) != IPP_TAG_BEGIN_COLLECTION || !ippGetName(src))
    return real(dst, src, quickcopy);
  const int count = ippGetCount(src);
  std::vector<ipp_t*> copies;
  copies.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    ipp_t* copy = ippNew();
    if (ipp_t* from = ippGetCollection(src, i)) ippCopyAttributes(copy, from, quickcopy, nullptr, nullptr);
    copies.push_back(copy);
  }
  ipp_attribute_t* attr = ippAddCollections(dst, ippGetGroupTag(src), ippGetName(src), count,
                                            const_cast<const ipp_t**>(copies.data()));
  for (ipp_t* copy : copies) ippDelete(copy);  // dst holds them now
  return attr;
}
