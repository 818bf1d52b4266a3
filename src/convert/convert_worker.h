// The conversion worker: claims, attempts, and the worker thread entry.
//
// Each worker takes paths from the conversion queue and holds one claimed source at a time.
// A claimed source's arena, records and buffers are touched by its worker only; the claim
// table's stripe lock is taken alone, never across I/O.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "app/app_state.h"
#include "app/app_claims.h"
#include "intake/intake.h"
#include "convert/convert_plan.h"

// One attempt at a claimed source: convert, write, report, then delete or release. False when
// the intake had no complete read of the version on disk, so nothing could be decided.
bool convert_attempt(AppState *app, ClaimEntry *entry, Str8 path, FileProps t0, ContentLease *lease, Arena *arena,
                     Arena *layout_arena);
