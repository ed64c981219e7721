// SPDX-License-Identifier: Apache-2.0
// mirelo-printer-app: the Printer Application of the Mirelo PostScript laser
// printers. papplMainloop gives it its sub-commands (server, add, submit,
// drivers, printers, jobs, cancel, shutdown, ...), the web interface, DNS-SD
// and the state file; this file gives it the drivers and the system.
//
// Server options (-o name=value) beside PAPPL's own:
//   server-port=N        IPP port (default 8000)
//   listen-hostname=H    address to listen on (default localhost)
//   state-file=PATH      state file (default /var/lib/mirelo-printer-app.state as root)
//   spool-directory=DIR  spool folder
//   log-file=PATH, log-level=debug|info|warn|error
#include <pappl/pappl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "drivers.h"
#include "job-core.h"
#include "print.h"
#include "security.h"

namespace {

constexpr char kName[] = "mirelo-printer-app";
constexpr char kVersion[] = MIRELO_APP_VERSION;
constexpr char kFooter[] = "Mirelo printers for driverless clients.";

std::string g_state_file;

const char* Option(int num, cups_option_t* options, const char* name, const char* fallback) {
  const char* v = cupsGetOption(name, num, options);
  return v && *v ? v : fallback;
}

pappl_loglevel_t LogLevel(const char* text) {
  if (!strcmp(text, "debug")) return PAPPL_LOGLEVEL_DEBUG;
  if (!strcmp(text, "warn")) return PAPPL_LOGLEVEL_WARN;
  if (!strcmp(text, "error")) return PAPPL_LOGLEVEL_ERROR;
  return PAPPL_LOGLEVEL_INFO;
}

bool SaveState(pappl_system_t* system, void*) { return papplSystemSaveState(system, g_state_file.c_str()); }

// pappl_ml_system_cb_t: the system, its listeners, filters and state.
pappl_system_t* MakeSystem(int num, cups_option_t* options, void*) {
  int port = atoi(Option(num, options, "server-port", "8000"));
  std::string home_state = std::string(getenv("HOME") ? getenv("HOME") : "/tmp") +
                           "/.mirelo-printer-app.state";
  g_state_file = Option(num, options, "state-file",
                        getuid() == 0 ? "/var/lib/mirelo-printer-app.state" : home_state.c_str());
  const char* spool = Option(num, options, "spool-directory", nullptr);
  const char* log = Option(num, options, "log-file", "-");
  pappl_loglevel_t level = LogLevel(Option(num, options, "log-level", "info"));
  if (std::string why; !mirelo_app::ConfigureJobPrograms(num, options, &why)) {
    fprintf(stderr, "%s: %s\n", kName, why.c_str());
    return nullptr;
  }

  const char* listen = Option(num, options, "listen-hostname", "localhost");
  // On localhost alone there is no TLS: PAPPL gives local clients no ipps
  // URI, and a printer must not announce a security it does not offer them.
  unsigned soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG |
                      PAPPL_SOPTIONS_WEB_SECURITY;
  if (strcmp(listen, "localhost") == 0) soptions |= PAPPL_SOPTIONS_NO_TLS;
  pappl_system_t* system = papplSystemCreate(static_cast<pappl_soptions_t>(soptions), kName, port,
                                             "_print,_universal", spool, log, level,
                                             mirelo_app::AuthService(num, options), false);
  if (!system) return nullptr;
  mirelo_app::SetUpAccess(system, num, options);
  papplSystemAddListeners(system, listen);
  pappl_version_t version = {};
  snprintf(version.name, sizeof(version.name), "%s", kName);
  snprintf(version.sversion, sizeof(version.sversion), "%s", kVersion);
  papplSystemSetVersions(system, 1, &version);

  auto& drivers = mirelo_app::DriverList();
  papplSystemSetPrinterDrivers(system, static_cast<int>(drivers.size()), drivers.data(),
                               mirelo_app::AutoAddCallback, nullptr, mirelo_app::DriverCallback, nullptr);
  papplSystemAddMIMEFilter(system, "application/pdf", mirelo_app::kDriverFormat, mirelo_app::PrintDocument,
                           nullptr);
  papplSystemAddMIMEFilter(system, "application/postscript", mirelo_app::kDriverFormat,
                           mirelo_app::PrintDocument, nullptr);

  papplSystemLoadState(system, g_state_file.c_str());
  papplSystemSetSaveCallback(system, SaveState, nullptr);
  return system;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1 && strcmp(argv[1], mirelo_app::kCoreJobCommand) == 0)
    return mirelo_app::CoreJobMain(argc, argv);

  auto& drivers = mirelo_app::DriverList();
  return papplMainloop(argc, argv, kVersion, kFooter, static_cast<int>(drivers.size()), drivers.data(),
                       mirelo_app::AutoAddCallback, mirelo_app::DriverCallback, nullptr, nullptr, MakeSystem,
                       nullptr, nullptr);
}
