// SPDX-License-Identifier: Apache-2.0
// What PAPPL 1.3.1 does not check or take in a request, checked or taken
// before its own handling of it.
//
// Print-Job, Validate-Job and Send-Document: a format the printer does not
// list in document-format-supported is refused with
// client-error-document-format-not-supported, and a document whose size the
// client announced (Content-Length) and that does not fit in the spool
// folder's free space with client-error-request-entity-too-large. PAPPL checks
// the format against a list it never fills and has no hook before its own
// handling of these operations; each of them first calls the library's
// exported _papplPrinterIsAuthorized through the PLT, and the definition
// below, found in the program first, runs the library's own check and then
// these. A document sent without a format (or as application/octet-stream)
// is typed by PAPPL from its first bytes, after this check, as before.
//
// Set-Printer-Attributes and Create-Printer (the exported
// _papplPrinterSetAttributes): PAPPL takes no sides-default, and its own
// `modify -o media=` sends media-default in the job group, which it then
// refuses. The definition below moves a job-group media-default to the
// printer group, takes a supported sides-default out of the request, lets
// the library's own set the rest, and then sets the sides default.
#include "request-check.h"

#include <dlfcn.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "state.h"

extern "C" {
bool _papplClientHaveDocumentData(pappl_client_t* client);
void _papplClientFlushDocumentData(pappl_client_t* client);
}

namespace {

// The format the client named for its document, or nullptr where it named
// none (or only application/octet-stream) or named it wrongly (PAPPL answers
// that itself).
const char* NamedFormat(ipp_t* request) {
  ipp_attribute_t* attr = ippFindAttribute(request, "document-format", IPP_TAG_ZERO);
  if (!attr || ippGetCount(attr) != 1 || ippGetValueTag(attr) != IPP_TAG_MIMETYPE ||
      ippGetGroupTag(attr) != IPP_TAG_OPERATION)
    return nullptr;
  const char* format = ippGetString(attr, 0, nullptr);
  return format && strcmp(format, "application/octet-stream") != 0 ? format : nullptr;
}

bool Supports(pappl_printer_t* printer, const char* format) {
  ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
  bool supported = ippContainsString(ippFindAttribute(attrs, "document-format-supported", IPP_TAG_MIMETYPE),
                                     format);
  ippDelete(attrs);
  return supported;
}

// The free bytes of the spool folder's file system, or -1 where unknown.
long long SpoolFree() {
  struct statvfs fs;
  const char* spool = mirelo_app::SpoolDirectory();
  if (!spool || !*spool || statvfs(spool, &fs) != 0) return -1;
  return static_cast<long long>(fs.f_bavail) * static_cast<long long>(fs.f_frsize);
}

// The document's size as the client announced it, or -1 (chunked or none).
long long AnnouncedSize(http_t* http) {
  const char* text = http ? httpGetField(http, HTTP_FIELD_CONTENT_LENGTH) : nullptr;
  if (!text || !*text) return -1;
  errno = 0;
  char* end = nullptr;
  long long size = strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && size >= 0 ? size : -1;
}

// The sides value of a sides keyword, 0 for none.
pappl_sides_t SidesValue(const char* keyword) {
  if (!keyword) return static_cast<pappl_sides_t>(0);
  if (strcmp(keyword, "one-sided") == 0) return PAPPL_SIDES_ONE_SIDED;
  if (strcmp(keyword, "two-sided-long-edge") == 0) return PAPPL_SIDES_TWO_SIDED_LONG_EDGE;
  if (strcmp(keyword, "two-sided-short-edge") == 0) return PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
  return static_cast<pappl_sides_t>(0);
}

// False, with the answer made, when the request's document is refused.
bool DocumentAccepted(pappl_client_t* client) {
  ipp_op_t op = papplClientGetOperation(client);
  if (op != IPP_OP_PRINT_JOB && op != IPP_OP_VALIDATE_JOB && op != IPP_OP_SEND_DOCUMENT) return true;
  ipp_t* request = papplClientGetRequest(client);
  pappl_printer_t* printer = papplClientGetPrinter(client);
  const bool has_data = op != IPP_OP_VALIDATE_JOB && _papplClientHaveDocumentData(client);
  if (const char* format = NamedFormat(request); format && printer && !Supports(printer, format)) {
    if (has_data) _papplClientFlushDocumentData(client);
    ipp_t* response = papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                                            "Unsupported document format \"%s\".", format);
    ipp_attribute_t* unsupported = ippCopyAttribute(
        response, ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE), 0);
    ippSetGroupTag(response, &unsupported, IPP_TAG_UNSUPPORTED_GROUP);
    return false;
  }
  if (!has_data) return true;
  const long long size = AnnouncedSize(papplClientGetHTTP(client));
  const long long free_bytes = size > 0 ? SpoolFree() : -1;
  if (size > 0 && free_bytes >= 0 && size > free_bytes) {
    _papplClientFlushDocumentData(client);
    papplClientRespondIPP(client, IPP_STATUS_ERROR_REQUEST_ENTITY,
                          "The document (%s bytes) does not fit in the spool folder (%s bytes free).",
                          std::to_string(size).c_str(), std::to_string(free_bytes).c_str());
    return false;
  }
  return true;
}

}  // namespace

extern "C" bool _papplPrinterIsAuthorized(pappl_client_t* client) {
  using Fn = bool (*)(pappl_client_t*);
  static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_papplPrinterIsAuthorized"));
  if (!real) {
    papplClientRespond(client, HTTP_STATUS_SERVER_ERROR, nullptr, nullptr, 0, 0);
    return false;
  }
  return real(client) && DocumentAccepted(client);
}

extern "C" bool _papplPrinterSetAttributes(pappl_client_t* client, pappl_printer_t* printer) {
  using Fn = bool (*)(pappl_client_t*, pappl_printer_t*);
  static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_papplPrinterSetAttributes"));
  if (!real) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "Unable to set printer attributes.");
    return false;
  }
  ipp_t* request = papplClientGetRequest(client);
  for (ipp_attribute_t* a = ippFirstAttribute(request); a; a = ippNextAttribute(request))
    if (ippGetGroupTag(a) == IPP_TAG_JOB && ippGetName(a) && strcmp(ippGetName(a), "media-default") == 0)
      ippSetGroupTag(request, &a, IPP_TAG_PRINTER);
  pappl_sides_t sides = PAPPL_SIDES_ONE_SIDED;
  bool set_sides = false;
  ipp_attribute_t* attr = ippFindAttribute(request, "sides-default", IPP_TAG_ZERO);
  if (attr && printer && ippGetGroupTag(attr) == IPP_TAG_PRINTER && ippGetValueTag(attr) == IPP_TAG_KEYWORD &&
      ippGetCount(attr) == 1) {
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    sides = SidesValue(ippGetString(attr, 0, nullptr));
    if (sides && (data.sides_supported & sides)) {
      set_sides = true;
      ippDeleteAttribute(request, attr);  // PAPPL would refuse it
    }
  }
  if (!real(client, printer)) return false;
  if (set_sides) {
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    data.sides_default = sides;
    if (!papplPrinterSetDriverDefaults(printer, &data, 0, nullptr)) {
      papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "Unable to set sides-default.");
      return false;
    }
  }
  return true;
}
