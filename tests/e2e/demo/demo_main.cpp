// SPDX-License-Identifier: Apache-2.0
// The demo of scripts/demo.sh: the filter under a private CUPS scheduler.
// It starts a cupsd of its own (its own temporary folder and socket, in a
// network namespace of its own; the system's CUPS is never asked), makes a
// queue for a plain, a finch and a Heron printer from the generated PPDs,
// prints a demo document to each with lp, and shows each job's state and
// the first lines of what reached the printer (the test backend stores it).
// Then, when it is built, the Printer Application: its server with a finch
// printer on a fake network printer (a raw socket sink on 127.0.0.1:9100 and
// an SNMP agent), added to the scheduler as a driverless queue, printed to
// with lp in the same way.
#include <cups/cups.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/print_system.h"
#include "harness/printer_app.h"
#include "harness/printer_link.h"

namespace {

struct DemoQueue {
  const char* queue;
  const char* model;
  std::vector<std::string> lp_args;
  const char* what;
};

const char* StateName(int state) {
  switch (state) {
    case IPP_JSTATE_PENDING:
      return "pending";
    case IPP_JSTATE_HELD:
      return "held";
    case IPP_JSTATE_PROCESSING:
      return "processing";
    case IPP_JSTATE_STOPPED:
      return "stopped";
    case IPP_JSTATE_CANCELED:
      return "canceled";
    case IPP_JSTATE_ABORTED:
      return "aborted";
    case IPP_JSTATE_COMPLETED:
      return "completed";
    default:
      return "unknown";
  }
}

// The first lines of the printer stream, control characters shown as ^X,
// long lines cut.
void ShowHead(const std::string& stream, int lines) {
  constexpr size_t kWidth = 96;
  std::string line;
  int shown = 0;
  for (size_t i = 0; i < stream.size() && shown < lines; ++i) {
    unsigned char c = static_cast<unsigned char>(stream[i]);
    if (c == '\n') {
      if (line.size() > kWidth) line = line.substr(0, kWidth) + "...";
      printf("    %s\n", line.c_str());
      line.clear();
      ++shown;
    } else if (c < 0x20 || c == 0x7f) {
      line += '^';
      line += static_cast<char>(c == 0x7f ? '?' : c + '@');
    } else {
      line += static_cast<char>(c);
    }
  }
  if (shown < lines && !line.empty()) printf("    %s\n", line.c_str());
}

// The Printer Application's part: a finch printer on the fake network
// printer, reached through a driverless queue. False when something failed.
bool PrintThroughTheApp(mtest::PrintSystem& ps, const std::string& doc) {
  printf("=== demo-app (Mirelo F4200DN through mirelo-printer-app): a driverless queue of the scheduler,\n"
         "    the Printer Application doing the filter's work for a network printer on 127.0.0.1:9100\n");
  std::string why;
  mtest::JobSink sink;
  mtest::FakePrinter snmp;
  snmp.Respond(mtest::FakeMib::Laser(mtest::PrinterDeviceId("Mirelo F4200DN"), 80).Responder());
  mtest::AppServer app;
  if (!sink.Start(&why) || !snmp.Start(&why) || !app.Start(mtest::TempPath("app"), 8631, &why)) {
    printf("the fake printer or the app did not start: %s\n\n", why.c_str());
    return false;
  }
  std::string out;
  printf("$ mirelo-printer-app add -d demo-app -m mirelo_f4200dn -v socket://127.0.0.1:9100\n");
  if (app.Command({"add", "-d", "demo-app", "-m", "mirelo_f4200dn", "-v", "socket://127.0.0.1:9100"}, &out) !=
      0) {
    printf("%s\n", out.c_str());
    return false;
  }
  printf("$ lpadmin -p demo-app -E -v %s -m everywhere\n", app.PrinterUri("demo-app").c_str());
  if (ps.Scheduler().Lpadmin({"-p", "demo-app", "-E", "-v", app.PrinterUri("demo-app"), "-m", "everywhere"},
                             &why) != 0) {
    printf("%s\n\n", why.c_str());
    return false;
  }
  const std::vector<std::string> lp_args = {"-n", "2", "-o",
                                            "multiple-document-handling=separate-documents-collated-copies"};
  printf("$ lp -d demo-app -n 2 -o multiple-document-handling=separate-documents-collated-copies demo.pdf\n");
  int job = ps.Submit("demo-app", doc, lp_args, &why);
  if (job < 0) {
    printf("%s\n\n", why.c_str());
    return false;
  }
  std::string stream;
  bool arrived = sink.WaitForJob(0, 60, &stream);
  bool done = ps.WaitDone("demo-app", job, 60);
  mtest::JobReport r = ps.Report("demo-app", job);
  printf("job demo-app-%d: %s%s\n", job, StateName(r.state), done ? "" : " (still not done after 60 s)");
  printf("the printer received %zu bytes; the first lines:\n", stream.size());
  ShowHead(stream, 10);
  printf("\n");
  return arrived && r.state == IPP_JSTATE_COMPLETED;
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  mtest::PrintSystem ps;
  std::string why;
  if (!ps.Start(&why)) {
    fprintf(stderr, "demo: cannot start the private scheduler: %s\n", why.c_str());
    return 1;
  }
  printf("A private CUPS scheduler runs in %s (socket %s).\n\n", ps.Scheduler().Dir().c_str(),
         ps.Scheduler().Socket().c_str());

  const std::vector<DemoQueue> queues = {
      {"demo-plain", "Mirelo P2200DN", {}, "a plain model: the job goes out as it is"},
      {"demo-finch",
       "Mirelo F4200DN",
       {"-n", "2", "-o", "collate=true"},
       "a finch model, 2 collated copies: PJL job owner and id, copies made by the filter"},
      {"demo-heron",
       "Mirelo H9100DN",
       {"-o", "sides=two-sided-long-edge"},
       "a Heron model, long-edge duplex: PDF in, back sides turned, converted to PostScript"},
  };
  // The demo document: two A4 pages, "Page 1 of 2" and "Page 2 of 2".
  std::string doc = mtest::TempPath("demo.pdf");
  mtest::WriteFile(doc, mtest::ReadFile(mtest::MakePdf(2)));
  int status = 0;
  for (const DemoQueue& q : queues) {
    std::string err;
    mtest::QueueSpec queue{q.queue, mtest::GeneratedPpd(q.model), mtest::PrinterDeviceId(q.model), 0};
    printf("=== %s (%s): %s\n", q.queue, q.model, q.what);
    if (!ps.AddQueue(queue, &err)) {
      printf("lpadmin failed: %s\n\n", err.c_str());
      status = 1;
      continue;
    }
    std::string command = "lp -d " + std::string(q.queue);
    for (const auto& a : q.lp_args) command += " " + a;
    printf("$ %s demo.pdf\n", command.c_str());
    int job = ps.Submit(q.queue, doc, q.lp_args, &err);
    if (job < 0) {
      printf("%s\n\n", err.c_str());
      status = 1;
      continue;
    }
    bool done = ps.WaitDone(q.queue, job, 60);
    mtest::JobReport r = ps.Report(q.queue, job);
    printf("job %s-%d: %s%s\n", q.queue, job, StateName(r.state), done ? "" : " (still not done after 60 s)");
    // CUPS before 2.4.8 leaves "processing-to-stop-point" in the reasons of a
    // job that completed: lpstat shows it as the job's alert although the
    // job printed. The job's state is what the scheduler reports as
    // job-state; the stale reason is marked as such.
    std::string lpstat = r.long_status;
    const std::string stale = "Alerts: processing-to-stop-point\n";
    if (r.state == IPP_JSTATE_COMPLETED) {
      for (size_t p = lpstat.find(stale); p != std::string::npos; p = lpstat.find(stale, p + 1))
        lpstat.insert(p + stale.size() - 1, "  (left behind by CUPS before 2.4.8: the job completed)");
    }
    printf("$ lpstat -l -o %s\n%s", q.queue, lpstat.c_str());
    printf("final state (IPP job-state): %s\n", StateName(r.state));
    std::string out = ps.Output(q.queue, job);
    printf(
        "the printer received %zu bytes (the filter asked it for its device ID %d times); the first lines:\n",
        out.size(), ps.DeviceIdRequests(q.queue, job));
    ShowHead(out, 10);
    printf("\n");
    if (r.state != IPP_JSTATE_COMPLETED || out.empty()) status = 1;
  }
  if (*MIRELO_APP_BIN && !PrintThroughTheApp(ps, doc)) status = 1;
  ps.Stop();
  printf("The private scheduler has stopped; its folder is removed.\n");
  return status;
}
