// Stop requests and the service manager on Windows: Ctrl+C, Ctrl+Break and the console closing,
// counted by a console control handler. There is no service manager to notify.
#include "os/win32/os_win32_internal.h"

#include <atomic>

//~ Stop requests
static std::atomic<u32> g_stop_requests{0};

// The system runs the handler on a thread of its own. After a close event the process is ended
// as soon as the handler returns (and at the latest a few seconds later), so that handler keeps
// the thread until the program has finished and ended itself.
static BOOL WINAPI stop_request_handler(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  u32 count = g_stop_requests.fetch_add(1) + 1;
  if (count >= 2) ExitProcess((UINT)STATUS_CONTROL_C_EXIT);
  if (event == CTRL_CLOSE_EVENT) {
    for (;;) Sleep(INFINITE);
  }
  return TRUE;
}

void stop_requests_install() { SetConsoleCtrlHandler(stop_request_handler, TRUE); }

u32 stop_requests() { return g_stop_requests.load(); }

//~ Service manager
void service_notify(Str8) {}

u64 service_watchdog_us() { return 0; }
