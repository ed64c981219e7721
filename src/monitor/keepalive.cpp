// SPDX-License-Identifier: Apache-2.0
// The keep-alive thread of the Heron road: while the print file is copied
// to the printer, a network printer gets the SNMP wake-up every five
// seconds, and a USB printer is held open. Creatpthread starts it right
// before the copy; Waitpthread raises its end flag and joins it right after.
// The thread also ends by itself once the job is cancelled.
#include "monitor/monitor.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "common/io.h"
#include "job/entry-points.h"
#include "monitor/monitor-private.h"

pthread_t dummy_thread = 0;
std::atomic<bool> g_bdummyEnd{false};

namespace {

constexpr char kJobEndExit[] = "Job end, dummy thread exit.\n";
constexpr useconds_t kUsbPause = 700000;
constexpr int kWakeUpSeconds = 5;
// The pause between wake-ups is cut into slices so that the end flag from
// Waitpthread ends it at once; a host-less URI pauses one slice per round.
constexpr useconds_t kPauseSlice = 100000;
constexpr size_t kHostSize = 1024;

// The thread's copy of the device URI: the environment may change while it
// runs. Written by Creatpthread only while no keep-alive thread runs.
std::string g_dummy_uri;

// Sleeps the given time in slices up to a deadline (a loaded machine's late
// wake-ups do not add up); ends early once the end flag is set.
void PauseUnlessEnded(useconds_t total) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::microseconds(total);
  for (Clock::time_point now = Clock::now(); now < end && !g_bdummyEnd.load(); now = Clock::now()) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - now).count();
    usleep(static_cast<useconds_t>(std::min<long long>(left, kPauseSlice)));
  }
}

void* HoldUsb(const char* uri) {
  mirelo::UsbDevice device(FindUsbDeviceHandle(uri));
  if (!device.get()) {
    mirelo::ErrWrite("dummy_send::handle is null\n");
    return nullptr;
  }
  for (;;) {
    if (g_bdummyEnd.load()) return const_cast<char*>(kJobEndExit);
    usleep(kUsbPause);
    if (job_canceled.load()) g_bdummyEnd.store(true);
  }
}

void* WakeNet(const char* uri) {
  char host[kHostSize] = {};
  int port = 0;
  // The resolver is asked nothing about an empty or malformed URI.
  if (!IsWellFormedUri(uri) || !getPrinterHostNameFromUri(uri, host, sizeof(host), &port)) {
    mirelo::ErrWrite("fail to get host name\n");
    return nullptr;
  }
  // The name is looked up once: the end of the job never waits on a name
  // server.
  WakeUpTarget target;
  bool have_target = host[0] != '\0' && ResolveWakeUpTarget(host, &target);
  for (;;) {
    if (g_bdummyEnd.load()) return const_cast<char*>(kJobEndExit);
    if (have_target) {
      SendWakeUp(target, host);
      PauseUnlessEnded(kWakeUpSeconds * 1000000u);
    } else {
      PauseUnlessEnded(kPauseSlice);
    }
    if (job_canceled.load()) g_bdummyEnd.store(true);
  }
}

}  // namespace

void* dummy_send_tread(void* arg) {
  // Ended by its flag; the cancel in Waitpthread is a last resort after a
  // failed join and takes effect at the next sleep, send or receive
  // (deferred: an asynchronous cancel could strike inside malloc or the
  // resolver and leave their locks held).
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  const char* uri = static_cast<const char*>(arg);
  if (!uri) return nullptr;
  if (IsUsbUri(uri)) return HoldUsb(uri);
  return WakeNet(uri);
}

namespace {

// Starts the thread on the device URI, or on the queue name when there is
// no URI and the name holds a ':' (a URI given in its place).
void StartOn(const char* uri, const char* queue) {
  if (!uri) {
    if (queue && queue[0] != '\0' && strchr(queue, ':')) {
      uri = queue;
    } else {
      mirelo::ErrWrite("argv error\n");
      return;
    }
  }
  g_dummy_uri = uri;
  int rc = pthread_create(&dummy_thread, nullptr, dummy_send_tread, const_cast<char*>(g_dummy_uri.c_str()));
  if (rc != 0) {
    dummy_thread = 0;
    mirelo::ErrPrintf("psrelay::CreateDammyThread Failed, err = %d\n", rc);
  }
}

}  // namespace

void Creatpthread(char* const argv[]) { StartOn(getenv("DEVICE_URI"), argv ? argv[0] : nullptr); }

void mirelo::StartKeepAlive(const Job& job) {
  StartOn(job.have_device_uri ? job.device_uri.c_str() : nullptr, job.queue.c_str());
}

void Waitpthread() {
  g_bdummyEnd.store(true);
  mirelo::ErrPrintf("End::g_bDammyEnd = %d\n", g_bdummyEnd.load() ? 1 : 0);
  if (dummy_thread == 0) return;
  int rc = pthread_join(dummy_thread, nullptr);
  if (rc != 0) {
    usleep(500000);
    pthread_cancel(dummy_thread);
    mirelo::ErrPrintf("psrelay::pthread_dammy_join error value is %d \n", rc);
  }
  dummy_thread = 0;
}
