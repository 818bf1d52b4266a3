#include "app/app_claims.h"

//~ Claims

struct ClaimSlot {
  ClaimStripe *stripe;
  ClaimBucket *bucket;
};

static ClaimSlot claim_slot(ClaimTable *table, Str8 path) {
  u64 b = str8_hash(path) % table->bucket_count;
  return ClaimSlot{&table->stripes[b % table->stripe_count], &table->buckets[b]};
}

static ClaimEntry *claim_search(ClaimBucket *bucket, Str8 path) {
  for (ClaimEntry *e = bucket->first; e; e = e->next) {
    if (str8_equals(e->path, path, 0)) return e;
  }
  return nullptr;
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
    ClaimEntry *e = slot.stripe->free_entries;
    if (e) {
      slot.stripe->free_entries = e->next;
    } else {
      e = arena_push<ClaimEntry>(slot.stripe->arena);
    }
    u8 *path_buffer = e->path.str;
    u64 capacity = e->path_capacity;
    if (capacity < path.size + 1) {
      capacity = align_up(path.size + 1, 256);
      path_buffer = (u8 *)arena_alloc(slot.stripe->arena, capacity, 8);
    }
    memset(e, 0, sizeof(*e));
    memcpy(path_buffer, path.str, path.size);
    path_buffer[path.size] = 0;
    e->path = str8(path_buffer, path.size);
    e->path_capacity = capacity;
    e->busy = 1;
    e->recorded = now;
    e->prev = slot.bucket->last;
    if (slot.bucket->last) {
      slot.bucket->last->next = e;
    } else {
      slot.bucket->first = e;
    }
    slot.bucket->last = e;
    result = e;
  }
  srw_unlock_exclusive(slot.stripe->lock);
  return result;
}

void claim_release(ClaimTable *table, ClaimEntry *entry, bool remove, FileProps now) {
  ClaimSlot slot = claim_slot(table, entry->path);
  srw_lock_exclusive(slot.stripe->lock);
  if (remove) {
    if (entry->prev) entry->prev->next = entry->next; else slot.bucket->first = entry->next;
    if (entry->next) entry->next->prev = entry->prev; else slot.bucket->last = entry->prev;
    u8 *path_buffer = entry->path.str;
    u64 capacity = entry->path_capacity;
    memset(entry, 0, sizeof(*entry));
    entry->path = str8(path_buffer, 0);
    entry->path_capacity = capacity;
    entry->next = slot.stripe->free_entries;
    slot.stripe->free_entries = entry;
  } else {
    entry->recorded = now;
    atomic_exchange_u32(&entry->busy, 0);
  }
  srw_unlock_exclusive(slot.stripe->lock);
}
