// The claim table: source paths that workers convert, or converted and kept for a later try.
//
// A path's bucket is djb2(path) modulo 16 and its stripe the bucket modulo the stripe count.
// Searches take the stripe's SRW lock shared, insertion and removal exclusive; the busy flag
// changes by compare-and-exchange while the lock is held, so an entry is never unlinked
// between a search and its claim. The stripe lock is always taken alone, never across I/O
// (the one exception: a removed entry's arena is released after the lock is dropped).
#pragma once

#include "app/app_state.h"

// The entry for the path, marked busy; null when another worker holds it. A new entry
// records `now` as the version it met. Finding and inserting are one step with respect to
// other workers: the bucket is searched again under the exclusive lock before inserting.
ClaimEntry *claim_acquire(ClaimTable *table, Str8 path, FileProps now);

// Unlinks the entry when `remove` (its arena is released and the entry kept for reuse);
// otherwise frees it with `now` as its recorded version and, when `attempted` is given, that
// as the last version an attempt had the complete bytes of.
void claim_release(ClaimTable *table, ClaimEntry *entry, bool remove, FileProps now, const FileProps *attempted);

// True when the path's entry is free and an attempt has had the complete bytes of this very
// version of the file: nothing more will happen to it until it changes.
bool claim_settled(ClaimTable *table, Str8 path, FileProps now);
