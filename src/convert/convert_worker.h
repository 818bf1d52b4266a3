// The conversion workers: the loop each one runs, and what they share with the application.
//
// Each worker takes paths from the conversion queue and holds one claimed source at a time: it
// runs one attempt at the source, then leaves it in place or adds it to its batch, which it
// hands to the committer thread. A claimed source's records and buffers are touched by its
// worker only; the claim table's stripe lock is taken alone, never across I/O.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "convert/convert_target.h"
#include "convert/convert_claims.h"
#include "convert/instances/instances.h"

//~ What the workers share
// What one worker is busy with, for whoever checks that the workers make progress: the worker
// writes, anyone reads. The lock guards the source's name alone and is held only to copy it.
constexpr u64 WorkerWatchNameMost = 512;
struct WorkerWatch {
  u64 started_us; // atomic: clock_now_us when the worker took its current path; 0 while idle
  OsObject *lock;
  u64 source_size;
  u8 source[WorkerWatchNameMost]; // the path taken, cut to its last WorkerWatchNameMost bytes
};
// The worker's current path and for how long it has held it (0 and an empty name when idle).
u64 worker_watch_read(WorkerWatch *watch, u8 *name, u64 *name_size);

// Set up by the application before the first worker starts: the folders, targets and limits
// are read-only from then on; the queue, the claim table and the busy count are the
// application's, each with its own lock or atomic.
struct ConvertShared {
  TargetList targets;
  Str8 in_folder;
  Str8 out_folder;
  Str8 metadatas_folder;
  Str8 unsupported_folder; // "<out>/unsupported": where files that are not pictures are moved
  u64 max_pixels;          // sources with more pixels are refused before decoding
  bool keep_orientation;   // outputs are not turned upright
  bool keep_color;         // outputs are not converted to sRGB
  StringRing *queue;       // the paths to convert; the application pushes, workers pop
  ClaimTable *claims;
  u64 *workers_busy;       // atomic: workers between taking a path and the end of its cycle
  WorkerWatch *watch;      // one per worker, by index
};

// Published once, complete, before the first worker starts; workers read it from their first
// step on.
void convert_share(ConvertShared *shared);
ConvertShared *convert_shared();

// The intake's read gate: true when the source at `path` (in the version `props`) is claimed by
// another live instance sharing the folder, or left it in that version already.
bool convert_source_held(Str8 path, FileProps props);

// A source that a live instance sharing the folder claimed is looked at again after this long:
// by then it is usually gone, converted. A drain that buried an instance waits this long
// before it ends, so that the sources the buried one held are asked about again.
constexpr u64 ElsewhereRecheckUs = 1000000;

//~ Worker
struct SourceBatch; // the sources a worker converted since it last handed them over

// A worker's memory, reused from one attempt to the next.
struct WorkerMemory {
  Arena *file_arena;   // resampled pixels, canvases, encoded outputs; reset after each attempt
  Arena *layout_arena; // decoded layouts at the source's size; rewound after each attempt
  SourceBatch *batch; // the sources converted since the last hand-over to the committer
  u64 taken_us;       // when the worker took its current path (clock_now_us); only when anyone listens
};
void worker_memory_init(WorkerMemory *memory);

// The conversion worker's thread entry; app_setup starts one per worker with its index.
void conversion_worker(u64 index);

//~ Stopping
// From convert_stop on (any thread), no worker takes a new source: the paths still queued are
// dropped and their files left untouched. The sources being converted finish, and each worker
// hands its batch over at once to be committed. convert_in_flight is true until every one of
// them is done: no worker in a cycle, no converted source waiting for its commit.
void convert_stop();
bool convert_stopping();
bool convert_in_flight();
