// The path index: the digests of each path's last two complete reads.
#include "intake/intake.h"

// A path key's bucket is its second word modulo the bucket count.
static PathTable::Slot path_slot(U128 path_key) { return content_store()->paths.slot(path_key.u64s[1]); }

static PathEntry *path_find(PathTable::Bucket *bucket, U128 path_key) {
  return PathTable::find(bucket, [&](PathEntry *e) { return u128_equal(e->path_key, path_key); });
}

U128 content_publish(U128 path_key, Arena **arena, Str8 content, FileProps props) {
  U128 digest = digest128(content);
  content_insert(digest, arena, content);

  // the new read takes the slot of the older one
  bool evicted = false;
  U128 evicted_digest = u128_zero();
  PathTable::Slot slot = path_slot(path_key);
  srw_lock_exclusive(slot.stripe->lock);
  PathEntry *e = path_find(slot.bucket, path_key);
  if (!e) {
    e = PathTable::take(slot.stripe);
    *e = {};
    e->path_key = path_key;
    PathTable::append(slot.bucket, e);
  }
  if (e->version > 1) {
    evicted = true;
    evicted_digest = e->slots[e->version % 2];
  }
  e->slots[e->version % 2] = digest;
  e->slot_props[e->version % 2] = props;
  e->version += 1;
  srw_unlock_exclusive(slot.stripe->lock);

  // Every slot counts as a holder, the empty content's too, so its entry is freed like any other.
  if (evicted) {
    content_count_add(evicted_digest, &ContentEntry::holders, ~0ull);
  }
  return digest;
}

PathReads path_index_reads(U128 path_key) {
  PathReads reads = {};
  PathTable::Slot slot = path_slot(path_key);
  srw_lock_shared(slot.stripe->lock);
  PathEntry *e = path_find(slot.bucket, path_key);
  if (e && e->version > 0) {
    reads.version = e->version;
    reads.latest = e->slots[(e->version - 1) % 2];
    reads.latest_props = e->slot_props[(e->version - 1) % 2];
    if (e->version > 1) {
      reads.previous = e->slots[e->version % 2];
    }
  }
  srw_unlock_shared(slot.stripe->lock);
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
  U128 held[2] = {};
  u64 held_count = 0;
  PathTable::Slot slot = path_slot(path_key);
  srw_lock_exclusive(slot.stripe->lock);
  PathEntry *prev = nullptr;
  PathEntry *e = slot.bucket->first;
  while (e && !u128_equal(e->path_key, path_key)) {
    prev = e;
    e = e->next;
  }
  if (e) {
    held_count = min_of<u64>(e->version, 2);
    for (u64 i = 0; i < held_count; i += 1) {
      held[i] = e->slots[(e->version - 1 - i) % 2];
    }
    PathTable::unlink(slot.bucket, prev, e);
    PathTable::give_back(slot.stripe, e);
  }
  srw_unlock_exclusive(slot.stripe->lock);
  for (u64 i = 0; i < held_count; i += 1) {
    content_count_add(held[i], &ContentEntry::holders, ~0ull);
  }
}
