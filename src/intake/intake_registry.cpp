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

  // registry
  state->bucket_count = 1024;
  state->stripe_count = processors;
  state->buckets = arena_push<RequestBucket>(arena, state->bucket_count);
  state->stripes = arena_push<IntakeStripe>(arena, state->stripe_count);
  for (u64 i = 0; i < state->stripe_count; i += 1) {
    state->stripes[i].arena = arena_create(mib(64), kib(64));
    state->stripes[i].cv = cv_create();
    state->stripes[i].lock = srw_create();
  }

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
static RequestBucket *registry_bucket(IntakeState *state, U128 key) {
  return &state->buckets[key.u64s[0] % state->bucket_count];
}

static IntakeStripe *registry_stripe(IntakeState *state, U128 key) {
  u64 bucket = key.u64s[0] % state->bucket_count;
  return &state->stripes[bucket % state->stripe_count];
}

static RequestNode *registry_find(RequestBucket *bucket, Str8 path) {
  for (RequestNode *node = bucket->first; node; node = node->next) {
    if (str8_equals(node->path, path, 0)) {
      return node;
    }
  }
  return nullptr;
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
  RequestNode *node = stripe->free_nodes[c];
  u8 *buffer = nullptr;
  if (node) {
    stripe->free_nodes[c] = node->next;
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
  if (bucket->last) {
    bucket->last->next = node;
  } else {
    bucket->first = node;
  }
  bucket->last = node;
  atomic_add_u64(&intake_counters()->registered_nodes, 1);
  return node;
}

// Under the stripe's exclusive lock.
static void registry_remove(IntakeStripe *stripe, RequestBucket *bucket, RequestNode *prev, RequestNode *node) {
  if (prev) {
    prev->next = node->next;
  } else {
    bucket->first = node->next;
  }
  if (bucket->last == node) {
    bucket->last = prev;
  }
  u64 c = node_class_for(node->path_capacity);
  node->next = stripe->free_nodes[c];
  stripe->free_nodes[c] = node;
  atomic_add_u64(&intake_counters()->registered_nodes, ~0ull);
  atomic_add_u64(&intake_counters()->paths_forgotten, 1);
}

//~ Requests
U128 intake_request_version(Str8 path, u64 deadline, FileProps *read_props) {
  IntakeState *state = intake_state();
  Scratch scratch = scratch_begin(nullptr);
  Str8 normal = path_normalize(scratch.arena, path);
  U128 key = digest128(normal);

  // A published read answers at once, even an empty file's zero: the detector re-reads changes.
  PathReads reads = path_index_reads(key);
  if (reads.version == 0) {
    RequestBucket *bucket = registry_bucket(state, key);
    IntakeStripe *stripe = registry_stripe(state, key);
    bool registered = false;
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

      // claim; a read published before the claim was released needs no other one
      if (atomic_cas_u32(&node->claim, 0, 1)) {
        bool pushed = false;
        if (path_index_reads(key).version == 0) {
          pushed = intake_queue_push(node->path, deadline);
        }
        if (pushed) {
          atomic_add_u64(&node->times_queued, 1);
        } else {
          atomic_exchange_u32(&node->claim, 0);
        }
      }

      reads = path_index_reads(key);
      if (reads.version > 0 || clock_now_us() > deadline) {
        break;
      }
      cv_wait_srw_shared(stripe->cv, stripe->lock, deadline);
    }
    srw_unlock_shared(stripe->lock);
  }
  scratch_end(scratch);
  *read_props = reads.version > 0 ? reads.latest_props : FileProps{};
  return reads.latest;
}

U128 intake_request(Str8 path, u64 deadline) {
  FileProps read_props;
  return intake_request_version(path, deadline, &read_props);
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
    if (outcome == ReadComplete) {
      node->stamp = props.modified;
      node->props = props;
      node->read_complete = 1;
    } else {
      atomic_add_u64(&node->reads_dropped, 1);
    }
    atomic_exchange_u32(&node->claim, 0);
  }
  srw_unlock_exclusive(stripe->lock);
  cv_wake_all(stripe->cv);
}

//~ Detector
// One pass. Each stripe's lock is held shared across the walk, file queries included, so the
// nodes cannot go away underneath. After a push that found the queue full, the pass stops
// pushing: holding the lock for another wait would only stall the streamers.
static void detector_pass() {
  IntakeState *state = intake_state();
  bool queue_full = false;
  for (u64 s = 0; s < state->stripe_count; s += 1) {
    IntakeStripe *stripe = &state->stripes[s];
    srw_lock_shared(stripe->lock);
    for (u64 b = s; b < state->bucket_count; b += state->stripe_count) {
      for (RequestNode *node = state->buckets[b].first; node; node = node->next) {
        if (queue_full || atomic_load_u32(&node->claim) != 0) {
          continue;
        }
        bool differs = node->read_complete == 0;
        if (!differs) {
          differs = !file_props_same_version(file_props_from_path(node->path), node->props);
        }
        if (differs && atomic_cas_u32(&node->claim, 0, 1)) {
          if (intake_queue_push(node->path, clock_now_us() + 100000)) {
            atomic_add_u64(&node->times_queued, 1);
          } else {
            atomic_exchange_u32(&node->claim, 0);
            queue_full = true;
          }
        }
      }
    }
    srw_unlock_shared(stripe->lock);
  }
  atomic_add_u64(&intake_counters()->detector_passes, 1);
}

void detector_thread(u64 arg) {
  (void)arg;
  thread_set_name("[fs] detector");
  for (;;) {
    detector_pass();
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
    info.claim = atomic_load_u32(&node->claim);
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
  scratch_end(scratch);
  return info;
}
