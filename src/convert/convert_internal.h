// What the job's modules share among themselves and the application does not see: the
// worker's loop, one attempt's phases, the commit of a batch and the tally are each a module
// of their own, and call one another through what this header declares. Tests may include it.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "intake/intake.h"
#include "convert/convert.h"

//~ Versions and warnings
// A path the system would not look up counts as a file: the scan listed it as one, and it is
// tried, found unreadable and settled like any file that cannot be opened, not waited for.
inline bool props_is_file(FileProps p) {
  return (p.flags & FilePropsUnreachable) || ((p.flags & FilePropsExists) && !(p.flags & FilePropsFolder));
}

inline bool same_version(FileProps a, FileProps b) { return props_is_file(a) && file_props_same_version(a, b); }

// A warning of its own on the console, at once, and told to whoever listens; `source` is the
// path below the input folder of the source it is about, when there is one. A name or path in
// its text comes from the input tree: the caller escapes it (str8_escape_line), so that one
// warning is always its two lines.
inline void warn(Arena *arena, Str8 text, Str8 source = {}) {
  MessageList note = {};
  message_add(arena, &note, MessageWarning, text);
  message_report_named(arena, &note, nullptr, 1, Str8{}, source);
  if (activity_wanted()) {
    ActivityEvent event = {};
    event.kind = ActivityWarning;
    event.source = source;
    event.message = text;
    activity_publish(&event);
  }
}

//~ What became of the sources
// The latest reason a path was left in place (TallyReason); once enabled only.
void tally_left(Str8 path, u32 reason);
// A source that left the input: converted, or an unsupported file set aside.
void tally_gone(Str8 path, bool converted);

//~ One attempt
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

// One attempt at a claimed source: convert, write, report, then delete or release.
AttemptOutcome convert_attempt(ConvertShared *shared, ClaimEntry *entry, Str8 path, FileProps seen, ContentLease *lease,
                               Arena *arena, WorkerMemory *memory);

// The worker lets the source go: its claim in the shared folder first, then its entry. A claim
// the commit has just found to be this instance's is not read again (checked). A source that
// left the input folder in the version `gone` leaves its claim behind as that version's
// tombstone.
void release_source(ConvertShared *shared, ClaimEntry *entry, Str8 path, bool remove, FileProps now,
                    bool checked = false, const FileProps *gone = nullptr);

// A version left in place is settled: not tried again until it changes, and its bytes are let
// go. A failed write is tried again after a pause that grows with each failure (the disk may
// have room by then); its entry stays, remembering that this version's failure was reported,
// so that the retries are silent, and where it failed, so that a retry first asks whether that
// folder can take the file. Otherwise, once the intake holds the settled version, the claim
// entry goes too: the intake answers for that version from then on, and a path left in place
// costs its registry node only. The entry keeps the settled version itself only where the
// intake could not take it (a read was under way).
// Whoever listens is told of a version left in place once (not of the silent retries of a
// failed write), with `message`, the warning printed about it if any, and the time since
// `taken_us` (0: not timed).
void settle_left_in_place(ConvertShared *shared, ClaimEntry *entry, Str8 path, SourceVersions *v, AttemptOutcome outcome,
                          bool intake_knows, Str8 failed_path, u64 failed_bytes, Str8 message = {}, u64 taken_us = 0);

//~ The worker's batch
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
  // What whoever listens is told of the files once they are in place (only when anyone
  // listens): each record's file as planned, the source's copy first; the copy's entry is
  // given the name it landed under at the commit.
  ActivityOutput *outputs;
  u32 output_count;
  u64 source_bytes;
};

// A converted source waiting in its worker's batch, still claimed, with its temporaries.
struct BatchedSource {
  BatchedSource *next;
  ClaimEntry *entry;
  Str8 path;
  SourceVersions versions;
  SourceWrites files;
  Str8 failed_path; // the first file the commit could not put in place
  u64 taken_us;     // when its worker took the path (WorkerMemory), for whoever listens
  Str8 warning;     // the warning printed when it could not be put in place or leave the input
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

// A batch lives at the start of its own arena: reset, it is empty again and keeps its memory.
SourceBatch *batch_create();
SourceBatch *batch_reset(SourceBatch *batch);

void worker_batch_add(WorkerMemory *memory, ClaimEntry *entry, Str8 path, SourceVersions versions, SourceWrites files,
                      bool converted);
bool worker_batch_due(WorkerMemory *memory, bool queue_empty);
// How many sources were added to a batch and are not committed yet (any thread).
u64 sources_uncommitted();
// Hands the batch to the committer thread (started with the first one), which puts every
// temporary in place, syncs the output and metadata folders once (and the metadata's
// sub-folders), then deletes, moves aside (or releases) every source of the batch; the worker
// goes on with an empty batch.
void worker_hand_over(WorkerMemory *memory);

// Commits a source's temporaries: the copy and the outputs, then the metadata, written again
// first when the copy went to a numbered name. False when any could not be put in place (the
// metadata is then not put in place either), with a warning naming the first (unless quiet),
// which *failed receives, and the warning's text *warning (empty when quiet); `source` is the
// path below the input folder that the warning is about.
bool commit_source_writes(Arena *arena, SourceWrites *files, bool quiet, Str8 *failed, Str8 source, Str8 *warning);
