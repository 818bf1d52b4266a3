// Stop requests and the service manager on POSIX: SIGTERM and SIGINT counted by a handler that
// touches nothing else, and systemd's notifications through libsystemd.
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cstring>

#include "os/posix/os_posix_internal.h"

//~ Stop requests
// Lock-free on every system we build for, so the handler may touch it.
static std::atomic<u32> g_stop_requests{0};
static_assert(std::atomic<u32>::is_always_lock_free);

// Async-signal-safe: an atomic add, and for the second request sigaction and raise. The
// signal is blocked while its handler runs, so the raised one is taken, with its default
// action, as soon as the handler returns.
static void stop_request_handler(int sig) {
  u32 count = g_stop_requests.fetch_add(1) + 1;
  if (count < 2) return;
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(sig, &fallback, nullptr);
  raise(sig);
}

void stop_requests_install() {
  struct sigaction action = {};
  action.sa_handler = stop_request_handler;
  // Only the main thread takes these signals (the others block them from their start), and its
  // system calls go on where they were.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

u32 stop_requests() { return g_stop_requests.load(); }

//~ Service manager
void service_notify(Str8 state) {
  // sd_notify takes a zero-terminated text; the states we send are short
  char text[256];
  u64 size = min_of<u64>(state.size, sizeof(text) - 1);
  memcpy(text, state.str, (size_t)size);
  text[size] = 0;
  sd_notify(0, text);
}

u64 service_watchdog_us() {
  uint64_t usec = 0;
  return sd_watchdog_enabled(0, &usec) > 0 ? (u64)usec : 0;
}
