// Printer link monitoring.
#include "monitor/monitor.h"

#include "filter/filter.h"

// PLACEHOLDER (printer link, issue 3): no queue lookup, no threads.
int getPrinter_optiopns(const char*, char*, size_t, char*, size_t) { return 0; }
void* Printer_cancle_query_tread(void*) { return nullptr; }
void Creatpthread(char* const /*argv*/[]) {}
void Waitpthread() { g_bdummyEnd.store(true); }
