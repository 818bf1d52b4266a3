// Request registry, requests and the detector.
#include "intake/intake.h"

static IntakeState *g_intake_state;

//~ Registry
IntakeState *intake_state() { return g_intake_state; }

void intake_start() {
  Arena *arena = arena_create(mib(64), kib(64));
  IntakeState *state = arena_push<IntakeState>(arena);
  state->arena = arena;
  u64 processors = max_of<u64>(1, sys_info()->processor_count);

  // registry: thousands of files left in place must not make long chains
  state->registry.init(arena, 16384, processors, mib(64), kib(64));
  for (u64 i = 0; i < state->registry.stripe_count; i += 1) state->registry.stripes[i].extra.cv = cv_create();

  // queue
  string_ring_init(&state->queue, arena, kib(64));

  // threads: the streamers in index order, then the detector
  state->streamer_count = processors == 1 ? 1 : min_of<u64>(processors - 1, 4);
  state->streamers = arena_push<OsObject *>(arena, state->streamer_count);
  g_intake_state = state;
  for (u64 i = 0; i < state->streamer_count; i += 1) {
    state->streamers[i] = thread_create(streamer_thread, i);
  }
  state->detector = thread_create(detector_thread, 0);
}

//- buckets and nodes
typedef RegistryTable::Bucket RequestBucket;
typedef RegistryTable::Stripe IntakeStripe;

static RequestBucket *registry_bucket(IntakeState *state, U128 key) { return state->registry.slot(key.u64s[0]).bucket; }

static IntakeStripe *registry_stripe(IntakeState *state, U128 key) { return state->registry.slot(key.u64s[0]).stripe; }

static RequestNode *registry_find(RequestBucket *bucket, Str8 path) {
  return RegistryTable::find(bucket, [&](RequestNode *n) { return str8_equals(n->path, path, 0); });
}

// Where a path lives in the registry: its normalised form (in `arena`), key, bucket and stripe.
struct RegistryPlace {
  Str8 normal;
  U128 key;
  RequestBucket *bucket;
  IntakeStripe *stripe;
};

static RegistryPlace registry_place(Arena *arena, Str8 path) {
  RegistryPlace place = {};
  place.normal = path_normalize(arena, path);
  place.key = digest128(place.normal);
  RegistryTable::Slot slot = intake_state()->registry.slot(place.key.u64s[0]);
  place.bucket = slot.bucket;
  place.stripe = slot.stripe;
  return place;
}

static u64 node_class_for(u64 bytes) {
  u64 c = 6;
  while (c + 1 < RequestNodeClassCount && (1ull << c) < bytes) {
    c += 1;
  }
  return c;
}

// Under the stripe's exclusive lock. A node keeps its path buffer on the free list, so a reused
// node needs a buffer of the same class.
static RequestNode *registry_append(IntakeStripe *stripe, RequestBucket *bucket, Str8 path) {
  u64 c = node_class_for(path.size + 1);
  RequestNode *node = sll_stack_pop(stripe->extra.free_by_class[c]);
  u8 *buffer = nullptr;
  if (node) {
    buffer = node->path.str;
  } else {
    node = arena_push_uninit<RequestNode>(stripe->arena);
    buffer = arena_push_uninit<u8>(stripe->arena, 1ull << c);
  }
  *node = {};
  memcpy(buffer, path.str, path.size);
  buffer[path.size] = 0;
  node->path = str8(buffer, path.size);
  node->path_capacity = 1ull << c;
  RegistryTable::append(bucket, node);
  atomic_add_u64(&intake_counters()->registered_nodes, 1);
  return node;
}

// Under the stripe's exclusive lock.
static void registry_remove(IntakeStripe *stripe, RequestBucket *bucket, RequestNode *prev, RequestNode *node) {
  RegistryTable::unlink(bucket, prev, node);
  u64 c = node_class_for(node->path_capacity);
  sll_stack_push(stripe->extra.free_by_class[c], node);
  atomic_add_u64(&intake_counters()->registered_nodes, ~0ull);
  atomic_add_u64(&intake_counters()->paths_forgotten, 1);
}

//~ Requests
IntakeRead intake_request_read(Str8 path, u64 deadline, const FileProps *seen) {
  IntakeState *state = intake_state();
  Scratch scratch = scratch_begin(nullptr);
  Str8 normal = path_normalize(scratch.arena, path);
  U128 key = digest128(normal);
  auto wanted = [&](FileProps props) { return !seen || file_props_same_version(props, *seen); };

  // A published read of the wanted version answers at once, even an empty file's zero.
  IntakeRead answer = {};
  PathReads reads = path_index_reads(key);
  if (reads.version > 0 && wanted(reads.latest_props)) {
    answer = IntakeRead{IntakeBytes, reads.latest, reads.latest_props};
  } else {
    RequestBucket *bucket = registry_bucket(state, key);
    IntakeStripe *stripe = registry_stripe(state, key);
    bool registered = false;
    bool pushed_once = false;
    srw_lock_shared(stripe->lock);
    for (;;) {
      // The wait below lets go of the lock, so the node is searched again on every round.
      RequestNode *node = registry_find(bucket, normal);
      if (!node) {
        if (registered) {
          break; // forgotten meanwhile: its file was found gone
        }
        srw_unlock_shared(stripe->lock);
        srw_lock_exclusive(stripe->lock);
        if (!registry_find(bucket, normal)) {
          registry_append(stripe, bucket, normal);
        }
        srw_unlock_exclusive(stripe->lock);
        srw_lock_shared(stripe->lock);
        registered = true;
        continue;
      }
      registered = true;

      // What the registry already knows answers without a read: a settled version (unless the
      // caller has seen another one), a file that cannot be opened.
      if (atomic_load_u32(&node->settled)) {
        if (wanted(node->props)) {
          answer = IntakeRead{IntakeSettled, u128_zero(), node->props};
          break;
        }
        atomic_exchange_u32(&node->settled, 0);
      }
      if (node->read_complete && node->unreadable && wanted(node->props)) {
        answer = IntakeRead{IntakeUnreadable, u128_zero(), node->props};
        break;
      }
      reads = path_index_reads(key);
      if (reads.version > 0 && wanted(reads.latest_props)) {
        answer = IntakeRead{IntakeBytes, reads.latest, reads.latest_props};
        break;
      }

      // mark and queue, once per call; a read published before the flag was cleared needs
      // no other one
      if (!pushed_once && atomic_cas_u32(&node->in_queue, 0, 1)) {
        bool pushed = false;
        PathReads now = path_index_reads(key);
        if (now.version == 0 || !wanted(now.latest_props)) {
          pushed = intake_queue_push(node->path, deadline);
        }
        if (pushed) {
          atomic_add_u64(&node->times_queued, 1);
          pushed_once = seen != nullptr;
        } else {
          atomic_exchange_u32(&node->in_queue, 0);
        }
      }
      if (clock_now_us() > deadline) {
        if (reads.version > 0) answer = IntakeRead{IntakeBytes, reads.latest, reads.latest_props};
        break;
      }
      cv_wait_srw_shared(stripe->extra.cv, stripe->lock, deadline);
    }
    srw_unlock_shared(stripe->lock);
  }
  scratch_restore(scratch);
  return answer;
}

U128 intake_request_version(Str8 path, u64 deadline, FileProps *read_props) {
  IntakeRead read = intake_request_read(path, deadline, nullptr);
  *read_props = read.kind == IntakeBytes ? read.props : FileProps{};
  return read.kind == IntakeBytes ? read.digest : u128_zero();
}

U128 intake_request(Str8 path, u64 deadline) {
  FileProps read_props;
  return intake_request_version(path, deadline, &read_props);
}

bool intake_settle(Str8 path, FileProps version, u64 retry_after_us) {
  Scratch scratch = scratch_begin(nullptr);
  RegistryPlace place = registry_place(scratch.arena, path);
  // Exclusive: no read can be marked, queued or recorded for the path while its reads go.
  srw_lock_exclusive(place.stripe->lock);
  RequestNode *node = registry_find(place.bucket, place.normal);
  bool settled = node && atomic_load_u32(&node->in_queue) == 0 && node->read_complete &&
                 file_props_same_version(node->props, version);
  if (settled) {
    node->retry_at = retry_after_us ? clock_now_us() + retry_after_us : 0;
    atomic_exchange_u32(&node->settled, 1);
    path_index_forget(place.key);
  }
  srw_unlock_exclusive(place.stripe->lock);
  scratch_restore(scratch);
  return settled;
}

bool intake_hold(Str8 path, FileProps version, u64 retry_after_us) {
  Scratch scratch = scratch_begin(nullptr);
  RegistryPlace place = registry_place(scratch.arena, path);
  srw_lock_exclusive(place.stripe->lock);
  RequestNode *node = registry_find(place.bucket, place.normal);
  if (!node) node = registry_append(place.stripe, place.bucket, place.normal);
  bool held = atomic_load_u32(&node->in_queue) == 0;
  if (held) {
    // No read stands for this version: once the hold ends, the file is read afresh.
    node->props = version;
    node->read_complete = 0;
    node->unreadable = 0;
    node->retry_at = retry_after_us ? clock_now_us() + retry_after_us : 0;
    atomic_exchange_u32(&node->settled, 1);
    path_index_forget(place.key);
  }
  srw_unlock_exclusive(place.stripe->lock);
  scratch_restore(scratch);
  return held;
}

void intake_release_reads(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  path_index_forget(digest128(path_normalize(scratch.arena, path)));
  scratch_restore(scratch);
}

bool intake_settled(Str8 path) {
  Scratch scratch = scratch_begin(nullptr);
  RegistryPlace place = registry_place(scratch.arena, path);
  srw_lock_shared(place.stripe->lock);
  RequestNode *node = registry_find(place.bucket, place.normal);
  bool settled = node && atomic_load_u32(&node->settled) != 0;
  srw_unlock_shared(place.stripe->lock);
  scratch_restore(scratch);
  return settled;
}

//- streamer side
void registry_read_done(Str8 path, U128 path_key, ReadOutcome outcome, FileProps props) {
  IntakeState *state = intake_state();
  RequestBucket *bucket = registry_bucket(state, path_key);
  IntakeStripe *stripe = registry_stripe(state, path_key);
  srw_lock_exclusive(stripe->lock);
  RequestNode *prev = nullptr;
  RequestNode *node = bucket->first;
  while (node && !str8_equals(node->path, path, 0)) {
    prev = node;
    node = node->next;
  }
  if (node && outcome == ReadGone) {
    registry_remove(stripe, bucket, prev, node);
  } else if (node) {
    if (outcome == ReadComplete || outcome == ReadUnreadable) {
      node->stamp = props.modified;
      node->props = props;
      node->read_complete = 1;
      node->unreadable = outcome == ReadUnreadable;
      node->retry_at = 0;
      atomic_exchange_u32(&node->settled, 0);
    } else if (outcome == ReadDropped) {
      atomic_add_u64(&node->reads_dropped, 1);
    }
    atomic_exchange_u32(&node->in_queue, 0);
  }
  srw_unlock_exclusive(stripe->lock);
  cv_wake_all(stripe->extra.cv);
}

//~ Detector
// A pass walks the buckets whose index falls on it: every WaitingSpread-th bucket, and among
// those the settled paths of every SettledSpread-th, so that thousands of files left in place
// cost a few file queries per pass, not one each. A path waiting for its conversion is looked
// at every half second, a settled one every five seconds.
constexpr u64 WaitingSpread = 5;
constexpr u64 SettledSpread = 50;
static_assert(SettledSpread % WaitingSpread == 0, "settled turns fall on walked buckets");

// One pass. Each stripe's lock is held shared across the walk, file queries included, so the
// nodes cannot go away underneath. After a push that found the queue full, the pass stops
// pushing: holding the lock for another wait would only stall the streamers. With
// every_settled, every settled node is looked at and nothing else; returns how many changed.
static u64 detector_pass(u64 pass, bool every_settled) {
  IntakeState *state = intake_state();
  bool queue_full = false;
  u64 changed = 0;
  u64 now = clock_now_us();
  RegistryTable *table = &state->registry;
  for (u64 s = 0; s < table->stripe_count; s += 1) {
    IntakeStripe *stripe = &table->stripes[s];
    srw_lock_shared(stripe->lock);
    for (u64 b = s; b < table->bucket_count; b += table->stripe_count) {
      if (!every_settled && b % WaitingSpread != pass % WaitingSpread) continue;
      bool settled_turn = every_settled || b % SettledSpread == pass % SettledSpread;
      for (RequestNode *node = table->buckets[b].first; node; node = node->next) {
        if (queue_full || atomic_load_u32(&node->in_queue) != 0) {
          continue;
        }
        bool settled = atomic_load_u32(&node->settled) != 0;
        bool differs = false;
        if (settled) {
          differs = node->retry_at != 0 && now >= node->retry_at;
          if (!differs && settled_turn) {
            differs = !file_props_same_version(file_props_from_path(node->path), node->props);
          }
        } else if (!every_settled) {
          differs = node->read_complete == 0 ||
                    !file_props_same_version(file_props_from_path(node->path), node->props);
        }
        if (differs && atomic_cas_u32(&node->in_queue, 0, 1)) {
          if (intake_queue_push(node->path, clock_now_us() + 100000)) {
            atomic_add_u64(&node->times_queued, 1);
            if (settled && atomic_exchange_u32(&node->settled, 0)) {
              changed += 1;
              atomic_add_u64(&intake_counters()->settled_changed, 1);
            }
          } else {
            atomic_exchange_u32(&node->in_queue, 0);
            queue_full = true;
          }
        }
      }
    }
    srw_unlock_shared(stripe->lock);
  }
  if (!every_settled) atomic_add_u64(&intake_counters()->detector_passes, 1);
  return changed;
}

u64 intake_recheck_settled() { return detector_pass(0, true); }

void detector_thread(u64 arg) {
  (void)arg;
  thread_set_name("[fs] detector");
  for (u64 pass = 0;; pass += 1) {
    detector_pass(pass, false);
    sleep_ms(100);
  }
}

//~ Inspection
IntakePathInfo intake_path_info(Str8 path) {
  IntakeState *state = intake_state();
  Scratch scratch = scratch_begin(nullptr);
  Str8 normal = path_normalize(scratch.arena, path);
  U128 key = digest128(normal);
  IntakePathInfo info = {};

  IntakeStripe *stripe = registry_stripe(state, key);
  srw_lock_shared(stripe->lock);
  RequestNode *node = registry_find(registry_bucket(state, key), normal);
  if (node) {
    info.registered = true;
    info.in_queue = atomic_load_u32(&node->in_queue);
    info.read_complete = node->read_complete;
    info.stamp = node->stamp;
    info.times_queued = atomic_load_u64(&node->times_queued);
    info.reads_dropped = atomic_load_u64(&node->reads_dropped);
  }
  srw_unlock_shared(stripe->lock);

  PathReads reads = path_index_reads(key);
  info.version = reads.version;
  info.latest = reads.latest;
  info.previous = reads.previous;
  scratch_restore(scratch);
  return info;
}
