// The claim table: source paths that workers convert, or converted and kept for a later try.
//
// A path's bucket is djb2(path) modulo the bucket count and its stripe the bucket modulo the stripe count.
// Searches take the stripe's SRW lock shared, insertion and removal exclusive; the busy flag
// changes by compare-and-exchange while the lock is held, so an entry is never unlinked
// between a search and its claim. The stripe lock is always taken alone, never across I/O.
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ Claims
// A source path that a worker converts, or converted and kept for a later attempt.
struct ClaimEntry {
  ClaimEntry *next;
  ClaimEntry *prev;
  u32 busy;     // atomic: 1 while a worker holds the path
  FileProps recorded; // the source's version when the entry was made or last released
  FileProps settled;  // the version an attempt decided to leave in place (refused, unusable,
                      // unreadable, failed): nothing is tried on it again until it changes
  FileProps warned;   // the version whose failed write was reported: its retries stay silent
  u64 seen_since_us;  // clock_now_us when the recorded version was first seen
  u64 retry_pause_us; // the pause before the warned version is tried again; grows with each failure
  Str8 failed_folder; // where the warned version's write failed, in a buffer of the stripe's arena
  u64 failed_capacity; // bytes of that buffer, kept when the entry is reused
  u64 failed_bytes;   // the size of the file that could not be written there
  u64 shared_serial;  // the claim this instance holds in the shared folder while it works; 0 none
  Str8 path;          // the key, copied into the stripe's arena
  u64 path_capacity;  // bytes reserved for the path, kept when the entry is reused
};


// Buckets of ClaimEntry lists, one SRW lock per stripe; removed entries wait on their stripe's
// free list, so memory does not grow with every path.
typedef StripedTable<ClaimEntry> ClaimTable;

constexpr u64 ClaimBuckets = 4096;

// An empty table in the arena: ClaimBuckets buckets, one stripe per worker (at most 16).
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
