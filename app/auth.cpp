// SPDX-License-Identifier: Apache-2.0
// Who may do what, as in CUPS' default policy: everyone may print, see the
// printers and the queue, and act on their own jobs; adding, changing and
// deleting printers, the system settings, the log and other users' jobs need
// an administrator: root or a member of the admin group (lpadmin). A client
// of the server's domain socket is who its peer credentials say; a TCP client
// is who it logs in as (HTTP Basic, checked by PAM; over TLS, or from
// loopback), and otherwise its requesting-user-name, which is enough for its
// own jobs only.
//
// PAPPL 1.3.1 lets every client of its domain socket administer, and every
// client on loopback when it has no authentication service; its function that
// decides (the library's exported _papplClientIsAuthorizedForGroup, called
// through the PLT by every check) is taken over by the definition below, which
// the dynamic linker finds in the program before the library's.
#include "security.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace mirelo_app {

namespace {

std::string g_pam_service = kPamService;

// getpwnam_r / getpwuid_r into a record of the name, uid and primary group.
struct User {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};
bool FindUser(const char* name, uid_t uid, User* user) {
  passwd pw = {}, *found = nullptr;
  std::vector<char> buf(16384);
  int err = name ? getpwnam_r(name, &pw, buf.data(), buf.size(), &found)
                 : getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
  if (err != 0 || !found) return false;
  user->name = found->pw_name;
  user->uid = found->pw_uid;
  user->gid = found->pw_gid;
  return true;
}

// True when user is a member of group (by its primary group or the group
// list).
bool InGroup(const User& user, const char* group) {
  struct group gr = {}, *found = nullptr;
  std::vector<char> buf(16384);
  if (!group || getgrnam_r(group, &gr, buf.data(), buf.size(), &found) != 0 || !found) return false;
  gid_t gid = found->gr_gid;
  if (user.gid == gid) return true;
  std::vector<gid_t> groups(256);
  int n = static_cast<int>(groups.size());
  if (getgrouplist(user.name.c_str(), user.gid, groups.data(), &n) < 0) return false;
  for (int i = 0; i < n; ++i)
    if (groups[static_cast<size_t>(i)] == gid) return true;
  return false;
}

bool IsAdministrator(const User& user) { return user.uid == 0 || InGroup(user, kAdminGroup); }

struct PamAnswers {
  const char* user;
  const char* password;
};
int Converse(int n, const pam_message** msg, pam_response** resp, void* data) {
  auto* answers = static_cast<PamAnswers*>(data);
  auto* replies = static_cast<pam_response*>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
  if (!replies) return PAM_CONV_ERR;
  for (int i = 0; i < n; ++i) {
    if (msg[i]->msg_style == PAM_PROMPT_ECHO_ON)
      replies[i].resp = strdup(answers->user);
    else if (msg[i]->msg_style == PAM_PROMPT_ECHO_OFF)
      replies[i].resp = strdup(answers->password);
  }
  *resp = replies;
  return PAM_SUCCESS;
}

// The PAM login of user with password (authentication and account).
bool PamLogin(pappl_client_t* client, const char* user, const char* password) {
  PamAnswers answers = {user, password};
  pam_conv conv = {Converse, &answers};
  pam_handle_t* pamh = nullptr;
  int err = pam_start(g_pam_service.c_str(), user, &conv, &pamh);
  if (err == PAM_SUCCESS) err = pam_set_item(pamh, PAM_RHOST, papplClientGetHostName(client));
  if (err == PAM_SUCCESS) err = pam_authenticate(pamh, PAM_SILENT);
  if (err == PAM_SUCCESS) err = pam_acct_mgmt(pamh, PAM_SILENT);
  if (err != PAM_SUCCESS)
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Login of '%s' refused: %s", user, pam_strerror(pamh, err));
  if (pamh) pam_end(pamh, err);
  return err == PAM_SUCCESS;
}

// The client's user: its peer on the domain socket, or the one it logged in
// as with Basic credentials. Returns HTTP_STATUS_CONTINUE with *known set
// when it is known, HTTP_STATUS_CONTINUE with *known clear when the client
// gave no credentials, or the status that refuses the request.
http_status_t Identify(pappl_client_t* client, User* user, bool* known) {
  *known = false;
  http_t* http = papplClientGetHTTP(client);
  http_addr_t* addr = httpGetAddress(http);
  if (httpAddrFamily(addr) == AF_LOCAL) {
    ucred cred = {};
    socklen_t len = sizeof(cred);
    if (getsockopt(httpGetFd(http), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return HTTP_STATUS_FORBIDDEN;
    if (!FindUser(nullptr, cred.uid, user)) {
      // A user without a name of its own here (from a container) is its number.
      user->name = std::to_string(cred.uid);
      user->uid = cred.uid;
      user->gid = static_cast<gid_t>(-1);
    }
    *known = true;
    return HTTP_STATUS_CONTINUE;
  }
  const char* auth = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
  if (!auth || !*auth) return HTTP_STATUS_CONTINUE;
  // A password never crosses the network in the clear.
  if (!httpIsEncrypted(http) && !httpAddrLocalhost(addr)) return HTTP_STATUS_UPGRADE_REQUIRED;
  if (strncmp(auth, "Basic ", 6) != 0) return HTTP_STATUS_BAD_REQUEST;
  char text[512];
  int len = sizeof(text);
  httpDecode64_2(text, &len, auth + 6);
  char* password = strchr(text, ':');
  if (!password) return HTTP_STATUS_BAD_REQUEST;
  *password++ = '\0';
  bool ok = PamLogin(client, text, password) && FindUser(text, 0, user);
  explicit_bzero(text, sizeof(text));
  if (!ok) return HTTP_STATUS_UNAUTHORIZED;
  *known = true;
  return HTTP_STATUS_CONTINUE;
}

}  // namespace

const char* AuthService(int num_options, cups_option_t* options) {
  if (const char* service = cupsGetOption("auth-service", num_options, options); service && *service)
    g_pam_service = service;
  return g_pam_service.c_str();
}

void SetUpAccess(pappl_system_t* system, int num_options, cups_option_t* options) {
  papplSystemSetAdminGroup(system, kAdminGroup);
  if (const char* path = cupsGetOption("socket-file", num_options, options); path && *path == '/')
    papplSystemAddListeners(system, path);
}

http_status_t Authorize(pappl_client_t* client, bool admin, const char* group) {
  User user;
  bool known = false;
  http_status_t status = Identify(client, &user, &known);
  if (status != HTTP_STATUS_CONTINUE) return status;
  if (known) {
    papplClientSetUsername(client, user.name.c_str());
  } else if (ipp_t* request = papplClientGetRequest(client)) {
    // No login: the user the request names, as PAPPL names a job's owner.
    const char* name = ippGetString(ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0,
                                    nullptr);
    papplClientSetUsername(client, PrintableName(name).c_str());
  }
  // Disabling and enabling a printer and cancelling whatever job it prints
  // are an administrator's (PAPPL asks for a user who may print).
  ipp_op_t op = papplClientGetOperation(client);
  if (op == IPP_OP_DISABLE_PRINTER || op == IPP_OP_ENABLE_PRINTER || op == IPP_OP_CANCEL_CURRENT_JOB)
    admin = true;
  if (!admin && !group) return HTTP_STATUS_CONTINUE;
  // Everyone may see the queue: another user's job too (PAPPL asks for its
  // owner or an administrator).
  if (op == IPP_OP_GET_JOB_ATTRIBUTES && papplClientGetJob(client)) return HTTP_STATUS_CONTINUE;
  if (known && (admin ? IsAdministrator(user) : InGroup(user, group) || IsAdministrator(user)))
    return HTTP_STATUS_CONTINUE;
  if (known) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "'%s' is not allowed this request.", user.name.c_str());
    return HTTP_STATUS_FORBIDDEN;
  }
  http_t* http = papplClientGetHTTP(client);
  if (!httpIsEncrypted(http) && !httpAddrLocalhost(httpGetAddress(http))) return HTTP_STATUS_UPGRADE_REQUIRED;
  return HTTP_STATUS_UNAUTHORIZED;
}

}  // namespace mirelo_app

// PAPPL's decision, taken over (see the top of the file): admin is asked for
// by papplClientIsAuthorized (allow_remote false) and for the admin group;
// the printer's print group (none unless set) by everything else.
extern "C" http_status_t _papplClientIsAuthorizedForGroup(pappl_client_t* client, bool allow_remote,
                                                          const char* group, gid_t) {
  if (!client) return HTTP_STATUS_BAD_REQUEST;
  bool admin = !allow_remote || (group && strcmp(group, mirelo_app::kAdminGroup) == 0);
  return mirelo_app::Authorize(client, admin, admin ? nullptr : group);
}
