// The conversion worker: attempts, and the worker thread entry.
//
// Each worker takes paths from the conversion queue and holds one claimed source at a time.
// An attempt runs in phases (bytes, probe, plan, decode, pixels, encode, write, settle), each
// of which may end it with its outcome. A claimed source's records and buffers are touched by
// its worker only; the claim table's stripe lock is taken alone, never across I/O.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "intake/intake.h"
#include "convert/convert_claims.h"
#include "convert/instances/instances.h"
#include "convert/convert_plan.h"

//~ What the workers share
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
};

// Published once, complete, before the first worker starts; workers read it from their first
// step on.
void convert_share(ConvertShared *shared);
ConvertShared *convert_shared();

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
  AttemptUnsupported,   // of no format the conversion layer reads: reported in its metadata, then moved aside
  AttemptRefused,       // more pixels or scans than the limits, or data beyond its size: left in place
  AttemptUnusable,      // empty or cut short: left in place, looked at again when it changes
  AttemptNotDecodable,  // complete, but the decoder refuses it: reported, left in place
  AttemptUnreadable,    // the file cannot be opened: reported, left in place
  AttemptWriteFailed,   // an output or the metadata could not be written: left, tried later
  AttemptDeleteFailed,  // converted, but the source could not be deleted: reported, left in place
  AttemptMoveFailed,    // unsupported, but it could not be moved aside: reported, left in place
  AttemptTooRecent,     // not a picture, but changed too lately to be judged: tried again shortly
  AttemptHeldElsewhere, // a live instance sharing the folder claimed it: looked at again in a while
  AttemptHolderSilent,  // the instance that claimed it has not been heard of lately: asked again
};

// A source that a live instance sharing the folder claimed is looked at again after this long:
// by then it is usually gone, converted. A drain that buried an instance waits this long
// before it ends, so that the sources the buried one held are asked about again.
constexpr u64 ElsewhereRecheckUs = 1000000;

//~ What became of the sources
// Counted once enabled (for a drain's summary and the progress line): the sources converted
// and the unsupported files set aside as they leave the input, and the latest reason of every
// path left in place, so that a version tried again (a write that failed, then worked) is
// counted once, under what happened to it last.
enum TallyReason : u32 {
  TallyNone = 0,
  TallyTooLarge,
  TallyCutShortOrEmpty,
  TallyNotDecodable,
  TallyUnreadable,
  TallyWriteFailed,
  TallyNotDeleted, // the source, or the unsupported file, could not leave the input folder
  TallyReasonCount,
};

struct OutcomeTally {
  u64 converted;
  u64 set_aside; // unsupported files
  u64 left[TallyReasonCount];
  u64 left_total;
};

void outcome_tally_enable();
// With recount, a path left in place counts only while its file is still there.
OutcomeTally outcome_tally_read(bool recount);
// A warning for each file still left in place as empty or cut short (said once, as a drain ends).
void outcome_tally_report_cut_short();

constexpr u64 SourceWritesNone = ~0ull;

// The temporaries of one source: the source copy (when it is written) and the outputs, then
// the metadata last. The copy never replaces other bytes (WriteKeepOther): when it lands under
// a numbered name, the metadata is written again to name that file.
struct SourceWrites {
  PendingWrite *writes;
  u64 count;
  u64 copy_index;     // of the source copy among the writes; SourceWritesNone when it is not written
  Str8 copy_planned;  // the copy's name as the records give it
  Str8 metadata_text; // the metadata's text, kept for that rewrite; empty: no metadata write
};

// A converted source waiting in its worker's batch, still claimed, with its temporaries.
struct BatchedSource {
  BatchedSource *next;
  ClaimEntry *entry;
  Str8 path;
  SourceVersions versions;
  SourceWrites files;
  Str8 failed_path; // the first file the commit could not put in place
  bool converted; // false: an unsupported file, which has its metadata only and is moved aside
  bool in_place;  // every temporary was put in place by the commit
  bool lost;      // its claim in the shared folder was taken over: nothing was put in place
};

// A batch is handed over once it holds SourceBatchLargest sources or SourceBatchFiles open
// temporaries (sixteen workers stay well within the usual limit of open files), once its
// first source has waited SourceBatchWaitUs, or when the conversion queue is empty.
constexpr u64 SourceBatchLargest = 16;
constexpr u64 SourceBatchFiles = 48;
constexpr u64 SourceBatchWaitUs = 100000;

struct SourceBatch {
  SourceBatch *next; // in the committer's lists
  Arena *arena;      // holds the batch itself, its sources' paths and temporaries
  BatchedSource *first;
  BatchedSource *last;
  u64 count;
  u64 open_files;
  u64 first_us;
};

// A worker's memory, reused from one attempt to the next.
struct WorkerMemory {
  Arena *file_arena;   // resampled pixels, canvases, encoded outputs; reset after each attempt
  Arena *layout_arena; // decoded layouts at the source's size; rewound after each attempt
  SourceBatch *batch; // the sources converted since the last hand-over to the committer
};
void worker_memory_init(WorkerMemory *memory);

void worker_batch_add(WorkerMemory *memory, ClaimEntry *entry, Str8 path, SourceVersions versions, SourceWrites files,
                      bool converted);
bool worker_batch_due(WorkerMemory *memory, bool queue_empty);
// Hands the batch to the committer thread (started with the first one), which puts every
// temporary in place, syncs the output and metadata folders once (and the metadata's
// sub-folders), then deletes, moves aside (or releases) every source of the batch; the worker
// goes on with an empty batch.
void worker_hand_over(WorkerMemory *memory);

// The conversion worker's thread entry; app_setup starts one per worker with its index.
void conversion_worker(u64 index);

// One attempt at a claimed source: convert, write, report, then delete or release.
AttemptOutcome convert_attempt(ConvertShared *shared, ClaimEntry *entry, Str8 path, FileProps seen, ContentLease *lease,
                               Arena *arena, WorkerMemory *memory);
