// The conversion worker: one source path per cycle, claimed so that no other worker holds it,
// converted from the intake's complete read, written durably, then deleted or left in place.
#include <atomic>
#include <cstring>

#include "convert/convert_internal.h"

//~ What the workers share
static std::atomic<ConvertShared *> convert_shared_pointer{nullptr};

void convert_share(ConvertShared *shared) { convert_shared_pointer.store(shared, std::memory_order_release); }
ConvertShared *convert_shared() { return convert_shared_pointer.load(std::memory_order_acquire); }

bool convert_source_held(Str8 path, FileProps props) {
  ConvertShared *shared = convert_shared();
  return shared && shared_claim_held(source_below_input(shared->in_folder, path), props);
}

u64 worker_watch_read(WorkerWatch *watch, u8 *name, u64 *name_size) {
  cs_enter(watch->lock);
  u64 started = atomic_load_u64(&watch->started_us);
  *name_size = started ? watch->source_size : 0;
  memcpy(name, watch->source, *name_size);
  cs_leave(watch->lock);
  u64 now = clock_now_us();
  return started && now > started ? now - started : 0;
}

static void worker_watch_take(WorkerWatch *watch, Str8 path) {
  Str8 kept = str8_keep_back(path, WorkerWatchNameMost);
  cs_enter(watch->lock);
  memcpy(watch->source, kept.str, kept.size);
  watch->source_size = kept.size;
  atomic_store_u64(&watch->started_us, max_of(clock_now_us(), (u64)1));
  cs_leave(watch->lock);
}

//~ Worker
void worker_memory_init(WorkerMemory *memory) {
  // Small and medium files fit in the first blocks, which stay committed from one file to the
  // next; a large file's buffers get blocks of their own, which go back when it is done.
  memory->file_arena = arena_create(mib(16), kib(256));
  memory->layout_arena = arena_create(mib(4), kib(256));
  memory->batch = batch_create();
}

void conversion_worker(u64 index) {
  thread_set_name("[VANTOR] Convert #%I64u", index);
  ConvertShared *shared = convert_shared();
  WorkerMemory memory = {};
  worker_memory_init(&memory);
  for (;;) {
    // The scan keeps offering a source that waits in the batch, so the queue is never empty
    // for long while one does; a stopping worker hands its batch over at once.
    bool stopping = convert_stopping();
    if (worker_batch_due(&memory, stopping || string_ring_is_empty(shared->queue))) worker_hand_over(&memory);
    Scratch scratch = scratch_begin(nullptr);
    ContentLease *lease = content_lease_begin();
    // With sources in its batch, a worker waits for a path only until the batch is due: the
    // others may have emptied the queue, or a stop ended the scan that would fill it again.
    u64 deadline = memory.batch->count > 0 ? clock_now_us() + SourceBatchWaitUs : DeadlineNone;
    Str8 path = string_ring_pop_until(shared->queue, scratch.arena, deadline);
    // Busy before looking at the stop, which is set before the stop looks at the busy count:
    // a path taken as the stop began is either dropped here or waited for.
    atomic_add_u64(shared->workers_busy, 1);
    memory.taken_us = activity_wanted() ? clock_now_us() : 0;
    WorkerWatch *watch = shared->watch ? &shared->watch[index] : nullptr;
    if (watch && path.size > 0) worker_watch_take(watch, path);
    FileProps seen = path.size > 0 && !convert_stopping() ? file_props_from_path(path) : FileProps{};
    // Duplicates of a path stay queued after its file was converted and deleted, and while
    // another worker holds it: those cost a look, not a pause.
    bool waiting_for_bytes = false;
    if (props_is_file(seen)) {
      ClaimEntry *entry = claim_acquire(shared->claims, path, seen);
      if (entry) {
        waiting_for_bytes = convert_attempt(shared, entry, path, seen, lease, scratch.arena, &memory) == AttemptWaiting;
      }
    }
    content_lease_end(lease);
    scratch_restore(scratch);
    if (watch) atomic_store_u64(&watch->started_us, 0);
    atomic_add_u64(shared->workers_busy, (u64)-1);
    // The intake has not read this version yet: give the streamers a moment before the next
    // path, which is often a duplicate of this one.
    if (waiting_for_bytes) sleep_ms(100);
  }
}

//~ Stopping
static u32 g_stopping; // atomic

void convert_stop() { atomic_store_u32(&g_stopping, 1); }
bool convert_stopping() { return atomic_load_u32(&g_stopping) != 0; }

// The busy count is read before the batches': a worker adds its source to its batch before it
// leaves its cycle, so a source between the two is never missed.
bool convert_in_flight() {
  if (atomic_load_u64(convert_shared()->workers_busy) > 0) return true;
  return sources_uncommitted() > 0;
}
