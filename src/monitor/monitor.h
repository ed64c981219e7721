// Printer link monitoring: the queue's device URI and the printer's address,
// the SNMP and USB requests, the cancel monitor and the keep-alive thread.
#pragma once

#include <cstddef>

// Record handed to the cancel monitor; filled by the writer before the
// thread starts and unchanged for as long as the process lives.
struct cancel_query_arg {
  char uri[512];      // device URI of the job's queue, empty when not found
  int jobid;          // CUPS job id
  char jobower[512];  // this host's name, the PJL job owner
};

// Finds the queue among the CUPS destinations and copies its device URI and
// make-and-model into the two buffers (each of the given size). Returns 0.
int getPrinter_optiopns(const char* queue, char* uri, size_t uri_size,
                        char* make_model, size_t make_model_size);

// Cancel monitor thread; arg is a cancel_query_arg*.
void* Printer_cancle_query_tread(void* arg);

// Keep-alive thread around the Heron print-file copy.
void Creatpthread(char* const argv[]);
void Waitpthread();
