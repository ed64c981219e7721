// PDF path of the Heron family.
#include "pdfpath/pdfpath.h"

// PLACEHOLDER (Heron road, issue 5): no rotation, no conversion.
bool getqpdfversion() { return false; }
void CreatRotateDuplex(char* const /*argv*/[], char* /*path*/) {}
void removestr(char* /*text*/, const char* /*name*/, char /*terminator*/) {}
int pdf2ps(char* /*path*/, char* const /*argv*/[]) { return -1; }
