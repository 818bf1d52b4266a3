// The content table with its leases, spare read buffers and reaper; the digests and counters.
#include "intake/intake.h"

static ContentStore *g_content_store;
static IntakeStats g_intake_counters;

static void reaper_thread(u64 arg);

//~ Digests
U128 digest128(Str8 s) {
  // the empty view is "no content", zero, as everywhere in the intake; the digests never leave
  // the process, so a fast hash does
  return s.size == 0 ? u128_zero() : xxh3_128(s.str, s.size);
}

//~ Content store
ContentStore *content_store() { return g_content_store; }

void content_store_start() {
  Arena *arena = arena_create(mib(64), kib(64));
  ContentStore *store = arena_push<ContentStore>(arena);
  store->arena = arena;
  u64 processors = max_of<u64>(1, sys_info()->processor_count);
  store->contents.init(arena, 4096, min_of<u64>(4096, processors), mib(64), kib(64));
  store->paths.init(arena, 4096, min_of<u64>(4096, processors), mib(64), kib(64));
  store->spare_lock = cs_create();
  g_content_store = store;
  store->reaper = thread_create(reaper_thread, 0);
}

//- content table
// A digest's bucket is its second word modulo the bucket count.
static ContentTable::Slot content_slot(U128 digest) { return content_store()->contents.slot(digest.u64s[1]); }

static ContentEntry *content_find(ContentTable::Bucket *bucket, U128 digest) {
  return ContentTable::find(bucket, [&](ContentEntry *e) { return u128_equal(e->digest, digest); });
}

void content_count_add(U128 digest, u64 ContentEntry::*field, u64 delta) {
  ContentTable::Slot slot = content_slot(digest);
  srw_lock_shared(slot.stripe->lock);
  ContentEntry *e = content_find(slot.bucket, digest);
  if (e) {
    atomic_add_u64(&(e->*field), delta);
  }
  srw_unlock_shared(slot.stripe->lock);
}

ContentInfo content_store_info(U128 digest) {
  ContentInfo info = {};
  ContentTable::Slot slot = content_slot(digest);
  srw_lock_shared(slot.stripe->lock);
  ContentEntry *e = content_find(slot.bucket, digest);
  if (e) {
    info.found = true;
    info.readers = atomic_load_u64(&e->readers);
    info.holders = atomic_load_u64(&e->holders);
    info.size = e->content.size;
  }
  srw_unlock_shared(slot.stripe->lock);
  return info;
}

void content_insert(U128 digest, Arena **arena, Str8 content) {
  Arena *redundant = nullptr;
  ContentTable::Slot slot = content_slot(digest);
  srw_lock_exclusive(slot.stripe->lock);
  ContentEntry *e = content_find(slot.bucket, digest);
  if (e) {
    atomic_add_u64(&e->holders, 1);
    redundant = *arena;
  } else {
    e = ContentTable::take(slot.stripe);
    *e = {};
    e->digest = digest;
    e->arena = *arena;
    e->content = content;
    e->holders = 1;
    ContentTable::append(slot.bucket, e);
    atomic_add_u64(&g_intake_counters.live_contents, 1);
    atomic_add_u64(&g_intake_counters.live_bytes, content.size);
  }
  *arena = nullptr;
  srw_unlock_exclusive(slot.stripe->lock);
  if (redundant) {
    content_spare_put(redundant);
  }
}

//~ Leases
struct LeaseContext {
  Arena *arena;
  ContentLease *free_leases;
  LeaseEntry *free_entries;
};

static thread_local LeaseContext *t_lease_context;

static LeaseContext *lease_context() {
  if (!t_lease_context) {
    Arena *arena = arena_create(mib(64), kib(64));
    LeaseContext *context = arena_push<LeaseContext>(arena);
    context->arena = arena;
    t_lease_context = context;
  }
  return t_lease_context;
}

ContentLease *content_lease_begin() {
  LeaseContext *context = lease_context();
  ContentLease *lease = sll_stack_pop(context->free_leases);
  if (!lease) lease = arena_push_uninit<ContentLease>(context->arena);
  *lease = {};
  return lease;
}

Str8 content_lease_get(ContentLease *lease, U128 digest) {
  LeaseContext *context = lease_context();
  Str8 result = {};
  ContentTable::Slot slot = content_slot(digest);
  srw_lock_shared(slot.stripe->lock);
  ContentEntry *e = content_find(slot.bucket, digest);
  if (e) {
    atomic_add_u64(&e->readers, 1);
    LeaseEntry *entry = sll_stack_pop(context->free_entries);
    if (!entry) entry = arena_push_uninit<LeaseEntry>(context->arena);
    entry->digest = digest;
    sll_stack_push(lease->first, entry);
    result = e->content;
  }
  srw_unlock_shared(slot.stripe->lock);
  return result;
}

void content_lease_end(ContentLease *lease) {
  LeaseContext *context = lease_context();
  LeaseEntry *next = nullptr;
  for (LeaseEntry *entry = lease->first; entry; entry = next) {
    next = entry->next;
    content_count_add(entry->digest, &ContentEntry::readers, ~0ull);
    sll_stack_push(context->free_entries, entry);
  }
  lease->first = nullptr;
  sll_stack_push(context->free_leases, lease);
}

//~ Spare read buffers
// The arenas of freed contents, kept for the next reads so that their pages are faulted in
// once, not once per file. Only small ones are kept, and only so many bytes in all: a read of
// a large file costs far more than its page faults.
constexpr u64 SpareArenaLargest = mib(4);
constexpr u64 SpareArenaBytes = mib(24);

void content_spare_put(Arena *arena) {
  if (!arena) return;
  ContentStore *store = content_store();
  bool kept = false;
  if (arena->current == arena && arena->reserved <= SpareArenaLargest) {
    cs_enter(store->spare_lock);
    if (store->spare_count < ContentSpareSlots && store->spare_bytes + arena->reserved <= SpareArenaBytes) {
      store->spare[store->spare_count++] = arena;
      store->spare_bytes += arena->reserved;
      kept = true;
    }
    cs_leave(store->spare_lock);
  }
  if (!kept) arena_destroy(arena);
}

// An arena with room for `size` bytes: a spare one when one fits (and is not much larger),
// otherwise a new one committed whole.
Arena *content_spare_take(u64 size) {
  ContentStore *store = content_store();
  u64 needed = align_up(size + ArenaHeaderSize, 4096);
  Arena *found = nullptr;
  cs_enter(store->spare_lock);
  for (u64 i = store->spare_count; i > 0; i -= 1) {
    Arena *a = store->spare[i - 1];
    if (a->reserved >= needed && a->reserved <= 4 * needed + mib(1)) {
      found = a;
      store->spare[i - 1] = store->spare[--store->spare_count];
      store->spare_bytes -= a->reserved;
      break;
    }
  }
  cs_leave(store->spare_lock);
  if (found) {
    arena_reset(found);
    return found;
  }
  return arena_create(needed, needed);
}

//~ Reaper
static bool content_unheld(ContentEntry *e) {
  return atomic_load_u64(&e->readers) == 0 && atomic_load_u64(&e->holders) == 0;
}

void reaper_sweep_once() {
  ContentTable *table = &content_store()->contents;
  for (u64 b = 0; b < table->bucket_count; b += 1) {
    ContentTable::Stripe *stripe = &table->stripes[b % table->stripe_count];
    ContentTable::Bucket *bucket = &table->buckets[b];

    // look under the shared lock; most buckets have nothing to free
    bool seen = false;
    srw_lock_shared(stripe->lock);
    for (ContentEntry *e = bucket->first; e && !seen; e = e->next) {
      seen = content_unheld(e);
    }
    srw_unlock_shared(stripe->lock);
    if (!seen) {
      continue;
    }

    // Counts rise only while this stripe's lock is held, so an entry unheld under the exclusive
    // lock stays unheld until it is unlinked.
    srw_lock_exclusive(stripe->lock);
    ContentEntry *next = nullptr;
    for (ContentEntry *e = bucket->first; e; e = next) {
      next = e->next;
      if (!content_unheld(e)) {
        continue;
      }
      ContentTable::unlink(bucket, nullptr, e);
      content_spare_put(e->arena);
      atomic_add_u64(&g_intake_counters.live_bytes, 0 - e->content.size);
      *e = {};
      ContentTable::give_back(stripe, e);
      atomic_add_u64(&g_intake_counters.live_contents, ~0ull);
    }
    srw_unlock_exclusive(stripe->lock);
  }
  atomic_add_u64(&g_intake_counters.reaper_sweeps, 1);
}

static void reaper_thread(u64 arg) {
  (void)arg;
  for (;;) {
    reaper_sweep_once();
    sleep_ms(1000);
  }
}

//~ Counters
IntakeStats *intake_counters() { return &g_intake_counters; }

IntakeStats intake_stats() {
  IntakeStats *c = &g_intake_counters;
  IntakeStats s = {};
  s.reads_queued = atomic_load_u64(&c->reads_queued);
  s.reads_published = atomic_load_u64(&c->reads_published);
  s.reads_dropped = atomic_load_u64(&c->reads_dropped);
  s.reads_finished = atomic_load_u64(&c->reads_finished);
  s.reads_passed = atomic_load_u64(&c->reads_passed);
  s.paths_forgotten = atomic_load_u64(&c->paths_forgotten);
  s.registered_nodes = atomic_load_u64(&c->registered_nodes);
  s.live_contents = atomic_load_u64(&c->live_contents);
  s.live_bytes = atomic_load_u64(&c->live_bytes);
  s.settled_changed = atomic_load_u64(&c->settled_changed);
  s.detector_passes = atomic_load_u64(&c->detector_passes);
  s.reaper_sweeps = atomic_load_u64(&c->reaper_sweeps);
  return s;
}
