// SPDX-License-Identifier: Apache-2.0
// The Printer Application as a network service, tried as an administrator
// and as an attacker would: the machine keeps its name, client names cannot
// inject printer commands, job programs never run as root and stop at their
// limits, administration needs an administrator. The server runs in the
// test's private network (and its own host name, mount and users where a
// test needs them).
#include <gtest/gtest.h>

#include <cups/cups.h>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "harness/printer_app.h"
#include "harness/printer_link.h"
#include "harness/words.h"

namespace mtest {
namespace {

constexpr char kHost[] = "mtest-uts-host";
constexpr int kPort = 8632;
constexpr const char* kFamilies[] = {"plain", "finch", "heron"};

class Secure : public ::testing::Test {
 protected:
  void SetUp() override {
    MTEST_REQUIRE_PRIVATE_NETWORK();
    std::string why;
    if (!EnterPrivateHostName(kHost, &why)) GTEST_SKIP() << why;
    if (!EnterPrivateUsers(MIRELOPS_SOURCE_DIR "/debian/mirelo-printer-app.pam", &why)) GTEST_SKIP() << why;
    ASSERT_TRUE(sink_.Start(&why)) << why;
  }
  // Starts the server with extra server options and a printer per family.
  void StartServer(const std::vector<std::string>& options = {}, const std::string& dir = "secure") {
    std::string why;
    server_.SetOptions(options);
    ASSERT_TRUE(server_.Start(TempPath(dir), kPort, &why)) << why;
    const char* drivers[] = {"mirelo_p2200dn", "mirelo_f4200dn", "mirelo_h9100dn"};
    for (int i = 0; i < 3; ++i) {
      std::string out;
      ASSERT_EQ(server_.Command(
                    {"add", "-d", kFamilies[i], "-m", drivers[i], "-v", "socket://127.0.0.1:9100"}, &out),
                0)
          << out << server_.Log();
    }
  }

  // Print-Job over IPP on 127.0.0.1 with the given user and job names;
  // returns the status and the job the printer got (empty when refused).
  ipp_status_t Print(const char* queue, const std::string& file, const char* format, const std::string& user,
                     const std::string& name, std::string* job, bool wait = true) {
    size_t index = sink_.Count();
    http_t* http = httpConnect2("127.0.0.1", kPort, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000,
                                nullptr);
    if (!http) return IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
    const std::string resource = std::string("/ipp/print/") + queue;
    ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 ("ipp://127.0.0.1:" + std::to_string(kPort) + resource).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, user.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "document-name", nullptr, name.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    ipp_t* response = cupsDoFileRequest(http, request, resource.c_str(), file.c_str());
    ipp_status_t status = response ? ippGetStatusCode(response) : cupsLastError();
    ippDelete(response);
    httpClose(http);
    job->clear();
    if (wait && status < IPP_STATUS_REDIRECTION_OTHER_SITE) {
      EXPECT_TRUE(sink_.WaitForJob(index, 60, job)) << server_.Log();
    }
    return status;
  }

  JobSink sink_;
  AppServer server_;
};

// ---- The host name ---------------------------------------------------------------

// Started and printing as root, the server leaves the host name alone, and
// the finch owner tag is that name.
TEST_F(Secure, HostNameStaysAndIsTheOwnerTag) {
  StartServer();
  std::string out, job;
  ASSERT_EQ(server_.Command({"drivers"}, &out), 0) << out;
  ASSERT_EQ(Print("finch", MakePdf(1), "application/pdf", "alice", "job", &job), IPP_STATUS_OK);
  EXPECT_EQ(HostName(), kHost);
  EXPECT_NE(job.find("@PJL SET JOBOWNER=\"" + std::string(kHost) + "\"\r\n"), std::string::npos) << job;
}

// ---- Names in the printer stream --------------------------------------------------

// Job and user names with control characters (a PJL line break, the
// Universal Exit Language, Ctrl-D, ESC) or over-long reach no family's
// stream as commands: the stream carries the same PJL lines, UELs and
// Ctrl-Ds as a job with plain names, and the names' printable rest.
TEST_F(Secure, NamesCarryPrintableCharactersOnly) {
  StartServer();
  const std::string pdf = MakePdf(1);
  const std::string ps = PsFromPdftops(pdf);
  const std::string inject = "\r\n@PJL SET INJECTED=ON\r\n@PJL ENTER LANGUAGE = PCL\r\n";
  const std::vector<std::string> names = {"a" + inject + "b", "c\x1b%-12345X@PJL SET INJECTED=ON\n\x04",
                                          "d\x1b\x04\te", std::string(3000, 'n') + inject};
  for (const char* queue : kFamilies) {
    for (const auto& [file, format] : {std::pair{pdf, "application/pdf"}, {ps, "application/postscript"}}) {
      std::string clean;
      ASSERT_EQ(Print(queue, file, format, "alice", "job", &clean), IPP_STATUS_OK);
      for (const std::string& name : names) {
        SCOPED_TRACE(std::string(queue) + " " + format + " " + name.substr(0, 40));
        std::string job;
        ipp_status_t status = Print(queue, file, format, name, name, &job);
        if (status == IPP_STATUS_ERROR_BAD_REQUEST) continue;  // refused as CUPS refuses it
        ASSERT_EQ(status, IPP_STATUS_OK)
            << ippErrorString(status)
            << server_.Log().substr(server_.Log().size() > 6000 ? server_.Log().size() - 6000 : 0);
        EXPECT_EQ(job.find("\n@PJL SET INJECTED"), std::string::npos);
        EXPECT_EQ(job.find("\n@PJL ENTER LANGUAGE = PCL"), std::string::npos);
        EXPECT_EQ(Count(job, kUel), Count(clean, kUel));
        EXPECT_EQ(Count(job, "\x04"), Count(clean, "\x04"));
        EXPECT_EQ(Count(job, "\n@PJL"), Count(clean, "\n@PJL"));
        EXPECT_EQ(Count(job, "\x1b"), Count(clean, "\x1b"));
        EXPECT_LT(job.size(), clean.size() + 4 * 256);
      }
    }
  }
}

// ---- Job programs ---------------------------------------------------------------

// The programs below the server, sampled every few milliseconds from /proc:
// name, real and effective user, no-new-privileges flag.
class ProcessTree {
 public:
  struct Seen {
    std::string name;
    uid_t ruid, euid;
    bool no_new_privs;
  };
  explicit ProcessTree(pid_t root)
      : thread_([this, root] {
          while (!stop_) {
            Sample(root);
            usleep(2000);
          }
        }) {}
  ~ProcessTree() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  const std::map<pid_t, Seen>& seen() const { return seen_; }

 private:
  void Sample(pid_t root) {
    std::map<pid_t, pid_t> parent;
    std::map<pid_t, std::string> status;
    DIR* proc = opendir("/proc");
    if (!proc) return;
    while (dirent* e = readdir(proc)) {
      pid_t pid = static_cast<pid_t>(atoi(e->d_name));
      if (pid <= 0) continue;
      std::string text = ReadFile("/proc/" + std::to_string(pid) + "/status");
      size_t at = text.find("\nPPid:");
      if (at == std::string::npos) continue;
      parent[pid] = static_cast<pid_t>(atoi(text.c_str() + at + 6));
      status[pid] = text;
    }
    closedir(proc);
    for (const auto& [pid, text] : status) {
      bool below = false;
      for (pid_t p = parent[pid]; p > 1 && !below; p = parent.count(p) ? parent[p] : 0) below = p == root;
      if (!below) continue;
      Seen s;
      s.name = text.substr(6, text.find('\n') - 6);
      unsigned r = 0, eff = 0;
      size_t uid = text.find("\nUid:");
      sscanf(text.c_str() + uid + 5, "%u %u", &r, &eff);
      s.ruid = r;
      s.euid = eff;
      s.no_new_privs = text.find("NoNewPrivs:\t1") != std::string::npos;
      seen_[pid] = s;
    }
  }
  std::atomic<bool> stop_{false};
  std::map<pid_t, Seen> seen_;
  std::thread thread_;
};

// A server started as root runs every job program as the job user (here
// lp, or the package's user where it exists), with no new privileges.
TEST_F(Secure, JobProgramsNeverRunAsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "the server must be started as root";
  StartServer();
  const passwd* own = getpwnam("mirelo-printer-app");
  const passwd* lp = own ? own : getpwnam("lp");
  ASSERT_NE(lp, nullptr);
  const uid_t expected = lp->pw_uid;
  const std::string pdf = MakePdf(4);
  const std::string ps = PsFromPdftops(pdf);
  ProcessTree tree(server_.Pid());
  std::string job;
  for (const char* queue : kFamilies) {
    ASSERT_EQ(Print(queue, pdf, "application/pdf", "alice", "job", &job), IPP_STATUS_OK);
    ASSERT_EQ(Print(queue, ps, "application/postscript", "alice", "job", &job), IPP_STATUS_OK);
  }
  tree.Stop();
  std::set<std::string> names;
  for (const auto& [pid, s] : tree.seen()) {
    SCOPED_TRACE(s.name + " " + std::to_string(pid));
    names.insert(s.name);
    EXPECT_EQ(s.ruid, expected);
    EXPECT_EQ(s.euid, expected);
    EXPECT_TRUE(s.no_new_privs);
  }
  std::string all;
  for (const auto& n : names) all += n + " ";
  for (const char* program : {"exe", "gs", "pstops"}) EXPECT_TRUE(names.count(program)) << all;
}

// A job program over its CPU or wall-clock limit is stopped; the job is
// aborted with the reason in its log, and the next job prints.
TEST_F(Secure, JobProgramsStopAtTheirLimits) {
  const std::string endless = TempPath("endless.ps");
  WriteFile(endless,
            "%!PS-Adobe-3.0\n%%Pages: 1\n%%EndComments\n%%Page: 1 1\n{ 1 pop } loop\nshowpage\n%%EOF\n");
  const std::string pdf = MakePdf(1);
  const struct {
    const char* cpu;
    const char* time;
    const char* reason;
  } kLimits[] = {
      {"job-cpu-limit=1", "job-time-limit=60", "gs exceeded its CPU time limit of 1 seconds"},
      {"job-cpu-limit=60", "job-time-limit=2", "gs exceeded its time limit of 2 seconds and was stopped"}};
  for (const auto& l : kLimits) {
    SCOPED_TRACE(l.reason);
    server_.Stop();
    StartServer({l.cpu, l.time}, l.cpu);
    std::string job;
    const size_t before = sink_.Count();
    ASSERT_EQ(Print("heron", endless, "application/postscript", "alice", "endless", &job, false),
              IPP_STATUS_OK);
    bool stopped = false;
    for (int i = 0; i < 200 && !stopped; ++i, usleep(100000))
      stopped = server_.Log().find(l.reason) != std::string::npos;
    EXPECT_TRUE(stopped) << server_.Log();
    EXPECT_EQ(sink_.Count(), before);
    ASSERT_EQ(Print("heron", pdf, "application/pdf", "alice", "next", &job), IPP_STATUS_OK);
    EXPECT_FALSE(job.empty());
  }
}

// ---- Administration ----------------------------------------------------------

// A client of the server: a process of user uid on the domain socket, or on
// TCP (127.0.0.1) logged in as login (null: no credentials); requests name
// user as requesting-user-name.
struct Client {
  const char* label;
  uid_t uid;
  bool socket;
  const char* login;
  const char* user;
  bool admin;                      // what the server should take it for
  const char* host = "127.0.0.1";  // TCP: where the server listens
  bool tls = false;
};

// Sends the request that make builds from a child process of the client's
// user and returns the IPP status (an HTTP refusal as libcups maps it);
// *id gets the response's job-id, or its printer-id.
ipp_status_t Send(const AppServer& server, const Client& c, const std::string& resource,
                  const std::function<ipp_t*(const char* user)>& make, int* id = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) return IPP_STATUS_ERROR_INTERNAL;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (c.uid != 0) {
      gid_t gid = c.uid;
      if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(c.uid, c.uid, c.uid) != 0)
        _exit(1);
    }
    cupsSetUser(c.login ? c.login : c.user);
    cupsSetPasswordCB2([](const char*, http_t*, const char*, const char*,
                          void* login) -> const char* { return login ? kTestPassword : nullptr; },
                       const_cast<char*>(c.login));
    http_t* http = c.socket ? httpConnect2(server.SocketPath().c_str(), 0, nullptr, AF_LOCAL,
                                           HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr)
                            : httpConnect2(c.host, kPort, nullptr, AF_INET,
                                           c.tls ? HTTP_ENCRYPTION_ALWAYS : HTTP_ENCRYPTION_IF_REQUESTED, 1,
                                           30000, nullptr);
    ipp_t* request = make(c.user);
    ipp_t* response = http ? cupsDoRequest(http, request, resource.c_str()) : nullptr;
    ipp_attribute_t* id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER);
    if (!id) id = ippFindAttribute(response, "printer-id", IPP_TAG_INTEGER);
    int out[2] = {response ? ippGetStatusCode(response) : cupsLastError(), ippGetInteger(id, 0)};
    ssize_t ignored = write(fds[1], out, sizeof(out));
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  int out[2] = {IPP_STATUS_ERROR_INTERNAL, 0};
  ssize_t got = read(fds[0], out, sizeof(out));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  if (got != sizeof(out)) return IPP_STATUS_ERROR_INTERNAL;
  if (id) *id = out[1];
  return static_cast<ipp_status_t>(out[0]);
}

// A request of op for queue (null: the system) and job_id (0: none) from user.
ipp_t* Request(ipp_op_t op, const char* queue, const char* user, int job_id = 0) {
  ipp_t* r = ippNewRequest(op);
  if (queue) {
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 (std::string("ipp://localhost/ipp/print/") + queue).c_str());
  } else {
    ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr, "ipp://localhost/ipp/system");
  }
  if (job_id) ippAddInteger(r, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
  ippAddString(r, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, user);
  return r;
}

// The HTTP status of a GET of path on 127.0.0.1, logged in as login (null: none).
int HttpGet(const char* path, const char* login) {
  http_t* http = httpConnect2("127.0.0.1", kPort, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000,
                              nullptr);
  if (!http) return -1;
  httpClearFields(http);
  httpSetField(http, HTTP_FIELD_HOST, ("localhost:" + std::to_string(kPort)).c_str());
  if (login) {
    char encoded[256];
    const std::string pair = std::string(login) + ":" + kTestPassword;
    httpEncode64_2(encoded, sizeof(encoded), pair.c_str(), static_cast<int>(pair.size()));
    httpSetField(http, HTTP_FIELD_AUTHORIZATION, (std::string("Basic ") + encoded).c_str());
  }
  http_status_t status = HTTP_STATUS_ERROR;
  if (httpGet(http, path) == 0) {
    while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
    }
  }
  httpClose(http);
  return status;
}

// Everyone may print, see the queue and cancel their own jobs; printers,
// system settings, the log and other users' jobs need root or a member of
// lpadmin: on the socket by its peer, on TCP by a login.
TEST_F(Secure, AdministrationNeedsAnAdministrator) {
  StartServer();
  const uid_t nobody = getpwnam("nobody")->pw_uid;
  const Client kClients[] = {{"root on the socket", 0, true, nullptr, "root", true},
                             {"lpadmin member on the socket", 61001, true, nullptr, kTestAdmin, true},
                             {"nobody on the socket (named root)", nobody, true, nullptr, "root", false},
                             {"lpadmin member logged in on TCP", 0, false, kTestAdmin, kTestAdmin, true},
                             {"user logged in on TCP", 0, false, kTestUser, kTestUser, false},
                             {"no login on TCP (named root)", 0, false, nullptr, "root", false}};
  const Client alice = {"alice", 0, false, nullptr, "alice", false};
  const std::string pdf = MakePdf(1);
  auto waiting_job = [&](const Client& c, int* id) {
    return Send(
        server_, c, "/ipp/print/plain",
        [&](const char* u) {
          ipp_t* r = Request(IPP_OP_CREATE_JOB, "plain", u);
          ippAddString(r, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
          return r;
        },
        id);
  };
  auto refused = [](ipp_status_t s) {
    return s == IPP_STATUS_ERROR_FORBIDDEN || s == IPP_STATUS_ERROR_NOT_AUTHORIZED ||
           s == IPP_STATUS_ERROR_NOT_AUTHENTICATED || s == IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED;
  };
  for (const Client& c : kClients) {
    SCOPED_TRACE(c.label);
    std::string out;
    server_.Command({"add", "-d", "victim", "-m", "mirelo_p2200dn", "-v", "socket://127.0.0.1:9100"}, &out);
    int victim = 0;
    Send(
        server_, kClients[0], "/ipp/print/victim",
        [](const char* u) { return Request(IPP_OP_GET_PRINTER_ATTRIBUTES, "victim", u); }, &victim);
    // Everyone: a job of one's own, the queue, cancelling one's own job.
    int own = 0, other = 0;
    EXPECT_EQ(waiting_job(c, &own), IPP_STATUS_OK);
    EXPECT_EQ(Send(server_, c, "/ipp/print/plain",
                   [](const char* u) { return Request(IPP_OP_GET_JOBS, "plain", u); }),
              IPP_STATUS_OK);
    EXPECT_EQ(Send(server_, c, "/ipp/print/plain",
                   [&](const char* u) { return Request(IPP_OP_CANCEL_JOB, "plain", u, own); }),
              IPP_STATUS_OK);
    // Administrators only: another user's job, the printers, the system, the log.
    EXPECT_EQ(waiting_job(alice, &other), IPP_STATUS_OK);
    auto set = [](ipp_op_t op, const char* queue, ipp_tag_t group, const char* name) {
      return [=](const char* u) {
        ipp_t* r = Request(op, queue, u);
        ippAddString(r, group, IPP_TAG_TEXT, name, nullptr, "moved");
        return r;
      };
    };
    const std::pair<const char*, ipp_status_t> admin_ops[] = {
        {"Cancel-Job of alice's job",
         Send(server_, c, "/ipp/print/plain",
              [&](const char* u) { return Request(IPP_OP_CANCEL_JOB, "plain", u, other); })},
        {"Set-Printer-Attributes",
         Send(server_, c, "/ipp/print/plain",
              set(IPP_OP_SET_PRINTER_ATTRIBUTES, "plain", IPP_TAG_PRINTER, "printer-location"))},
        {"Disable-Printer", Send(server_, c, "/ipp/print/victim",
                                 [](const char* u) { return Request(IPP_OP_DISABLE_PRINTER, "victim", u); })},
        {"Set-System-Attributes",
         Send(server_, c, "/ipp/system",
              set(IPP_OP_SET_SYSTEM_ATTRIBUTES, nullptr, IPP_TAG_SYSTEM, "system-location"))}};
    for (const auto& [op, status] : admin_ops) {
      if (c.admin)
        EXPECT_EQ(status, IPP_STATUS_OK) << op << ": " << ippErrorString(status);
      else
        EXPECT_TRUE(refused(status)) << op << ": " << ippErrorString(status);
    }
    if (!c.socket) {
      // The web pages of the log, adding and deleting printers.
      for (const char* page : {"/logfile.txt", "/addprinter", "/victim/delete"})
        EXPECT_EQ(HttpGet(page, c.login) / (c.admin ? 100 : 1), c.admin ? 2 : c.login ? 403 : 401) << page;
    }
    if (HasFailure()) {
      ADD_FAILURE() << server_.Log();
      break;
    }
  }
  // Jobs waiting for their document would hold the server's shutdown.
  server_.Command({"cancel", "-d", "plain", "-a"});
}

// The web pages in headless chromium: without a login the state pages open,
// the Add Printer form and the log do not (App.WebInterfaceInABrowser adds a
// printer logged in).
TEST_F(Secure, WebPagesAskForALogin) {
  for (const char* program : {"/usr/bin/chromium", "/usr/bin/chromedriver"})
    if (access(program, X_OK) != 0) GTEST_SKIP() << program << " is not installed";
  if (mtest::Run({"/usr/bin/python3", "-c", "import selenium"}) != 0)
    GTEST_SKIP() << "python3-selenium is not installed";
  StartServer();
  std::string out, err;
  EXPECT_EQ(mtest::Run({"/usr/bin/python3", MIRELOPS_SOURCE_DIR "/tests/app/web_check.py",
                        "http://localhost:" + std::to_string(kPort), "plain", "webadded", "mirelo_p1100",
                        "127.0.0.1", "-"},
                       &out, &err),
            0)
      << out << err;
}

// ---- Beyond localhost -------------------------------------------------------

// Listening on a name other than localhost's (here 127.0.0.2, named in a
// private /etc/hosts; a .local name, one that PAPPL answers to), the server
// offers TLS with its own certificate (written in a private /etc/cups/ssl)
// and asks for a login over it.
TEST_F(Secure, BeyondLocalhostOffersTlsAndAsksForALogin) {
  constexpr char kName[] = "mtest-printer.local";
  std::string why;
  ASSERT_TRUE(AddPrivateHost("127.0.0.2", kName, &why)) << why;
  server_.SetAddress("127.0.0.2");
  StartServer({std::string("listen-hostname=") + kName});
  const std::string uri = "ipps://" + std::string(kName) + ":" + std::to_string(kPort) + "/ipp/print/plain";
  std::string out, err;
  ASSERT_EQ(mtest::Run({"ipptool", "-tv", uri, "get-printer-attributes.test"}, &out, &err), 0) << out << err;
  EXPECT_NE(out.find("uri-security-supported (1setOf keyword) = none,tls"), std::string::npos) << out;
  const size_t index = sink_.Count();
  ASSERT_EQ(mtest::Run({"ipptool", "-t", "-f", MakePdf(1), uri, "print-job.test"}, &out, &err), 0)
      << out << err;
  std::string job;
  EXPECT_TRUE(sink_.WaitForJob(index, 60, &job)) << server_.Log();

  // An administrator's request over TLS: a login is asked for, and taken.
  auto disable = [](const char* u) { return Request(IPP_OP_DISABLE_PRINTER, "plain", u); };
  const Client anyone = {"no login over TLS", 0, false, nullptr, "root", false, "127.0.0.2", true};
  const Client admin = {"admin over TLS", 0, false, kTestAdmin, kTestAdmin, true, "127.0.0.2", true};
  ipp_status_t status = Send(server_, anyone, "/ipp/print/plain", disable);
  EXPECT_TRUE(status == IPP_STATUS_ERROR_NOT_AUTHORIZED ||
              status == IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED)
      << ippErrorString(status);
  EXPECT_EQ(Send(server_, admin, "/ipp/print/plain", disable), IPP_STATUS_OK);
}

}  // namespace
}  // namespace mtest
