// The conversion worker: one source path per cycle, claimed so that no other worker holds it,
// converted from the intake's complete read, written durably, then deleted or left in place.
#include "convert/convert_worker.h"

#include <cstdio>

#include "intake/intake.h"

// A version whose outputs or metadata could not be written is tried again after this long
// (a full disk, a read-only folder), not on every pass.
static constexpr u64 WriteRetryUs = 10000000;

static bool props_exist(FileProps p) { return (p.flags & FilePropsExists) != 0 && (p.flags & FilePropsFolder) == 0; }

static bool same_version(FileProps a, FileProps b) { return props_exist(a) && file_props_same_version(a, b); }

//~ One attempt
struct Attempt {
  AppState *app;
  ClaimEntry *entry;
  Str8 path;
  Str8 file_name;
  Arena *arena; // records, texts, messages: the worker's scratch
  WorkerMemory *memory;
  ContentLease *lease;
  SourceVersions versions;
  AttemptOutcome outcome;
  Str8 bytes;
  ConvertPlan plan;
  bool planned;
  MessageList file_messages; // the file's own notes, after its records in the metadata
  Str8List metadata;
  Str8 metadata_path;
  bool metadata_written;
  PendingWrite *pending_writes; // the outputs' temporaries, committed with the metadata
  u64 pending_count;
  bool intake_settled; // the intake answered that this version was settled already
};

// Each phase returns whether the attempt goes on; one that ends it has set the outcome.
static bool attempt_end(Attempt *a, AttemptOutcome outcome) {
  a->outcome = outcome;
  return false;
}

//- bytes: the intake's complete read of the version seen at the start
static bool phase_bytes(Attempt *a) {
  SourceVersions *v = &a->versions;
  if (same_version(v->settled, v->seen)) return attempt_end(a, AttemptSettledBefore);

  // Bytes of another version than the one seen at the start would be converted and then the
  // newer file deleted: only a read of this very version is taken.
  IntakeRead read = intake_request_read(a->path, clock_now_us() + 400000, &v->seen);
  v->read = read.props;
  switch (read.kind) {
  case IntakeSettled: a->intake_settled = true; return attempt_end(a, AttemptSettledBefore);
  case IntakeUnreadable: return attempt_end(a, AttemptUnreadable);
  case IntakeBytes: break;
  default: return attempt_end(a, AttemptWaiting);
  }
  if (u128_is_zero(read.digest)) return attempt_end(a, AttemptUnusable); // an empty file
  a->bytes = content_lease_get(a->lease, read.digest);
  if (a->bytes.size == 0) return attempt_end(a, AttemptWaiting);
  return true;
}

//- probe: the file type, the size limit, a picture cut short
static bool phase_probe(Attempt *a) {
  Str8 stem = str8_drop_extension(a->file_name);
  a->metadata_path = arena_format(a->arena, "%S/%S.metadatas", a->app->metadatas_folder, stem);
  plan_begin(&a->plan, a->arena, a->memory->file_arena, a->memory->layout_arena, a->app->out_folder, a->bytes);
  if (plan_source_record(&a->plan)->file_type == FileTypeNone) {
    message_add(a->arena, &a->file_messages, 3,
                arena_format(a->arena, "Unsupported file format, %S was skipped", a->file_name));
    return attempt_end(a, AttemptUnsupported);
  }
  a->planned = true;

  // refused before anything is decoded
  CodecProbe probe = {};
  bool probed = codec_probe(a->bytes, &probe);
  if (probe.width * probe.height > a->app->max_pixels) {
    MessageList refusal = {};
    message_add(a->arena, &refusal, 2,
                arena_format(a->arena, "Image is too large (%I64u x %I64u pixels, the limit is %I64u), %S was left in place.",
                             probe.width, probe.height, a->app->max_pixels, a->file_name));
    message_report(a->arena, &refusal, nullptr, 1);
    fflush(stdout);
    return attempt_end(a, AttemptRefused);
  }
  // A picture cut short ends the attempt like a failed probe: tried again when it changes.
  if (!probed || !codec_complete(a->bytes)) return attempt_end(a, AttemptUnusable);
  plan_set_source(&a->plan, probe);
  return true;
}

//- plan: the outputs, their sizes and layouts
static bool phase_plan(Attempt *a) {
  plan_targets(&a->plan, &a->app->targets);
  plan_geometry(&a->plan);
  return a->plan.ok || attempt_end(a, AttemptUnusable);
}

//- decode: every layout the outputs need
static bool phase_decode(Attempt *a) {
  plan_decode(&a->plan);
  return a->plan.ok || attempt_end(a, AttemptUnusable);
}

//- pixels: resampling, statistics, backgrounds
static bool phase_pixels(Attempt *a) {
  plan_resample(&a->plan);
  plan_stats_and_background(&a->plan);
  return true;
}

//- encode: checksums, names and encoded outputs; then one look at the file
static bool phase_encode(Attempt *a) {
  plan_checksums_and_encode(&a->plan);
  // Nothing is written for a file that changed while it was converted.
  if (!same_version(file_props_from_path(a->path), a->versions.seen)) return attempt_end(a, AttemptChanged);
  return true;
}

//- write: every output into a temporary, then the records' text
// The records' text (each followed by its notes) and the file's own notes make the metadata
// file, which the settle phase writes last: one commit syncs them all and puts them in place in
// that order, so the metadata never names an output that is not there.
static bool phase_write(Attempt *a) {
  PendingWrite *writes = arena_push<PendingWrite>(a->arena, a->plan.record_count);
  u64 count = 0;
  bool write_failed = false;
  for (OutputRecord *r = a->plan.first_record; r; r = r->next) {
    Str8 extension = r->file_type == FileTypeJpeg ? str8_lit("jpg") : str8_lit("png");
    r->file_path = arena_format(a->arena, "%S.%S", r->file_path, extension);
    if (r->bytes.size == 0) continue;
    if (file_write_begin(a->arena, r->file_path, r->bytes, WriteAllMakeParents, &writes[count])) {
      r->file_info.flags = FilePropsExists;
      r->file_info.size = r->bytes.size;
      count += 1;
    } else {
      write_failed = true;
      message_add(a->arena, &a->file_messages, 2, arena_format(a->arena, "Unable to write %S.", r->file_path));
    }
  }
  for (OutputRecord *r = a->plan.first_record; r; r = r->next) {
    write_metadata_record(a->arena, &a->metadata, r);
    message_report(a->arena, &r->messages, &a->metadata, 1);
  }
  a->outcome = write_failed ? AttemptWriteFailed : AttemptConverted;
  a->pending_writes = writes;
  a->pending_count = count;
  return true;
}

// The metadata file (the records and the file's own notes) joins the outputs' temporaries; one
// commit makes them durable and puts them in place.
static void attempt_commit(Attempt *a) {
  message_report(a->arena, &a->file_messages, &a->metadata, 1);
  u64 outputs = a->pending_count;
  PendingWrite *writes = arena_push<PendingWrite>(a->arena, outputs + 1);
  if (outputs) memcpy(writes, a->pending_writes, outputs * sizeof(PendingWrite));
  bool has_metadata = false;
  if (a->metadata.node_count > 0) {
    Str8 text = str8_list_join(a->arena, &a->metadata, nullptr);
    has_metadata = file_write_begin(a->arena, a->metadata_path, text, WriteAllMakeParents, &writes[outputs]);
  }
  u64 count = outputs + (has_metadata ? 1 : 0);
  bool *ok = arena_push<bool>(a->arena, count + 1);
  file_write_commit(writes, count, ok);

  MessageList failures = {};
  bool outputs_ok = true;
  for (u64 i = 0; i < outputs && outputs_ok; i += 1) {
    if (ok[i]) continue;
    outputs_ok = false; // the commit stops at its first failure
    message_add(a->arena, &failures, 2, arena_format(a->arena, "Unable to write %S.", writes[i].path));
  }
  a->metadata_written = outputs_ok && has_metadata && ok[outputs];
  if (a->metadata.node_count > 0 && !a->metadata_written && outputs_ok) {
    message_add(a->arena, &failures, 2, arena_format(a->arena, "Unable to write %S.", a->metadata_path));
  }
  message_report(a->arena, &failures, nullptr, 1);
  if (!a->metadata_written || !outputs_ok) a->outcome = AttemptWriteFailed;
  fflush(stdout);
}

//- settle: delete the source (once its outputs are durable), or leave it in place
static void phase_settle(Attempt *a) {
  AppState *app = a->app;
  SourceVersions *v = &a->versions;
  if (a->outcome == AttemptUnreadable) {
    MessageList note = {};
    message_add(a->arena, &note, 2, arena_format(a->arena, "Unable to open %S, it was left in place.", a->file_name));
    message_report(a->arena, &note, nullptr, 1);
    fflush(stdout);
  }
  if (a->outcome == AttemptConverted || a->outcome == AttemptWriteFailed || a->outcome == AttemptUnsupported) {
    attempt_commit(a);
  }

  // A source to delete waits for its worker's next folder sync, still claimed.
  if (a->outcome == AttemptConverted || a->outcome == AttemptUnsupported) {
    worker_defer_delete(a->memory, a->entry, a->path, *v, a->outcome == AttemptConverted);
    return;
  }

  // A version left in place is settled: not tried again until it changes, and its bytes are
  // let go. A failed write is tried again after a while (the disk may have room by then).
  v->now = file_props_from_path(a->path);
  if (same_version(v->now, v->seen) && !a->intake_settled) {
    switch (a->outcome) {
    case AttemptRefused:
    case AttemptUnusable:
    case AttemptUnreadable:
    case AttemptSettledBefore:
      a->entry->settled = v->seen;
      intake_settle(a->path, v->seen, 0);
      break;
    case AttemptWriteFailed: intake_settle(a->path, v->seen, WriteRetryUs); break;
    default: break;
    }
  }
  claim_release(&app->claims, a->entry, false, v->now);
}

AttemptOutcome convert_attempt(AppState *app, ClaimEntry *entry, Str8 path, FileProps seen, ContentLease *lease,
                               Arena *arena, WorkerMemory *memory) {
  Attempt a = {};
  a.app = app;
  a.entry = entry;
  a.path = path;
  a.file_name = str8_file_name(path);
  a.arena = arena;
  a.memory = memory;
  a.lease = lease;
  a.versions.seen = seen;
  a.versions.recorded = entry->recorded;
  a.versions.settled = entry->settled;

  using Phase = bool (*)(Attempt *);
  static const Phase phases[] = {phase_bytes, phase_probe, phase_plan, phase_decode, phase_pixels, phase_encode,
                                 phase_write};
  for (Phase phase : phases) {
    if (!phase(&a)) break;
  }
  // the attempt's pixels and outputs go; the worker's memory stays for the next one
  if (a.planned) plan_release_layouts(&a.plan);
  arena_reset(memory->file_arena);
  phase_settle(&a);
  return a.outcome;
}

//~ Deletions
// The sources a worker converted wait here until one sync of the output and metadata folders
// makes their outputs' names durable; each is then deleted only while the file on disk is still
// the version that was judged, and was already when it was recorded (first met, or last
// released). Nothing is lost: a source goes only once what it produced is durable.
void worker_defer_delete(WorkerMemory *memory, ClaimEntry *entry, Str8 path, SourceVersions versions, bool converted) {
  DeleteBatch *batch = &memory->deletes;
  if (batch->count == 0) batch->first_us = clock_now_us();
  PendingDelete *d = arena_push<PendingDelete>(batch->arena);
  d->entry = entry;
  d->path = str8_copy(batch->arena, path);
  d->versions = versions;
  d->converted = converted;
  if (batch->last) {
    batch->last->next = d;
  } else {
    batch->first = d;
  }
  batch->last = d;
  batch->count += 1;
  batch->any_converted |= converted;
}

void worker_flush_deletes(WorkerMemory *memory) {
  AppState *app = app_state();
  DeleteBatch *batch = &memory->deletes;
  if (batch->count == 0) return;
  if (batch->any_converted) folder_sync(app->out_folder);
  folder_sync(app->metadatas_folder);
  for (PendingDelete *d = batch->first; d; d = d->next) {
    SourceVersions *v = &d->versions;
    v->now = file_props_from_path(d->path);
    bool remove = same_version(v->now, v->seen) && (!d->converted || same_version(v->now, v->recorded));
    if (remove && file_delete(d->path)) intake_release_reads(d->path);
    claim_release(&app->claims, d->entry, remove, v->now);
  }
  Arena *arena = batch->arena;
  arena_reset(arena);
  *batch = DeleteBatch{};
  batch->arena = arena;
}

bool worker_deletes_due(WorkerMemory *memory, bool queue_empty) {
  DeleteBatch *batch = &memory->deletes;
  return batch->count > 0 &&
         (queue_empty || batch->count >= DeleteBatchLargest || clock_now_us() - batch->first_us >= DeleteBatchWaitUs);
}

//~ Worker
void worker_memory_init(WorkerMemory *memory) {
  // Small and medium files fit in the first blocks, which stay committed from one file to the
  // next; a large file's buffers get blocks of their own, which go back when it is done.
  memory->file_arena = arena_create(mib(16), kib(256));
  memory->layout_arena = arena_create(mib(4), kib(256));
  memory->deletes.arena = arena_create(mib(1), kib(64));
}

void conversion_worker(u64 index) {
  thread_set_name("[VANTOR] Convert #%I64u", index);
  AppState *app = app_state();
  WorkerMemory memory = {};
  worker_memory_init(&memory);
  for (;;) {
    // The scan keeps offering a source that waits for its deletion, so the queue is never
    // empty for long while one does.
    if (worker_deletes_due(&memory, ring_is_empty(&app->conversion_queue))) worker_flush_deletes(&memory);
    Scratch scratch = scratch_begin(nullptr);
    ContentLease *lease = content_lease_begin();
    Str8 path = ring_pop(&app->conversion_queue, scratch.arena);
    atomic_add_u64(&app->workers_busy, 1);
    FileProps seen = file_props_from_path(path);
    // Duplicates of a path stay queued after its file was converted and deleted, and while
    // another worker holds it: those cost a look, not a pause.
    bool waiting_for_bytes = false;
    if (props_exist(seen)) {
      ClaimEntry *entry = claim_acquire(&app->claims, path, seen);
      if (entry) {
        waiting_for_bytes = convert_attempt(app, entry, path, seen, lease, scratch.arena, &memory) == AttemptWaiting;
      }
    }
    content_lease_end(lease);
    scratch_end(scratch);
    atomic_add_u64(&app->workers_busy, (u64)-1);
    // The intake has not read this version yet: give the streamers a moment before the next
    // path, which is often a duplicate of this one.
    if (waiting_for_bytes) sleep_ms(100);
  }
}
