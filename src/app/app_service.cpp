// What the service manager is told: readiness, the counts as they change, the watchdog's beat.
#include "app/app.h"

//~ Service manager
void app_service_ready(ServiceNotes *notes) {
  *notes = {};
  u64 every = service_watchdog_us() / 3;
  notes->watchdog_every_us = every > 0 ? min_of(every, AppWatchdogMostUs) : 0;
  notes->watchdog_sent_us = clock_now_us();
  service_notify(str8_lit("READY=1"));
}

void app_service_tick(ServiceNotes *notes, u64 converted, u64 waiting) {
  u64 now = clock_now_us();
  bool changed = !notes->status_told || converted != notes->converted || waiting != notes->waiting;
  if (changed && (!notes->status_told || now - notes->status_sent_us >= AppStatusEveryUs)) {
    Scratch scratch = scratch_begin(nullptr);
    service_notify(arena_format(scratch.arena, "STATUS=%llu converted, %llu waiting", (unsigned long long)converted,
                                (unsigned long long)waiting));
    scratch_restore(scratch);
    notes->converted = converted;
    notes->waiting = waiting;
    notes->status_sent_us = now;
    notes->status_told = true;
  }
  app_service_beat(notes);
}

void app_service_beat(ServiceNotes *notes) {
  u64 now = clock_now_us();
  if (notes->watchdog_every_us > 0 && now - notes->watchdog_sent_us >= notes->watchdog_every_us) {
    service_notify(str8_lit("WATCHDOG=1"));
    notes->watchdog_sent_us = now;
  }
}
