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
//   spool-directory=DIR  spool folder (default /var/spool/mirelo-printer-app as
//                        root, $XDG_CACHE_HOME or ~/.cache/mirelo-printer-app)
//   log-file=PATH, log-level=debug|info|warn|error
#include <pappl/pappl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <strings.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "drivers.h"
#include "job-core.h"
#include "print.h"
#include "security.h"
#include "state.h"

namespace {

constexpr char kName[] = "mirelo-printer-app";
constexpr char kVersion[] = MIRELO_APP_VERSION;
constexpr char kFooter[] = "Mirelo printers for driverless clients.";

std::string g_state_file;
std::string g_spool;

// Where PAPPL 1.3.1 (as Debian builds it) puts a root server's domain socket.
constexpr char kRootSocketDir[] = "/run";

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

constexpr char kNotRunning[] =
    "server not running (start it: systemctl start mirelo-printer-app, or mirelo-printer-app server)";

// The spool folder when no spool-directory option names one: always the
// same, so that a server starting after a crash finds what that one left.
std::string DefaultSpool() {
  if (getuid() == 0) return std::string("/var/spool/") + kName;
  const char* cache = getenv("XDG_CACHE_HOME");
  if (cache && *cache == '/') return std::string(cache) + "/" + kName;
  const char* home = getenv("HOME");
  if (home && *home == '/') return std::string(home) + "/.cache/" + kName;
  return std::string(papplGetTempDir()) + "/" + kName + std::to_string(getuid()) + ".d";
}

bool SaveState(pappl_system_t* system, void*) { return papplSystemSaveState(system, g_state_file.c_str()); }

// pappl_ml_system_cb_t: the system, its listeners, filters and state.
pappl_system_t* MakeSystem(int num, cups_option_t* options, void*) {
  int port = atoi(Option(num, options, "server-port", "8000"));
  std::string home_state = std::string(getenv("HOME") ? getenv("HOME") : "/tmp") +
                           "/.mirelo-printer-app.state";
  g_state_file = Option(num, options, "state-file",
                        getuid() == 0 ? "/var/lib/mirelo-printer-app.state" : home_state.c_str());
  if (cupsGetOption("private-server", num, options)) {
    // The server papplMainloop starts behind a sub-command when none runs:
    // it would stay, listening, after the sub-command (main refuses those
    // sub-commands first; this is for one that lost a race).
    fprintf(stderr, "%s: %s\n", kName, kNotRunning);
    return nullptr;
  }
  g_spool = Option(num, options, "spool-directory", DefaultSpool().c_str());
  if (!mirelo_app::MakeFolder(g_spool)) {
    fprintf(stderr, "%s: Unable to create the spool folder '%s': %s\n", kName, g_spool.c_str(),
            strerror(errno));
    return nullptr;
  }
  mirelo_app::SetSpoolDirectory(g_spool.c_str());
  const char* spool = g_spool.c_str();
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
  // PAPPL 1.3.1 rotates its log file while other threads write to it: a
  // thread may write its line into the descriptor just closed and reused (a
  // client's connection, a job's pipe), which stalled the whole server. The
  // log file is never rotated by the server (logrotate's copytruncate, or the
  // journal with log-file=-).
  papplSystemSetMaxLogSize(system, 0);
  mirelo_app::SetUpAccess(system, num, options);
  papplSystemAddListeners(system, listen);
  // PAPPL 1.3.1 answers a request only when its Host: names the machine's
  // host name, localhost, an address or a .local name ("Bad Host").
  char host[256] = "";
  papplSystemGetHostName(system, host, sizeof(host));
  const size_t len = strlen(listen);
  if (strcmp(listen, "localhost") != 0 && strcasecmp(listen, host) != 0 && !isdigit(listen[0] & 255) &&
      listen[0] != '[' && !(len > 6 && strcasecmp(listen + len - 6, ".local") == 0))
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "Clients that name the server '%s' are refused (\"Bad Host\"): name it '%s', by its address or "
             "by a .local name.",
             listen, host);
  // PAPPL 1.3.1 adds a name's IPv6 addresses only when it has no IPv4 one;
  // localhost is both 127.0.0.1 and ::1.
  if (strcmp(listen, "localhost") == 0) papplSystemAddListeners(system, "[::1]");
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
  papplSystemAddMIMEFilter(system, mirelo_app::kTextFormat, mirelo_app::kDriverFormat,
                           mirelo_app::PrintDocument, nullptr);

  mirelo_app::LoadState(system, g_state_file.c_str());
  mirelo_app::CleanSpool(system, spool);
  papplSystemSetSaveCallback(system, SaveState, nullptr);
  return system;
}

// `drivers [-o device-id=ID]` needs no server: papplMainloop would create a
// whole system for it (its port bound, the state loaded, a /tmp/pappl<pid>.d
// spool folder left behind). The same lines as PAPPL's, from the driver list
// and the auto-add callback; -1 for arguments it leaves to papplMainloop.
int ShowDrivers(int argc, char* argv[]) {
  int num = 0;
  cups_option_t* options = nullptr;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      num = cupsParseOptions(argv[++i], num, &options);
    } else if (strncmp(argv[i], "-o", 2) == 0 && argv[i][2]) {
      num = cupsParseOptions(argv[i] + 2, num, &options);
    } else {
      cupsFreeOptions(num, options);
      return -1;
    }
  }
  const char* device_id = cupsGetOption("device-id", num, options);
  const char* only = device_id ? mirelo_app::AutoAddCallback(nullptr, nullptr, device_id, nullptr) : nullptr;
  if (!device_id || only) {
    for (const pappl_pr_driver_t& d : mirelo_app::DriverList())
      if (!only || strcmp(only, d.name) == 0)
        printf("%s \"%s\" \"%s\"\n", d.name, d.description, d.device_id ? d.device_id : "");
  }
  cupsFreeOptions(num, options);
  return 0;
}

// ---- Sub-commands that talk to the server ------------------------------------

// A command line as papplMainloop reads it: the sub-command ("submit" when
// none), -d's printer, whether -u names a printer URI, and whether there is
// more (other options, files).
struct CommandLine {
  std::string sub;
  std::string printer;
  bool uri = false;
  bool more = false;
  bool help = false;
};

CommandLine ParseCommandLine(int argc, char* argv[]) {
  static const char* const kSubs[] = {"add",     "autoadd", "cancel",   "default", "delete", "devices",
                                      "drivers", "jobs",    "modify",   "options", "pause",  "printers",
                                      "resume",  "server",  "shutdown", "status",  "submit"};
  CommandLine c;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "--help") == 0 || strcmp(a, "--version") == 0) {
      c.help = true;
    } else if (strncmp(a, "--", 2) == 0) {
      c.more = true;
      if (!a[2]) ++i;  // "--" FILE
    } else if (a[0] == '-' && a[1]) {
      // papplMainloop takes the option letter from the argument's first.
      if (strchr("dhjmnotuv", a[1]) && i + 1 < argc) {
        const char* value = argv[++i];
        if (a[1] == 'd' && c.printer.empty())
          c.printer = value;
        else if (a[1] == 'u')
          c.uri = true;
        else
          c.more = true;
      } else {
        c.more = true;
      }
    } else if (strcmp(a, "-") != 0) {
      bool known = false;
      for (const char* s : kSubs) known = known || strcmp(a, s) == 0;
      if (known && c.sub.empty())
        c.sub = a;
      else
        c.more = true;
    }
  }
  if (c.sub.empty()) c.sub = "submit";
  return c;
}

// The server's domain socket, as papplMainloop names it for uid.
std::string SocketPath(const std::string& base, uid_t uid) {
  if (uid) return std::string(papplGetTempDir()) + "/" + base + std::to_string(uid) + ".sock";
  if (const char* snap = getenv("SNAP_COMMON")) return std::string(snap) + "/" + base + ".sock";
  return std::string(kRootSocketDir) + "/" + base + ".sock";
}

// Connects to the running server as papplMainloop's sub-commands do (the
// user's own, then root's), but never starts one.
http_t* ConnectServer(const std::string& base) {
  for (uid_t uid : {getuid(), static_cast<uid_t>(0)}) {
    http_t* http = httpConnect2(SocketPath(base, uid).c_str(), 0, nullptr, AF_UNSPEC,
                                HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
    if (http || uid == 0) return http;
  }
  return nullptr;
}

// PAPPL 1.3.1 closes its domain socket without removing it: once the server
// has ended, a socket at path that nobody answers goes.
void RemoveStaleSocket(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return;
  sockaddr_un addr = {};
  addr.sun_family = AF_LOCAL;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  int fd = socket(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool answered = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  if (fd >= 0) close(fd);
  if (!answered) unlink(path.c_str());
}

// The printer-id of the printer named name, from the system's
// system-configured-printers; 0 when there is none. (PAPPL 1.3.1's own
// printer-id attribute of a printer is 0 until the server loads it from its
// state, so that PAPPL's delete -d and default -d fail for a printer added
// since the server started.)
int PrinterId(http_t* http, const std::string& name) {
  ipp_t* request = ippNewRequest(IPP_OP_GET_SYSTEM_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr, "ipp://localhost/ipp/system");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "system-configured-printers");
  ipp_t* response = cupsDoRequest(http, request, "/ipp/system");
  int id = 0;
  ipp_attribute_t* printers = ippFindAttribute(response, "system-configured-printers",
                                               IPP_TAG_BEGIN_COLLECTION);
  for (int i = 0; i < ippGetCount(printers) && id == 0; ++i) {
    ipp_t* col = ippGetCollection(printers, i);
    const char* printer = ippGetString(ippFindAttribute(col, "printer-name", IPP_TAG_ZERO), 0, nullptr);
    if (printer && name == printer)
      id = ippGetInteger(ippFindAttribute(col, "printer-id", IPP_TAG_INTEGER), 0);
  }
  ippDelete(response);
  return id;
}

// `delete -d NAME` and `default -d NAME` with the printer's real id.
int DeleteOrDefault(http_t* http, const std::string& base, const CommandLine& c) {
  int id = PrinterId(http, c.printer);
  if (id <= 0) {
    fprintf(stderr, "%s: No printer named '%s'.\n", base.c_str(), c.printer.c_str());
    return 1;
  }
  bool remove = c.sub == "delete";
  ipp_t* request = ippNewRequest(remove ? IPP_OP_DELETE_PRINTER : IPP_OP_SET_SYSTEM_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr, "ipp://localhost/ipp/system");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  if (remove)
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "printer-id", id);
  else
    ippAddInteger(request, IPP_TAG_SYSTEM, IPP_TAG_INTEGER, "system-default-printer-id", id);
  ippDelete(cupsDoRequest(http, request, "/ipp/system"));
  if (cupsLastError() == IPP_STATUS_OK) return 0;
  // PAPPL's own messages.
  fprintf(stderr, remove ? "%s: Unable to delete printer: %s\n" : "%s: Unable to set default printer: %s\n",
          base.c_str(), cupsLastErrorString());
  return 1;
}

// The sub-commands papplMainloop runs against the server, starting a private
// one when none runs (which then stays, listening on the IPP port).
bool NeedsServer(const CommandLine& c) {
  static const char* const kClient[] = {"add",    "autoadd", "cancel", "default",  "delete", "jobs",
                                        "modify", "options", "pause",  "printers", "resume", "submit"};
  if (c.help || c.uri) return false;
  for (const char* s : kClient)
    if (c.sub == s) return true;
  return false;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1 && strcmp(argv[1], mirelo_app::kCoreJobCommand) == 0)
    return mirelo_app::CoreJobMain(argc, argv);
  if (argc > 1 && strcmp(argv[1], "drivers") == 0) {
    int rc = ShowDrivers(argc, argv);
    if (rc >= 0) return rc;
  }

  const char* slash = strrchr(argv[0], '/');
  const std::string base = slash ? slash + 1 : argv[0];
  const CommandLine command = ParseCommandLine(argc, argv);
  if (NeedsServer(command)) {
    http_t* http = ConnectServer(base);
    if (!http) {
      fprintf(stderr, "%s: %s\n", base.c_str(), kNotRunning);
      return 1;
    }
    if ((command.sub == "delete" || command.sub == "default") && !command.printer.empty() && !command.more) {
      int rc = DeleteOrDefault(http, base, command);
      httpClose(http);
      return rc;
    }
    httpClose(http);
  }

  auto& drivers = mirelo_app::DriverList();
  int rc = papplMainloop(argc, argv, kVersion, kFooter, static_cast<int>(drivers.size()), drivers.data(),
                         mirelo_app::AutoAddCallback, mirelo_app::DriverCallback, nullptr, nullptr,
                         MakeSystem, nullptr, nullptr);
  if (command.sub == "server" && !command.help) RemoveStaleSocket(SocketPath(base, getuid()));
  // PAPPL 1.3.1's server sees a Shutdown-All-Printers request only when its
  // main loop next wakes (a connection, up to 30 seconds later): a connection
  // wakes it now.
  if (command.sub == "shutdown" && !command.help && !command.uri && rc == 0)
    if (http_t* wake = ConnectServer(base)) httpClose(wake);
  return rc;
}
