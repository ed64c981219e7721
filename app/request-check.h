// SPDX-License-Identifier: Apache-2.0
// The program's own definitions of two PAPPL 1.3.1 request steps, which
// check a print request's document and take the printer defaults PAPPL
// refuses (see request-check.cpp). PAPPL calls them; the app does not.
#pragma once

#include <pappl/pappl.h>

extern "C" bool _papplPrinterIsAuthorized(pappl_client_t* client);
extern "C" bool _papplPrinterSetAttributes(pappl_client_t* client, pappl_printer_t* printer);
