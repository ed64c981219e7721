// SPDX-License-Identifier: Apache-2.0
// A guard for PAPPL 1.3's DNS-SD device listing. The web interface's Add
// Printer page lists devices of every kind; when no Avahi daemon runs, PAPPL
// hands Avahi's service browser a null client, and Avahi's assertion on it
// ends the whole application (and with it every printer's queue). The two
// functions below take the place of Avahi's for PAPPL (the program's own
// definitions come first in the dynamic link): a null client gets an empty
// browser that finds nothing, which PAPPL later frees; every other call goes
// on to Avahi's own functions.
#include <dlfcn.h>

namespace {

// An empty browser; never handed to Avahi.
char g_empty_browser;

// Avahi's own function of this name, looked up past this program.
template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

// Avahi's types, opaque here: the guard passes them on unread.
struct AvahiClient;
struct AvahiServiceBrowser;
using AvahiServiceBrowserCallback = void (*)();

// avahi_service_browser_new: an empty browser for a null client.
AvahiServiceBrowser* avahi_service_browser_new(
    AvahiClient* client,                   // I - Avahi client, null without a daemon
    int interface,                         // I - interface index
    int protocol,                          // I - protocol
    const char* type,                      // I - service type
    const char* domain,                    // I - domain
    int flags,                             // I - lookup flags
    AvahiServiceBrowserCallback callback,  // I - result callback
    void* userdata) {                      // I - callback data
  if (!client) return reinterpret_cast<AvahiServiceBrowser*>(&g_empty_browser);
  using Fn = AvahiServiceBrowser* (*)(AvahiClient*, int, int, const char*, const char*, int,
                                      AvahiServiceBrowserCallback, void*);
  static const Fn next = Next<Fn>("avahi_service_browser_new");
  return next ? next(client, interface, protocol, type, domain, flags, callback, userdata) : nullptr;
}

// avahi_service_browser_free: the empty browser needs nothing.
int avahi_service_browser_free(AvahiServiceBrowser* browser) {  // I - browser
  if (browser == reinterpret_cast<AvahiServiceBrowser*>(&g_empty_browser)) return 0;
  using Fn = int (*)(AvahiServiceBrowser*);
  static const Fn next = Next<Fn>("avahi_service_browser_free");
  return next ? next(browser) : -1;
}

}  // extern "C"
