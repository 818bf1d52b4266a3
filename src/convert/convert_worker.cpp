// The conversion worker: one source path per cycle, claimed so that no other worker holds it,
// converted from the intake's complete read, written durably, then deleted or left in place.
#include <atomic>

#include "convert/convert_internal.h"

// A version whose outputs or metadata could not be written (a full disk, a read-only folder)
// is tried again after a pause that doubles with each failure, from ten seconds to ten
// minutes, and then only once the folder that failed can take the file.
static constexpr u64 WriteRetryFirstUs = 10000000;
static constexpr u64 WriteRetryLongestUs = 600000000;
// A file that is not a picture is moved aside only once it has stayed the same this long: a
// picture's writer that has not written the whole signature yet looks like anything else.
static constexpr u64 UnsupportedQuietUs = 2000000;

static SourceBatch *batch_reset(SourceBatch *batch);

static u32 tally_reason_of(AttemptOutcome outcome) {
  switch (outcome) {
  case AttemptRefused: return TallyTooLarge;
  case AttemptUnusable: return TallyCutShortOrEmpty;
  case AttemptNotDecodable: return TallyNotDecodable;
  case AttemptUnreadable: return TallyUnreadable;
  case AttemptWriteFailed: return TallyWriteFailed;
  case AttemptDeleteFailed:
  case AttemptMoveFailed: return TallyNotDeleted;
  default: return TallyNone;
  }
}

// Adds `folder` and each folder above it, up to but not including `root` (which the caller
// adds), to the folders to sync, each once: the entries of folders just made reach the disk
// with the files in them.
static void folders_below(Arena *arena, Str8 root, Str8 folder, Str8List *folders) {
  while (folder.size > root.size + 1 && str8_starts_with(folder, root, 0)) {
    bool listed = false;
    for (Str8Node *n = folders->first; n && !listed; n = n->next) listed = str8_equals(n->string, folder, 0);
    if (listed) return;
    str8_list_add(arena, folders, str8_copy(arena, folder));
    folder = str8_parent_folder(folder);
  }
}

// The folders synced all at once; returns when every sync is done.
static void folders_sync(Arena *arena, Str8List *folders) {
  Str8 *each = arena_push<Str8>(arena, max_of(folders->node_count, (u64)1));
  u64 count = 0;
  for (Str8Node *n = folders->first; n; n = n->next) each[count++] = n->string;
  folder_sync_many(each, count);
}

//~ One attempt
struct Attempt {
  ConvertShared *shared;
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
  MessageList console_notes; // the same notes as the console shows them (a failure's reason too)
  Str8List metadata;
  Str8 metadata_path;
  bool metadata_written;
  SourceWrites files;  // the temporaries of the source copy and outputs, then of the metadata
  Str8 failed_path;    // the first file that could not be written
  u64 failed_bytes;
  bool intake_settled; // the intake answered that this version was settled already
  bool quiet;          // a retry of a version whose failed write was reported: nothing printed
  bool held_back;      // a retry whose folder cannot take the file yet: nothing was tried
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
  // A retry of a failed write waits until the folder that failed can take the file: a
  // read-only or full folder costs a file query, not a conversion.
  ClaimEntry *e = a->entry;
  if (a->quiet && e->failed_folder.size > 0 && !folder_can_take(e->failed_folder, e->failed_bytes)) {
    a->held_back = true;
    return attempt_end(a, AttemptWriteFailed);
  }

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

//- claim: the source is this instance's alone among those sharing the folder
// Another instance deletes a source before its claim becomes a tombstone: a source still there
// once claimed was not converted meanwhile. One whose version left the input folder already
// (this file system still shows it) is another instance's doing, looked at again a moment later.
static bool phase_claim(Attempt *a) {
  switch (shared_claim_take(source_below_input(a->shared->in_folder, a->path), a->versions.seen, &a->entry->shared_serial)) {
  case ClaimHeldLive:
  case ClaimDone: return attempt_end(a, AttemptHeldElsewhere);
  case ClaimHeldSilent: return attempt_end(a, AttemptHolderSilent);
  case ClaimTaken:
    if (!same_version(file_props_from_path(a->path), a->versions.seen)) return attempt_end(a, AttemptChanged);
    return true;
  default: return true;
  }
}

// A complete picture that the decoder refuses is settled with its reason on the console: it will
// not convert until it changes.
static bool attempt_not_decodable(Attempt *a, const CodecFailure *failure) {
  Str8 reason = str8_escape_line(a->arena, codec_failure_reason(failure));
  Str8 name = str8_escape_line(a->arena, a->file_name);
  Str8 text = reason.size > 0 ? arena_format(a->arena, "Image could not be decoded (%S), %S was left in place.", reason, name)
                              : arena_format(a->arena, "Image could not be decoded, %S was left in place.", name);
  warn(a->arena, text);
  return attempt_end(a, AttemptNotDecodable);
}

//- probe: the file type, the size and scan limits, a picture cut short
static bool phase_probe(Attempt *a) {
  a->metadata_path = metadata_path_of(a->arena, a->shared->in_folder, a->shared->metadatas_folder, a->path);
  plan_begin(&a->plan, a->arena, a->memory->file_arena, a->memory->layout_arena, a->shared->out_folder, a->bytes);
  const ImageFormat *format = a->plan.format;
  if (!format) {
    // Shorter than a signature, it may be the start of a picture still being written; longer,
    // it is surely no picture once it has stayed the same for a while.
    if (format_may_become(a->bytes)) return attempt_end(a, AttemptUnusable);
    ClaimEntry *e = a->entry;
    if (!same_version(e->recorded, a->versions.seen) || clock_now_us() - e->seen_since_us < UnsupportedQuietUs) {
      return attempt_end(a, AttemptTooRecent);
    }
    // the record keeps the name's bytes; the console shows it escaped, as one line
    Str8 note = arena_format(a->arena, "Unsupported file format, %S was skipped", a->file_name);
    message_add(a->arena, &a->file_messages, MessageError, note);
    message_add(a->arena, &a->console_notes, MessageError,
                arena_format(a->arena, "Unsupported file format, %S was skipped", str8_escape_line(a->arena, a->file_name)));
    return attempt_end(a, AttemptUnsupported);
  }
  a->planned = true;

  // refused before anything is decoded
  CodecProbe probe = {};
  bool probed = plan_probe(&a->plan, &probe);
  if (probe.width * probe.height > a->shared->max_pixels) {
    warn(a->arena, arena_format(a->arena, "Image is too large (%I64u x %I64u pixels, the limit is %I64u), %S was left in place.",
                                probe.width, probe.height, a->shared->max_pixels, str8_escape_line(a->arena, a->file_name)));
    return attempt_end(a, AttemptRefused);
  }
  u64 scans = format->scan_count ? format->scan_count(a->bytes) : 1;
  if (format->scan_limit && scans > format->scan_limit) {
    warn(a->arena, arena_format(a->arena, "Image has too many scans (%I64u, the limit is %I64u), %S was left in place.",
                                scans, format->scan_limit, str8_escape_line(a->arena, a->file_name)));
    return attempt_end(a, AttemptRefused);
  }
  // A picture cut short ends the attempt silently: its writer may not be done, and it is
  // looked at again when it changes. A complete one the decoder refuses says why.
  if (!format->complete(a->bytes)) return attempt_end(a, AttemptUnusable);
  if (!probed) return attempt_not_decodable(a, &probe.failure);
  if (probe.frames > 1) {
    Str8 note = probe.frames == CodecFramesUncounted
                    ? str8_lit("Picture has frames; the first was converted.")
                    : arena_format(a->arena, "Picture has %I64u frames; the first was converted.", probe.frames);
    message_add(a->arena, &plan_source_record(&a->plan)->messages, MessageNote, note);
  }
  plan_set_source(&a->plan, probe);
  plan_photo(&a->plan, a->shared->keep_orientation, a->shared->keep_color);
  return true;
}

//- plan: the outputs, their sizes and layouts
static bool phase_plan(Attempt *a) {
  plan_targets(&a->plan, &a->shared->targets);
  plan_geometry(&a->plan);
  return a->plan.ok || attempt_end(a, AttemptUnusable);
}

//- decode: every layout the outputs need
// Image data that needs more memory than its declared size is refused like a picture above
// the limit: the version is settled, not tried again until it changes.
static bool phase_decode(Attempt *a) {
  plan_decode(&a->plan);
  if (a->plan.failure.kind == DecodeOverBudget) {
    warn(a->arena, arena_format(a->arena, "Image data is larger than its size needs (%I64u x %I64u pixels), %S was left in place.",
                                a->plan.probe.width, a->plan.probe.height, str8_escape_line(a->arena, a->file_name)));
    return attempt_end(a, AttemptRefused);
  }
  return a->plan.ok || attempt_not_decodable(a, &a->plan.failure);
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
// file, written last into a temporary of its own. A commit later syncs them all and puts them
// in place in that order, so the metadata never names an output that is not there.
// An output with the source's own pixels and file type is named as the source copy is. Written,
// it would replace the copy (a JPEG of lower quality, a PNG without the source's 16-bit depth)
// and the original bytes would be gone once the source is deleted: the copy stands for it
// instead, and its record describes the file that is there.
static bool output_is_source_copy(OutputRecord *source, OutputRecord *r) {
  if (r == source || source->bytes.size == 0 || !str8_equals(r->file_path, source->file_path, 0)) return false;
  r->bytes = Str8{};
  r->file_type = source->file_type;
  r->quality = source->quality;
  r->file_info.flags = FilePropsExists;
  r->file_info.size = source->bytes.size;
  return true;
}

// The first file that could not be written: its folder is what a retry asks about.
static void attempt_note_failure(Attempt *a, Str8 path, u64 bytes) {
  if (a->failed_path.size > 0) return;
  a->failed_path = str8_copy(a->arena, path);
  a->failed_bytes = bytes;
}

static bool phase_write(Attempt *a) {
  Arena *keep = a->memory->batch->arena; // the temporaries live until their commit
  SourceWrites *files = &a->files;
  files->writes = arena_push<PendingWrite>(keep, a->plan.record_count + 1);
  bool write_failed = false;
  OutputRecord *source = a->plan.first_record;
  for (OutputRecord *r = a->plan.first_record; r; r = r->next) {
    Str8 extension = r == source ? format_copy_extension(r->file_type, a->file_name) : format_extension(r->file_type);
    r->file_path = arena_format(a->arena, "%S.%S", r->file_path, extension);
    if (r->bytes.size == 0 || output_is_source_copy(source, r)) continue;
    // A file already there with these very bytes (a retry's, a twin's) is not written again.
    if (file_holds(r->file_path, r->bytes)) {
      r->file_info.flags = FilePropsExists;
      r->file_info.size = r->bytes.size;
      continue;
    }
    // The source copy never replaces other bytes: a twin with the same pixels keeps its own.
    u32 flags = WriteAllMakeParents | (r == source ? (u32)WriteKeepOther : 0u);
    if (file_write_begin(keep, r->file_path, r->bytes, flags, &files->writes[files->count])) {
      if (r == source) {
        files->copy_index = files->count;
        files->copy_planned = files->writes[files->count].path;
      }
      r->file_info.flags = FilePropsExists;
      r->file_info.size = r->bytes.size;
      files->count += 1;
    } else {
      write_failed = true;
      attempt_note_failure(a, r->file_path, r->bytes.size);
      Str8 reason = file_last_error_text(a->arena);
      message_add(a->arena, &a->file_messages, MessageWarning,
                  arena_format(a->arena, "Unable to write %S.", r->file_path));
      message_add(a->arena, &a->console_notes, MessageWarning,
                  arena_format(a->arena, "Unable to write %S: %S.", str8_escape_line(a->arena, r->file_path), reason));
    }
  }
  for (OutputRecord *r = a->plan.first_record; r; r = r->next) {
    format_metadata_record(a->arena, &a->metadata, r);
    message_report_named(a->arena, &r->messages, &a->metadata, !a->quiet, a->file_name);
  }
  a->outcome = write_failed ? AttemptWriteFailed : AttemptConverted;
  return true;
}

// The metadata file (the records and the file's own notes) joins the outputs' temporaries,
// under the record name this source holds. False when its temporary could not be written.
static bool attempt_stage_metadata(Attempt *a) {
  message_report(a->arena, &a->file_messages, &a->metadata, 0);
  message_report_named(a->arena, &a->console_notes, nullptr, !a->quiet, a->file_name);
  Arena *keep = a->memory->batch->arena;
  SourceWrites *files = &a->files;
  if (!files->writes) files->writes = arena_push<PendingWrite>(keep, 1);
  if (a->metadata.node_count == 0) return true;
  Str8 text = str8_list_join(keep, &a->metadata, nullptr);
  // what the record of this source begins with, whichever version: its file type, or its note
  Str8 mark = text;
  if (a->planned) {
    OutputRecord *source = plan_source_record(&a->plan);
    mark = arena_format(a->arena, "[is_original]1;[file_type]%S;", format_name(source->file_type));
  }
  a->metadata_path = metadata_name_take(a->arena, a->metadata_path, a->path, mark);
  if (file_write_begin(keep, a->metadata_path, text, WriteAllMakeParents, &files->writes[files->count])) {
    files->count += 1;
    files->metadata_text = text;
    return true;
  }
  attempt_note_failure(a, a->metadata_path, text.size);
  Str8 reason = file_last_error_text(a->arena);
  if (!a->quiet) {
    warn(a->arena, arena_format(a->arena, "Unable to write %S: %S.", str8_escape_line(a->arena, a->metadata_path), reason));
  }
  return false;
}

// The metadata text with the source copy's planned name replaced by the name it got, in every
// record that names the copy (its own, and an output's that it stands for).
static Str8 metadata_with_copy_name(Arena *arena, Str8 text, Str8 planned, Str8 placed) {
  Str8 from = arena_format(arena, "[file_path]%S;", planned);
  Str8 to = arena_format(arena, "[file_path]%S;", placed);
  Str8List pieces = {};
  u64 at = 0;
  for (u64 found; (found = str8_find(text, from, at, 0)) < text.size; at = found + from.size) {
    str8_list_add(arena, &pieces, str8_slice(text, RangeU64{at, found}));
    str8_list_add(arena, &pieces, to);
  }
  str8_list_add(arena, &pieces, str8_drop_front(text, at));
  return str8_list_join(arena, &pieces, nullptr);
}

// Commits a source's temporaries: the copy and the outputs, then the metadata, written again
// first when the copy went to a numbered name. False when any could not be put in place (the
// metadata is then not put in place either), with a note naming the first (unless quiet),
// which *failed receives.
static bool commit_source_writes(Arena *arena, SourceWrites *files, bool quiet, Str8 *failed) {
  if (files->count == 0) return true;
  bool has_metadata = files->metadata_text.size > 0;
  u64 outputs = files->count - (has_metadata ? 1 : 0);
  // the metadata's temporary is synced along with the outputs', and moved only after them
  PendingWrite **each = arena_push<PendingWrite *>(arena, files->count);
  for (u64 i = 0; i < files->count; i += 1) each[i] = &files->writes[i];
  file_write_sync(each, files->count);
  bool *ok = arena_push<bool>(arena, files->count);
  file_write_commit(files->writes, outputs, ok);
  u64 bad = files->count;
  for (u64 i = 0; i < outputs && bad == files->count; i += 1) {
    if (!ok[i]) bad = i;
  }
  Str8 bad_path = bad < files->count ? files->writes[bad].path : Str8{};
  Str8 reason = bad < files->count ? file_last_error_text(arena) : Str8{};
  if (has_metadata) {
    PendingWrite *m = &files->writes[outputs];
    Str8 metadata_path = m->path;
    if (bad == files->count && files->copy_index < outputs &&
        !str8_equals(files->writes[files->copy_index].path, files->copy_planned, 0)) {
      Str8 text = metadata_with_copy_name(arena, files->metadata_text, files->copy_planned,
                                          files->writes[files->copy_index].path);
      Arena *keep = m->arena;
      file_write_cancel(m);
      if (!file_write_begin(keep, metadata_path, text, WriteAllMakeParents, m)) {
        bad = outputs;
        reason = file_last_error_text(arena);
      }
    }
    if (bad == files->count) {
      file_write_commit(m, 1, &ok[outputs]);
      if (!ok[outputs]) {
        bad = outputs;
        reason = file_last_error_text(arena);
      }
    } else {
      file_write_cancel(m);
    }
    if (bad == outputs) bad_path = metadata_path;
  }
  if (bad == files->count) return true;
  if (!quiet) warn(arena, arena_format(arena, "Unable to write %S: %S.", str8_escape_line(arena, bad_path), reason));
  *failed = bad_path;
  return false;
}

// The worker lets the source go: its claim in the shared folder first, then its entry. A claim
// the commit has just found to be this instance's is not read again. A source that left the
// input folder in the version `gone` leaves its claim behind as that version's tombstone.
static void release_source(ConvertShared *shared, ClaimEntry *entry, Str8 path, bool remove, FileProps now,
                           bool checked = false, const FileProps *gone = nullptr) {
  Str8 key = entry->shared_serial != 0 ? source_below_input(shared->in_folder, path) : Str8{};
  if (entry->shared_serial != 0 && gone) shared_claim_done(key, entry->shared_serial, *gone);
  if (entry->shared_serial != 0 && !gone) shared_claim_drop(key, entry->shared_serial, checked);
  entry->shared_serial = 0;
  claim_release(shared->claims, entry, remove, now);
}

// A version left in place is settled: not tried again until it changes, and its bytes are let
// go. A failed write is tried again after a pause that grows with each failure (the disk may
// have room by then); its entry stays, remembering that this version's failure was reported,
// so that the retries are silent, and where it failed, so that a retry first asks whether that
// folder can take the file. Otherwise, once the intake holds the settled version, the claim
// entry goes too: the intake answers for that version from then on, and a path left in place
// costs its registry node only. The entry keeps the settled version itself only where the
// intake could not take it (a read was under way).
static void settle_left_in_place(ConvertShared *shared, ClaimEntry *entry, Str8 path, SourceVersions *v, AttemptOutcome outcome,
                                 bool intake_knows, Str8 failed_path, u64 failed_bytes) {
  v->now = file_props_from_path(path);
  bool unchanged = same_version(v->now, v->seen);
  bool remembers_failure = unchanged && same_version(entry->warned, v->seen);
  bool held_by_intake = unchanged && intake_knows && !remembers_failure;
  if (unchanged && tally_reason_of(outcome) != TallyNone) tally_left(path, tally_reason_of(outcome));
  if (unchanged && !intake_knows) {
    switch (outcome) {
    case AttemptRefused:
    case AttemptUnusable:
    case AttemptNotDecodable:
    case AttemptUnreadable:
    case AttemptSettledBefore:
    case AttemptDeleteFailed:
    case AttemptMoveFailed:
      entry->settled = v->seen;
      held_by_intake = intake_settle(path, v->seen, 0);
      break;
    case AttemptWriteFailed: {
      u64 pause = remembers_failure ? min_of(entry->retry_pause_us * 2, WriteRetryLongestUs) : 0;
      pause = max_of(pause, WriteRetryFirstUs);
      entry->warned = v->seen;
      if (failed_path.size > 0) claim_note_failure(shared->claims, entry, str8_parent_folder(failed_path), failed_bytes);
      // Only a pause the intake keeps counts: otherwise the path is offered again at once.
      if (intake_settle(path, v->seen, pause)) entry->retry_pause_us = pause;
    } break;
    case AttemptHeldElsewhere: held_by_intake = intake_settle(path, v->seen, ElsewhereRecheckUs); break;
    default: break;
    }
  }
  release_source(shared, entry, path, held_by_intake, v->now);
}

//- settle: the source joins its worker's batch to be deleted, or is left in place
static void phase_settle(Attempt *a) {
  if (a->outcome == AttemptUnreadable) {
    warn(a->arena, arena_format(a->arena, "Unable to open %S, it was left in place.", str8_escape_line(a->arena, a->file_name)));
  }
  bool tried = !a->held_back;
  if (tried && (a->outcome == AttemptConverted || a->outcome == AttemptWriteFailed || a->outcome == AttemptUnsupported)) {
    if (!attempt_stage_metadata(a)) a->outcome = AttemptWriteFailed;
  }
  if (a->outcome == AttemptConverted || a->outcome == AttemptUnsupported) {
    worker_batch_add(a->memory, a->entry, a->path, a->versions, a->files, a->outcome == AttemptConverted);
    return;
  }
  // What could be written of a failed attempt is put in place now, its notes included.
  if (tried && a->outcome == AttemptWriteFailed) {
    Str8 failed = {};
    if (!commit_source_writes(a->arena, &a->files, a->quiet, &failed)) attempt_note_failure(a, failed, 0);
    Str8 folders[] = {a->shared->out_folder, a->shared->metadatas_folder};
    folder_sync_many(folders, 2);
    if (a->memory->batch->count == 0) a->memory->batch = batch_reset(a->memory->batch);
  }
  settle_left_in_place(a->shared, a->entry, a->path, &a->versions, a->outcome, a->intake_settled, a->failed_path,
                       a->failed_bytes);
}

AttemptOutcome convert_attempt(ConvertShared *shared, ClaimEntry *entry, Str8 path, FileProps seen, ContentLease *lease,
                               Arena *arena, WorkerMemory *memory) {
  Attempt a = {};
  a.shared = shared;
  a.entry = entry;
  a.path = path;
  a.file_name = str8_file_name(path);
  a.arena = arena;
  a.memory = memory;
  a.lease = lease;
  a.versions.seen = seen;
  a.versions.recorded = entry->recorded;
  a.versions.settled = entry->settled;
  a.quiet = same_version(entry->warned, seen);
  a.files.copy_index = SourceWritesNone;

  using Phase = bool (*)(Attempt *);
  static const Phase phases[] = {phase_bytes,  phase_claim,  phase_probe, phase_plan,
                                 phase_decode, phase_pixels, phase_encode, phase_write};
  for (Phase phase : phases) {
    if (!phase(&a)) break;
  }
  // the attempt's pixels and outputs go; the worker's memory stays for the next one
  if (a.planned) plan_release_layouts(&a.plan);
  arena_reset(memory->file_arena);
  phase_settle(&a);
  return a.outcome;
}

//~ The worker's batch
// The sources a worker converted wait here, still claimed, with the temporaries of their
// outputs and metadata. One commit syncs and puts every temporary in place, syncs the output
// and metadata folders once (and the metadata's sub-folders), then deletes each source whose
// files are all in place, only while the file on disk is still the version that was judged,
// and was already when it was recorded (first met, or last released). An unsupported file is
// moved aside instead, under the same check. Nothing is lost: a source goes only once what it
// produced is durable. A source that cannot be deleted or moved is reported and settled, so
// that it is not converted again until it changes. A batch lives at the start of its own arena.
static SourceBatch *batch_create() {
  Arena *arena = arena_create(mib(8), kib(256));
  SourceBatch *batch = arena_push<SourceBatch>(arena);
  batch->arena = arena;
  return batch;
}

static SourceBatch *batch_reset(SourceBatch *batch) {
  Arena *arena = batch->arena;
  arena_reset(arena);
  batch = arena_push<SourceBatch>(arena);
  batch->arena = arena;
  return batch;
}

void worker_batch_add(WorkerMemory *memory, ClaimEntry *entry, Str8 path, SourceVersions versions, SourceWrites files,
                      bool converted) {
  SourceBatch *batch = memory->batch;
  if (batch->count == 0) batch->first_us = clock_now_us();
  BatchedSource *d = arena_push<BatchedSource>(batch->arena);
  d->entry = entry;
  d->path = str8_copy(batch->arena, path);
  d->versions = versions;
  d->files = files;
  d->converted = converted;
  sll_queue_push(batch->first, batch->last, d);
  batch->count += 1;
  batch->open_files += files.count;
}

// An unsupported file keeps its bytes: it goes to "<out>/unsupported/<its path below the input
// folder>", under a numbered name when that one is taken. False, reported, when it could not.
static bool move_aside(Arena *arena, ConvertShared *shared, Str8 path) {
  Str8 root = shared->unsupported_folder;
  Str8 to = arena_format(arena, "%S/%S", root, source_below_input(shared->in_folder, path));
  Str8 reason = {};
  if (str8_starts_with(path, arena_format(arena, "%S/", root), 0)) {
    reason = str8_lit("the input folder lies inside that folder");
  } else {
    // the folders it goes into reach the disk before the file leaves the input
    Str8List folders = {};
    if (folder_make_parents(to)) {
      folders_below(arena, shared->out_folder, str8_parent_folder(to), &folders);
      str8_list_add(arena, &folders, shared->out_folder);
      folders_sync(arena, &folders);
    }
    if (file_move_to_free_name(arena, path, to).size > 0) return true;
    reason = file_last_error_text(arena);
  }
  warn(arena, arena_format(arena, "Unable to move %S to %S: %S, it was left in place.", str8_escape_line(arena, path),
                           str8_escape_line(arena, to), reason));
  return false;
}

static void batch_commit(SourceBatch *batch) {
  ConvertShared *shared = convert_shared();
  Scratch scratch = scratch_begin(batch->arena);
  // every temporary of the batch is durable before the first one is moved: their syncs wait
  // for the disk together
  u64 temporaries = 0;
  for (BatchedSource *d = batch->first; d; d = d->next) temporaries += d->files.count;
  PendingWrite **each = arena_push<PendingWrite *>(scratch.arena, max_of(temporaries, (u64)1));
  u64 listed = 0;
  for (BatchedSource *d = batch->first; d; d = d->next) {
    for (u64 i = 0; i < d->files.count; i += 1) each[listed++] = &d->files.writes[i];
  }
  file_write_sync(each, listed);
  bool any_output = false;
  for (BatchedSource *d = batch->first; d; d = d->next) {
    // A source whose claim another instance took over (this one was silent too long) is that
    // instance's now: nothing of this attempt is put in place.
    u64 serial = d->entry->shared_serial;
    if (serial != 0 && !shared_claim_is_ours(source_below_input(shared->in_folder, d->path), serial)) {
      for (u64 i = 0; i < d->files.count; i += 1) file_write_cancel(&d->files.writes[i]);
      d->entry->shared_serial = 0;
      d->lost = true;
      continue;
    }
    bool quiet = same_version(d->entry->warned, d->versions.seen);
    d->in_place = commit_source_writes(scratch.arena, &d->files, quiet, &d->failed_path);
    any_output |= d->converted;
  }
  // then the folders that took them, all at once, before any source goes
  Str8List folders = {};
  if (any_output) str8_list_add(scratch.arena, &folders, shared->out_folder);
  str8_list_add(scratch.arena, &folders, shared->metadatas_folder);
  for (BatchedSource *d = batch->first; d; d = d->next) {
    if (!d->in_place || d->files.metadata_text.size == 0) continue;
    Str8 metadata = d->files.writes[d->files.count - 1].path;
    folders_below(scratch.arena, shared->metadatas_folder, str8_parent_folder(metadata), &folders);
  }
  folders_sync(scratch.arena, &folders);
  for (BatchedSource *d = batch->first; d; d = d->next) {
    SourceVersions *v = &d->versions;
    if (d->lost) {
      claim_release(shared->claims, d->entry, false, file_props_from_path(d->path));
      continue;
    }
    if (!d->in_place) {
      settle_left_in_place(shared, d->entry, d->path, v, AttemptWriteFailed, false, d->failed_path, 0);
      continue;
    }
    v->now = file_props_from_path(d->path);
    bool judged = same_version(v->now, v->seen) && (!d->converted || same_version(v->now, v->recorded));
    if (!judged) {
      release_source(shared, d->entry, d->path, false, v->now, true);
      continue;
    }
    bool gone = false;
    if (d->converted) {
      // one that is gone already has left the input folder all the same
      gone = file_delete(d->path) || file_last_error_missing();
      if (!gone) {
        Str8 reason = file_last_error_text(scratch.arena);
        warn(scratch.arena,
             arena_format(scratch.arena, "Unable to delete %S: %S, it was left in place.",
                          str8_escape_line(scratch.arena, d->path), reason));
      }
    } else {
      gone = move_aside(scratch.arena, shared, d->path);
    }
    if (gone) {
      intake_release_reads(d->path);
      tally_gone(d->path, d->converted);
      release_source(shared, d->entry, d->path, true, v->now, true, &v->seen);
    } else {
      settle_left_in_place(shared, d->entry, d->path, v, d->converted ? AttemptDeleteFailed : AttemptMoveFailed, false, Str8{},
                           0);
    }
  }
  scratch_restore(scratch);
}

bool worker_batch_due(WorkerMemory *memory, bool queue_empty) {
  SourceBatch *batch = memory->batch;
  bool full = batch->count >= SourceBatchLargest || batch->open_files >= SourceBatchFiles;
  return batch->count > 0 && (queue_empty || full || clock_now_us() - batch->first_us >= SourceBatchWaitUs);
}

//~ The committer
// One thread commits the workers' batches, so that no worker waits for the disk while there is
// converting to do: a worker hands its batch over and goes on with a spare one, which the
// committer made from a batch it was done with. At most CommitterQueued batches wait; a worker
// with one more waits for room.
static constexpr u64 CommitterQueued = 4;

struct Committer {
  OsObject *lock; // critical section over the lists below
  OsObject *cv;   // woken when a batch is handed over and when one is done
  SourceBatch *first;
  SourceBatch *last;
  u64 queued;
  SourceBatch *spare;
  OsObject *thread;
};

static void committer_thread(u64 arg) {
  Committer *c = (Committer *)(uintptr_t)arg;
  thread_set_name("[VANTOR] Commit");
  for (;;) {
    cs_enter(c->lock);
    while (!c->first) cv_wait_cs(c->cv, c->lock, DeadlineNone);
    SourceBatch *batch = sll_stack_pop(c->first);
    if (!c->first) c->last = nullptr;
    cs_leave(c->lock);

    batch_commit(batch);
    batch = batch_reset(batch);

    cs_enter(c->lock);
    sll_stack_push(c->spare, batch);
    c->queued -= 1;
    cs_leave(c->lock);
    cv_wake_all(c->cv);
  }
}

static Committer *committer() {
  static Committer *c = [] {
    Arena *arena = arena_create(kib(64), kib(64));
    Committer *made = arena_push<Committer>(arena);
    made->lock = cs_create();
    made->cv = cv_create();
    made->thread = thread_create(committer_thread, (u64)(uintptr_t)made);
    return made;
  }();
  return c;
}

void worker_hand_over(WorkerMemory *memory) {
  Committer *c = committer();
  SourceBatch *batch = memory->batch;
  cs_enter(c->lock);
  while (c->queued >= CommitterQueued) cv_wait_cs(c->cv, c->lock, DeadlineNone);
  sll_queue_push(c->first, c->last, batch);
  c->queued += 1;
  SourceBatch *spare = sll_stack_pop(c->spare);
  cs_leave(c->lock);
  cv_wake_all(c->cv);
  memory->batch = spare ? spare : batch_create();
  memory->batch->next = nullptr;
}

//~ Worker
void worker_memory_init(WorkerMemory *memory) {
  // Small and medium files fit in the first blocks, which stay committed from one file to the
  // next; a large file's buffers get blocks of their own, which go back when it is done.
  memory->file_arena = arena_create(mib(16), kib(256));
  memory->layout_arena = arena_create(mib(4), kib(256));
  memory->batch = batch_create();
}

//~ What the workers share
static std::atomic<ConvertShared *> convert_shared_pointer{nullptr};

void convert_share(ConvertShared *shared) { convert_shared_pointer.store(shared, std::memory_order_release); }
ConvertShared *convert_shared() { return convert_shared_pointer.load(std::memory_order_acquire); }

void conversion_worker(u64 index) {
  thread_set_name("[VANTOR] Convert #%I64u", index);
  ConvertShared *shared = convert_shared();
  WorkerMemory memory = {};
  worker_memory_init(&memory);
  for (;;) {
    // The scan keeps offering a source that waits in the batch, so the queue is never empty
    // for long while one does.
    if (worker_batch_due(&memory, string_ring_is_empty(shared->queue))) worker_hand_over(&memory);
    Scratch scratch = scratch_begin(nullptr);
    ContentLease *lease = content_lease_begin();
    Str8 path = string_ring_pop(shared->queue, scratch.arena);
    atomic_add_u64(shared->workers_busy, 1);
    FileProps seen = file_props_from_path(path);
    // Duplicates of a path stay queued after its file was converted and deleted, and while
    // another worker holds it: those cost a look, not a pause.
    bool waiting_for_bytes = false;
    if (props_is_file(seen)) {
      ClaimEntry *entry = claim_acquire(shared->claims, path, seen);
      if (entry) {
        waiting_for_bytes = convert_attempt(shared, entry, path, seen, lease, scratch.arena, &memory) == AttemptWaiting;
      }
    }
    content_lease_end(lease);
    scratch_restore(scratch);
    atomic_add_u64(shared->workers_busy, (u64)-1);
    // The intake has not read this version yet: give the streamers a moment before the next
    // path, which is often a duplicate of this one.
    if (waiting_for_bytes) sleep_ms(100);
  }
}
