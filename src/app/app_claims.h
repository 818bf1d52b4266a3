// The claim table: source paths that workers convert, or converted and kept for a later try.
//
// A path's bucket is djb2(path) modulo the bucket count and its stripe the bucket modulo the stripe count.
// Searches take the stripe's SRW lock shared, insertion and removal exclusive; the busy flag
// changes by compare-and-exchange while the lock is held, so an entry is never unlinked
// between a search and its claim. The stripe lock is always taken alone, never across I/O.
#pragma once

#include "app/app_state.h"

constexpr u64 AppClaimBuckets = 4096;

// An empty table in the arena: AppClaimBuckets buckets, one stripe per worker (at most 16).
void claim_table_init(ClaimTable *table, Arena *arena, u64 worker_count);

// The entry for the path, marked busy; null when another worker holds it. A new entry
// records `now` as the version it met. Finding and inserting are one step with respect to
// other workers: the bucket is searched again under the exclusive lock before inserting.
ClaimEntry *claim_acquire(ClaimTable *table, Str8 path, FileProps now);

// Unlinks the entry when `remove` (the entry is kept for reuse); otherwise frees it with `now`
// as its recorded version. The holder sets the entry's settled version before releasing it.
void claim_release(ClaimTable *table, ClaimEntry *entry, bool remove, FileProps now);

// The holder notes where its write failed (the folder, and the size of the file that did not
// fit there), so that a retry first asks whether that folder can take it now.
void claim_note_failure(ClaimTable *table, ClaimEntry *entry, Str8 folder, u64 bytes);
