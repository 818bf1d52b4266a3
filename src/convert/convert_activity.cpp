// What happens to the sources, handed to whoever listens.
#include "convert/convert_activity.h"

//~ Listeners
// Written at set-up by the main thread before any worker exists, read-only afterwards.
struct ActivityListeners {
  ActivityListener *listener[ActivityListenersMax];
  void *user[ActivityListenersMax];
  u32 count;
};
static ActivityListeners g_activity;

bool activity_listen(ActivityListener *listener, void *user) {
  ActivityListeners *a = &g_activity;
  if (!listener || a->count >= ActivityListenersMax) return false;
  a->listener[a->count] = listener;
  a->user[a->count] = user;
  a->count += 1;
  return true;
}

bool activity_wanted() { return g_activity.count > 0; }

void activity_publish(const ActivityEvent *event) {
  const ActivityListeners *a = &g_activity;
  for (u32 i = 0; i < a->count; i += 1) a->listener[i](event, a->user[i]);
}
