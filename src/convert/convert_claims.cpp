#include "convert/convert_claims.h"

//~ Claims

typedef ClaimTable::Slot ClaimSlot;

static ClaimSlot claim_slot(ClaimTable *table, Str8 path) { return table->slot(str8_hash(path)); }

static ClaimEntry *claim_search(ClaimTable::Bucket *bucket, Str8 path) {
  return ClaimTable::find(bucket, [&](ClaimEntry *e) { return str8_equals(e->path, path, 0); });
}

void claim_table_init(ClaimTable *table, Arena *arena, u64 worker_count) {
  table->init(arena, ClaimBuckets, clamp_of<u64>(1, worker_count, 16), mib(8), mib(1));
}

ClaimEntry *claim_acquire(ClaimTable *table, Str8 path, FileProps now) {
  ClaimSlot slot = claim_slot(table, path);
  ClaimEntry *result = nullptr;

  srw_lock_shared(slot.stripe->lock);
  ClaimEntry *found = claim_search(slot.bucket, path);
  if (found && atomic_cas_u32(&found->busy, 0, 1)) result = found;
  srw_unlock_shared(slot.stripe->lock);
  if (found) return result;

  srw_lock_exclusive(slot.stripe->lock);
  found = claim_search(slot.bucket, path);
  if (found) {
    if (atomic_cas_u32(&found->busy, 0, 1)) result = found;
  } else {
    bool reused = slot.stripe->free_nodes != nullptr;
    ClaimEntry *e = ClaimTable::take(slot.stripe);
    if (!reused) memset(e, 0, sizeof(*e));
    u8 *path_buffer = e->path.str;
    u64 capacity = e->path_capacity;
    u8 *failed_buffer = e->failed_folder.str;
    u64 failed_capacity = e->failed_capacity;
    if (capacity < path.size + 1) {
      capacity = align_up(path.size + 1, 256);
      path_buffer = (u8 *)arena_alloc(slot.stripe->arena, capacity, 8);
    }
    memset(e, 0, sizeof(*e));
    memcpy(path_buffer, path.str, path.size);
    path_buffer[path.size] = 0;
    e->path = str8(path_buffer, path.size);
    e->path_capacity = capacity;
    e->failed_folder = str8(failed_buffer, 0);
    e->failed_capacity = failed_capacity;
    e->busy = 1;
    e->recorded = now;
    e->seen_since_us = clock_now_us();
    ClaimTable::append(slot.bucket, e);
    result = e;
  }
  srw_unlock_exclusive(slot.stripe->lock);
  return result;
}

void claim_release(ClaimTable *table, ClaimEntry *entry, bool remove, FileProps now) {
  ClaimSlot slot = claim_slot(table, entry->path);
  srw_lock_exclusive(slot.stripe->lock);
  if (remove) {
    ClaimTable::unlink(slot.bucket, nullptr, entry);
    u8 *path_buffer = entry->path.str;
    u64 capacity = entry->path_capacity;
    u8 *failed_buffer = entry->failed_folder.str;
    u64 failed_capacity = entry->failed_capacity;
    memset(entry, 0, sizeof(*entry));
    entry->path = str8(path_buffer, 0);
    entry->path_capacity = capacity;
    entry->failed_folder = str8(failed_buffer, 0);
    entry->failed_capacity = failed_capacity;
    ClaimTable::give_back(slot.stripe, entry);
  } else {
    if (!file_props_same_version(entry->recorded, now)) entry->seen_since_us = clock_now_us();
    entry->recorded = now;
    atomic_exchange_u32(&entry->busy, 0);
  }
  srw_unlock_exclusive(slot.stripe->lock);
}

void claim_note_failure(ClaimTable *table, ClaimEntry *entry, Str8 folder, u64 bytes) {
  ClaimSlot slot = claim_slot(table, entry->path);
  srw_lock_exclusive(slot.stripe->lock);
  if (entry->failed_capacity < folder.size + 1) {
    entry->failed_capacity = align_up(folder.size + 1, 256);
    entry->failed_folder.str = (u8 *)arena_alloc(slot.stripe->arena, entry->failed_capacity, 8);
  }
  memcpy(entry->failed_folder.str, folder.str, folder.size);
  entry->failed_folder.str[folder.size] = 0;
  entry->failed_folder.size = folder.size;
  entry->failed_bytes = bytes;
  srw_unlock_exclusive(slot.stripe->lock);
}
