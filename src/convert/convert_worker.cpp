// Placeholder conversion worker until the conversion lands: takes paths off the queue.
#include "app/app_state.h"

void conversion_worker(u64 index) {
  thread_set_name("[VANTOR] Convert #%I64u", index);
  for (;;) {
    Scratch scratch = scratch_begin(nullptr);
    ring_pop(&app_state()->conversion_queue, scratch.arena);
    scratch_end(scratch);
    sleep_ms(100);
  }
}
