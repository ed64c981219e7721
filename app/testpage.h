// SPDX-License-Identifier: Apache-2.0
// The drivers' test page: a PostScript page with the model and printer names
// in a frame.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

namespace mirelo_app {

// pappl_pr_testpage_cb_t: writes the printer's test page to a file in the
// server's spool folder and returns its name (in buffer), or null when it
// cannot.
const char* TestPage(pappl_printer_t* printer, char* buffer, size_t bufsize);

}  // namespace mirelo_app
