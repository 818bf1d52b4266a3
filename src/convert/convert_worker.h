// The conversion worker: claims, attempts, and the worker thread entry.
//
// Each worker takes paths from the conversion queue and holds one claimed source at a time.
// A claimed source's arena, records and buffers are touched by its worker only; the claim
// table's stripe lock is taken alone, never across I/O.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "app/app_state.h"
#include "intake/intake.h"
#include "convert/convert_plan.h"

// The entry for the path, marked busy; null when another worker holds it. A new entry
// records `now` as the version it met.
ClaimEntry *claim_acquire(ClaimTable *table, Str8 path, FileProps now);
// Unlinks the entry (its arena released) when `remove`, else frees it with `now` recorded.
void claim_release(ClaimTable *table, ClaimEntry *entry, bool remove, FileProps now);

// One attempt at a claimed source: convert, write, report, then delete or release.
void convert_attempt(AppState *app, ClaimEntry *entry, Str8 path, FileProps t0, ContentLease *lease, Arena *arena);
