// The conversion worker: attempts, and the worker thread entry.
//
// Each worker takes paths from the conversion queue and holds one claimed source at a time.
// An attempt runs in phases (bytes, probe, plan, decode, pixels, encode, write, settle), each
// of which may end it with its outcome. A claimed source's records and buffers are touched by
// its worker only; the claim table's stripe lock is taken alone, never across I/O.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "app/app_state.h"
#include "app/app_claims.h"
#include "intake/intake.h"
#include "convert/convert_plan.h"

// The versions of the source that an attempt compares.
struct SourceVersions {
  FileProps seen;     // when the worker took the path, before claiming it
  FileProps recorded; // when the claim entry was made or last released
  FileProps settled;  // the version an earlier attempt left in place for good, if any
  FileProps read;     // of the intake's read the bytes come from
  FileProps now;      // after writing, just before deleting or releasing
};

enum AttemptOutcome : u32 {
  AttemptWaiting = 0,   // the intake has no read of the version seen yet: tried again later
  AttemptSettledBefore, // an earlier attempt decided about this version already
  AttemptChanged,       // the file changed during the attempt: tried again
  AttemptConverted,     // every output and the metadata written, the source deleted
  AttemptUnsupported,   // neither PNG nor JPEG: reported in its metadata, then deleted
  AttemptRefused,       // more pixels than the limit: left in place
  AttemptUnusable,      // empty, cut short, or not decodable: left in place
  AttemptUnreadable,    // the file cannot be opened: reported, left in place
  AttemptWriteFailed,   // an output or the metadata could not be written: left, tried later
};

// A converted source waiting for its worker's next folder sync, still claimed.
struct PendingDelete {
  PendingDelete *next;
  ClaimEntry *entry;
  Str8 path;
  SourceVersions versions;
  bool converted; // false: an unsupported file, which has its metadata only
};

// A batch is synced and deleted once it holds DeleteBatchLargest sources, once its first has
// waited DeleteBatchWaitUs, or when the conversion queue is empty.
constexpr u64 DeleteBatchLargest = 32;
constexpr u64 DeleteBatchWaitUs = 100000;

struct DeleteBatch {
  Arena *arena; // the paths; reset after each flush
  PendingDelete *first;
  PendingDelete *last;
  u64 count;
  u64 first_us;
  bool any_converted;
};

// A worker's memory, reused from one attempt to the next.
struct WorkerMemory {
  Arena *file_arena;   // resampled pixels, canvases, encoded outputs; reset after each attempt
  Arena *layout_arena; // decoded layouts at the source's size; rewound after each attempt
  DeleteBatch deletes;
};
void worker_memory_init(WorkerMemory *memory);

void worker_defer_delete(WorkerMemory *memory, ClaimEntry *entry, Str8 path, SourceVersions versions, bool converted);
bool worker_deletes_due(WorkerMemory *memory, bool queue_empty);
// Syncs the output and metadata folders, then deletes (or releases) every source of the batch.
void worker_flush_deletes(WorkerMemory *memory);

// One attempt at a claimed source: convert, write, report, then delete or release.
AttemptOutcome convert_attempt(AppState *app, ClaimEntry *entry, Str8 path, FileProps seen, ContentLease *lease,
                               Arena *arena, WorkerMemory *memory);
