// The service side of the main loop: what the service manager (systemd) is told as the program
// runs, and how long a stop waits for the sources in flight. Main thread.
#pragma once

#include "base/base.h"

//~ Service manager
// A stop lets the sources being converted finish and commit for at most this long; what is not
// done by then is left in place, as a killed run leaves it.
constexpr u64 AppStopGraceUs = 10000000;
// "STATUS=" is sent only when it changed, and at most this often.
constexpr u64 AppStatusEveryUs = 1000000;
// "WATCHDOG=1" is sent at a third of the interval the manager asks for, and at least this often.
constexpr u64 AppWatchdogMostUs = 5000000;

struct ServiceNotes {
  u64 watchdog_every_us; // 0: the manager does not watch this process
  u64 watchdog_sent_us;
  u64 status_sent_us;
  u64 converted; // as last told
  u64 waiting;
  bool status_told;
};

// "READY=1", once the program waits for files; notes how often the watchdog wants to hear.
void app_service_ready(ServiceNotes *notes);
// From each turn of the main loop: "STATUS=<n> converted, <m> waiting" when it changed, and
// "WATCHDOG=1" when it is due. During a stop no pass counts what waits: the watchdog alone.
void app_service_tick(ServiceNotes *notes, u64 converted, u64 waiting);
void app_service_beat(ServiceNotes *notes);
