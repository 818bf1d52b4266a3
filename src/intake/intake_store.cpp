// Content store, intake queue and streamers.
#include <blake2.h>

#include "intake/intake.h"

static ContentStore *g_content_store;
static IntakeStats g_intake_counters;

static void content_spare_put(Arena *arena);

//~ Digests
U128 digest128(Str8 s) {
  U128 result = u128_zero();
  if (s.size == 0) {
    return result;
  }
  u8 out[16];
  blake2b(out, s.str, nullptr, sizeof(out), s.size, 0);
  for (u64 word = 0; word < 2; word += 1) {
    u64 v = 0;
    for (u64 i = 8; i > 0; i -= 1) {
      v = (v << 8) | out[word * 8 + i - 1];
    }
    result.u64s[word] = v;
  }
  return result;
}

//~ Content store
ContentStore *content_store() { return g_content_store; }

static StoreStripe *store_stripes_make(Arena *arena, u64 count) {
  StoreStripe *stripes = arena_push<StoreStripe>(arena, count);
  for (u64 i = 0; i < count; i += 1) {
    stripes[i].arena = arena_create(mib(64), kib(64));
    stripes[i].lock = srw_create();
    stripes[i].cv = cv_create();
  }
  return stripes;
}

void content_store_start() {
  Arena *arena = arena_create(mib(64), kib(64));
  ContentStore *store = arena_push<ContentStore>(arena);
  store->arena = arena;
  u64 processors = max_of<u64>(1, sys_info()->processor_count);

  // content table
  store->content_bucket_count = 4096;
  store->content_stripe_count = min_of<u64>(4096, processors);
  store->content_buckets = arena_push<ContentBucket>(arena, store->content_bucket_count);
  store->content_stripes = store_stripes_make(arena, store->content_stripe_count);
  store->content_free = arena_push<ContentEntry *>(arena, store->content_stripe_count);

  // path index
  store->path_bucket_count = 4096;
  store->path_stripe_count = min_of<u64>(4096, processors);
  store->path_buckets = arena_push<PathBucket>(arena, store->path_bucket_count);
  store->path_stripes = store_stripes_make(arena, store->path_stripe_count);
  store->path_free = arena_push<PathEntry *>(arena, store->path_stripe_count);

  store->spare_lock = cs_create();
  g_content_store = store;
  store->reaper = thread_create(reaper_thread, 0);
}

//- content table
static u64 content_bucket_index(ContentStore *store, U128 digest) {
  return digest.u64s[1] % store->content_bucket_count;
}

static ContentEntry *content_find(ContentBucket *bucket, U128 digest) {
  for (ContentEntry *e = bucket->first; e; e = e->next) {
    if (u128_equal(e->digest, digest)) {
      return e;
    }
  }
  return nullptr;
}

// Adds delta (wrapping) to a counter of the content, under the shared lock.
static void content_count_add(U128 digest, u64 ContentEntry::*field, u64 delta) {
  ContentStore *store = content_store();
  u64 b = content_bucket_index(store, digest);
  StoreStripe *stripe = &store->content_stripes[b % store->content_stripe_count];
  srw_lock_shared(stripe->lock);
  ContentEntry *e = content_find(&store->content_buckets[b], digest);
  if (e) {
    atomic_add_u64(&(e->*field), delta);
  }
  srw_unlock_shared(stripe->lock);
}

ContentInfo content_store_info(U128 digest) {
  ContentStore *store = content_store();
  ContentInfo info = {};
  u64 b = content_bucket_index(store, digest);
  StoreStripe *stripe = &store->content_stripes[b % store->content_stripe_count];
  srw_lock_shared(stripe->lock);
  ContentEntry *e = content_find(&store->content_buckets[b], digest);
  if (e) {
    info.found = true;
    info.readers = atomic_load_u64(&e->readers);
    info.holders = atomic_load_u64(&e->holders);
    info.size = e->content.size;
  }
  srw_unlock_shared(stripe->lock);
  return info;
}

//- path index
static u64 path_bucket_index(ContentStore *store, U128 path_key) {
  return path_key.u64s[1] % store->path_bucket_count;
}

static PathEntry *path_find(PathBucket *bucket, U128 path_key) {
  for (PathEntry *e = bucket->first; e; e = e->next) {
    if (u128_equal(e->path_key, path_key)) {
      return e;
    }
  }
  return nullptr;
}

U128 content_publish(U128 path_key, Arena **arena, Str8 content, FileProps props) {
  ContentStore *store = content_store();
  U128 digest = digest128(content);

  // content table: one entry per distinct digest
  Arena *redundant = nullptr;
  {
    u64 b = content_bucket_index(store, digest);
    u64 s = b % store->content_stripe_count;
    StoreStripe *stripe = &store->content_stripes[s];
    ContentBucket *bucket = &store->content_buckets[b];
    srw_lock_exclusive(stripe->lock);
    ContentEntry *e = content_find(bucket, digest);
    if (e) {
      atomic_add_u64(&e->holders, 1);
      redundant = *arena;
    } else {
      e = store->content_free[s];
      if (e) {
        store->content_free[s] = e->next;
      } else {
        e = arena_push_uninit<ContentEntry>(stripe->arena);
      }
      *e = {};
      e->digest = digest;
      e->arena = *arena;
      e->content = content;
      e->holders = 1;
      e->prev = bucket->last;
      if (bucket->last) {
        bucket->last->next = e;
      } else {
        bucket->first = e;
      }
      bucket->last = e;
      atomic_add_u64(&g_intake_counters.live_contents, 1);
      atomic_add_u64(&g_intake_counters.live_bytes, content.size);
    }
    *arena = nullptr;
    srw_unlock_exclusive(stripe->lock);
  }
  if (redundant) {
    content_spare_put(redundant);
  }

  // path index: the new read takes the slot of the older one
  bool evicted = false;
  U128 evicted_digest = u128_zero();
  {
    u64 b = path_bucket_index(store, path_key);
    u64 s = b % store->path_stripe_count;
    StoreStripe *stripe = &store->path_stripes[s];
    PathBucket *bucket = &store->path_buckets[b];
    srw_lock_exclusive(stripe->lock);
    PathEntry *e = path_find(bucket, path_key);
    if (!e) {
      e = store->path_free[s];
      if (e) {
        store->path_free[s] = e->next;
      } else {
        e = arena_push_uninit<PathEntry>(stripe->arena);
      }
      *e = {};
      e->path_key = path_key;
      if (bucket->last) {
        bucket->last->next = e;
      } else {
        bucket->first = e;
      }
      bucket->last = e;
    }
    if (e->version > 1) {
      evicted = true;
      evicted_digest = e->slots[e->version % 2];
    }
    e->slots[e->version % 2] = digest;
    e->slot_props[e->version % 2] = props;
    e->version += 1;
    srw_unlock_exclusive(stripe->lock);
  }

  // Every slot counts as a holder, the empty content's too, so its entry is freed like any other.
  if (evicted) {
    content_count_add(evicted_digest, &ContentEntry::holders, ~0ull);
  }
  return digest;
}

PathReads path_index_reads(U128 path_key) {
  ContentStore *store = content_store();
  PathReads reads = {};
  u64 b = path_bucket_index(store, path_key);
  StoreStripe *stripe = &store->path_stripes[b % store->path_stripe_count];
  srw_lock_shared(stripe->lock);
  PathEntry *e = path_find(&store->path_buckets[b], path_key);
  if (e && e->version > 0) {
    reads.version = e->version;
    reads.latest = e->slots[(e->version - 1) % 2];
    reads.latest_props = e->slot_props[(e->version - 1) % 2];
    if (e->version > 1) {
      reads.previous = e->slots[e->version % 2];
    }
  }
  srw_unlock_shared(stripe->lock);
  return reads;
}

U128 path_index_lookup(U128 path_key, u64 age) {
  PathReads reads = path_index_reads(path_key);
  if (age == 0) {
    return reads.latest;
  }
  return age == 1 ? reads.previous : u128_zero();
}

void path_index_forget(U128 path_key) {
  ContentStore *store = content_store();
  U128 held[2] = {};
  u64 held_count = 0;
  {
    u64 b = path_bucket_index(store, path_key);
    u64 s = b % store->path_stripe_count;
    StoreStripe *stripe = &store->path_stripes[s];
    PathBucket *bucket = &store->path_buckets[b];
    srw_lock_exclusive(stripe->lock);
    PathEntry *prev = nullptr;
    PathEntry *e = bucket->first;
    while (e && !u128_equal(e->path_key, path_key)) {
      prev = e;
      e = e->next;
    }
    if (e) {
      held_count = min_of<u64>(e->version, 2);
      for (u64 i = 0; i < held_count; i += 1) {
        held[i] = e->slots[(e->version - 1 - i) % 2];
      }
      if (prev) {
        prev->next = e->next;
      } else {
        bucket->first = e->next;
      }
      if (bucket->last == e) {
        bucket->last = prev;
      }
      e->next = store->path_free[s];
      store->path_free[s] = e;
    }
    srw_unlock_exclusive(stripe->lock);
  }
  for (u64 i = 0; i < held_count; i += 1) {
    content_count_add(held[i], &ContentEntry::holders, ~0ull);
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
  ContentLease *lease = context->free_leases;
  if (lease) {
    context->free_leases = lease->next_free;
  } else {
    lease = arena_push_uninit<ContentLease>(context->arena);
  }
  *lease = {};
  return lease;
}

Str8 content_lease_get(ContentLease *lease, U128 digest) {
  LeaseContext *context = lease_context();
  ContentStore *store = content_store();
  Str8 result = {};
  u64 b = content_bucket_index(store, digest);
  StoreStripe *stripe = &store->content_stripes[b % store->content_stripe_count];
  srw_lock_shared(stripe->lock);
  ContentEntry *e = content_find(&store->content_buckets[b], digest);
  if (e) {
    atomic_add_u64(&e->readers, 1);
    LeaseEntry *entry = context->free_entries;
    if (entry) {
      context->free_entries = entry->next;
    } else {
      entry = arena_push_uninit<LeaseEntry>(context->arena);
    }
    entry->digest = digest;
    entry->next = lease->first;
    lease->first = entry;
    result = e->content;
  }
  srw_unlock_shared(stripe->lock);
  return result;
}

void content_lease_end(ContentLease *lease) {
  LeaseContext *context = lease_context();
  LeaseEntry *next = nullptr;
  for (LeaseEntry *entry = lease->first; entry; entry = next) {
    next = entry->next;
    content_count_add(entry->digest, &ContentEntry::readers, ~0ull);
    entry->next = context->free_entries;
    context->free_entries = entry;
  }
  lease->first = nullptr;
  lease->next_free = context->free_leases;
  context->free_leases = lease;
}

//~ Spare read buffers
// The arenas of freed contents, kept for the next reads so that their pages are faulted in
// once, not once per file. Only small ones are kept, and only so many bytes in all: a read of
// a large file costs far more than its page faults.
constexpr u64 SpareArenaLargest = mib(4);
constexpr u64 SpareArenaBytes = mib(24);

static void content_spare_put(Arena *arena) {
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
static Arena *content_spare_take(u64 size) {
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
  ContentStore *store = content_store();
  for (u64 b = 0; b < store->content_bucket_count; b += 1) {
    u64 s = b % store->content_stripe_count;
    StoreStripe *stripe = &store->content_stripes[s];
    ContentBucket *bucket = &store->content_buckets[b];

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
      if (e->prev) {
        e->prev->next = e->next;
      } else {
        bucket->first = e->next;
      }
      if (e->next) {
        e->next->prev = e->prev;
      } else {
        bucket->last = e->prev;
      }
      content_spare_put(e->arena);
      atomic_add_u64(&g_intake_counters.live_bytes, 0 - e->content.size);
      *e = {};
      e->next = store->content_free[s];
      store->content_free[s] = e;
      atomic_add_u64(&g_intake_counters.live_contents, ~0ull);
    }
    srw_unlock_exclusive(stripe->lock);
  }
  atomic_add_u64(&g_intake_counters.reaper_sweeps, 1);
}

void reaper_thread(u64 arg) {
  (void)arg;
  for (;;) {
    reaper_sweep_once();
    sleep_ms(1000);
  }
}

//~ Intake queue

bool intake_queue_push(Str8 path, u64 deadline) {
  bool pushed = ring_push(&intake_state()->queue, path, deadline);
  if (pushed) {
    atomic_add_u64(&g_intake_counters.reads_queued, 1);
  }
  return pushed;
}

Str8 intake_queue_pop(Arena *arena) { return ring_pop(&intake_state()->queue, arena); }

//~ Streamers
// One read of a queued path. The bytes count only when the file was the same version (size and
// full-resolution last-write time) before and after the read, every byte of that size came, and
// no writer still holds the file where the system can tell.
static void streamer_read(Str8 path, U128 key) {
  // read the size found before opening, no more
  FileProps before = file_props_from_path(path);
  bool is_file = (before.flags & FilePropsExists) && !(before.flags & FilePropsFolder);
  Arena *arena = nullptr;
  Str8 content = {};
  bool opened = false;
  if (is_file) {
    FileHandle file = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, path);
    if (file) {
      opened = true;
      arena = content_spare_take(before.size);
      content = file_read_into_arena(arena, file, RangeU64{0, before.size});
      file_close(file);
    }
  }
  FileProps after = file_props_from_path(path);

  // decide
  bool unchanged = file_props_same_version(before, after);
  ReadOutcome outcome = ReadDropped;
  if (unchanged && !is_file) {
    outcome = ReadGone;
  } else if (unchanged && opened && content.size == before.size && file_is_complete(path)) {
    outcome = ReadComplete;
  } else if (unchanged && !opened) {
    outcome = ReadUnreadable; // another user's file, a FIFO: the same until it changes
  }

  // publish or drop; a gone file's reads are forgotten before its node, so nobody can queue
  // and publish the path in between
  if (outcome == ReadComplete) {
    content_publish(key, &arena, content, after);
    atomic_add_u64(&g_intake_counters.reads_published, 1);
  } else if (arena) {
    content_spare_put(arena);
  }
  if (outcome == ReadDropped) {
    atomic_add_u64(&g_intake_counters.reads_dropped, 1);
  }
  if (outcome == ReadGone || outcome == ReadUnreadable) {
    path_index_forget(key);
  }
  registry_read_done(path, key, outcome, after);
  atomic_add_u64(&g_intake_counters.reads_finished, 1);
}

void streamer_thread(u64 index) {
  thread_set_name("[fs] streamer #%I64u", index);
  for (;;) {
    Scratch scratch = scratch_begin(nullptr);
    Str8 path = intake_queue_pop(scratch.arena);
    streamer_read(path, digest128(path));
    scratch_end(scratch);
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
  s.paths_forgotten = atomic_load_u64(&c->paths_forgotten);
  s.registered_nodes = atomic_load_u64(&c->registered_nodes);
  s.live_contents = atomic_load_u64(&c->live_contents);
  s.live_bytes = atomic_load_u64(&c->live_bytes);
  s.settled_changed = atomic_load_u64(&c->settled_changed);
  s.detector_passes = atomic_load_u64(&c->detector_passes);
  s.reaper_sweeps = atomic_load_u64(&c->reaper_sweeps);
  return s;
}
