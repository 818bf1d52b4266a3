// One attempt at a claimed source, in phases (bytes, claim, probe, plan, decode, pixels, encode,
// write, settle): converted into temporaries that join the worker's batch, or left in place
// with its reason said and settled.
#include "convert/convert_internal.h"

// A version whose outputs or metadata could not be written (a full disk, a read-only folder)
// is tried again after a pause that doubles with each failure, from ten seconds to ten
// minutes, and then only once the folder that failed can take the file.
static constexpr u64 WriteRetryFirstUs = 10000000;
static constexpr u64 WriteRetryLongestUs = 600000000;
// A file that is not a picture is moved aside only once it has stayed the same this long: a
// picture's writer that has not written the whole signature yet looks like anything else.
static constexpr u64 UnsupportedQuietUs = 2000000;

//~ One attempt
struct Attempt {
  ConvertShared *shared;
  ClaimEntry *entry;
  Str8 path;
  Str8 file_name;
  Str8 source; // the path below the input folder, a view into path: what warnings and listeners name
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
  Str8 warned;         // the warning printed about the source, for whoever listens
};

// A warning about the source; the first one is what a listener hears of a version left in place.
static void attempt_warn(Attempt *a, Str8 text) {
  warn(a->arena, text, a->source);
  if (a->warned.size == 0) a->warned = text;
}

// A source's messages on the console; each warning or error printed is told to whoever listens.
static void attempt_report(Attempt *a, MessageList *list, Str8List *out, bool print) {
  message_report_named(a->arena, list, out, print, a->file_name, a->source);
  if (!print || !activity_wanted()) return;
  for (Message *m = list->first; m; m = m->next) {
    if (m->level < MessageWarning) continue;
    ActivityEvent event = {};
    event.kind = ActivityWarning;
    event.source = a->source;
    event.message = m->text;
    activity_publish(&event);
    if (a->warned.size == 0) a->warned = m->text;
  }
}


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

  // A source another live instance works on is its: not read or hashed here at all.
  if (shared_claim_held(a->source, v->seen)) return attempt_end(a, AttemptHeldElsewhere);

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
  attempt_warn(a, text);
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
    attempt_warn(a, arena_format(a->arena, "Image is too large (%I64u x %I64u pixels, the limit is %I64u), %S was left in place.",
                                probe.width, probe.height, a->shared->max_pixels, str8_escape_line(a->arena, a->file_name)));
    return attempt_end(a, AttemptRefused);
  }
  u64 scans = format->scan_count ? format->scan_count(a->bytes) : 1;
  if (format->scan_limit && scans > format->scan_limit) {
    attempt_warn(a, arena_format(a->arena, "Image has too many scans (%I64u, the limit is %I64u), %S was left in place.",
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
    attempt_warn(a, arena_format(a->arena, "Image data is larger than its size needs (%I64u x %I64u pixels), %S was left in place.",
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

// What whoever listens is told of the files once they are in place: what the records know
// already, kept with the temporaries until the commit.
static void attempt_list_outputs(Attempt *a, Arena *keep) {
  SourceWrites *files = &a->files;
  files->source_bytes = a->bytes.size;
  files->outputs = arena_push<ActivityOutput>(keep, a->plan.record_count);
  for (OutputRecord *r = a->plan.first_record; r && files->output_count < a->plan.record_count; r = r->next) {
    ActivityOutput *o = &files->outputs[files->output_count++];
    o->path = str8_copy(keep, r->file_path);
    o->file_type = r->file_type;
    o->width = r->image ? (u32)r->image->width : 0;
    o->height = r->image ? (u32)r->image->height : 0;
    o->bytes = r->file_info.size;
  }
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
  if (activity_wanted()) attempt_list_outputs(a, keep);
  for (OutputRecord *r = a->plan.first_record; r; r = r->next) {
    format_metadata_record(a->arena, &a->metadata, r);
    attempt_report(a, &r->messages, &a->metadata, !a->quiet);
  }
  a->outcome = write_failed ? AttemptWriteFailed : AttemptConverted;
  return true;
}

// The metadata file (the records and the file's own notes) joins the outputs' temporaries,
// under the record name this source holds. False when its temporary could not be written.
static bool attempt_stage_metadata(Attempt *a) {
  message_report(a->arena, &a->file_messages, &a->metadata, 0);
  attempt_report(a, &a->console_notes, nullptr, !a->quiet);
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
    attempt_warn(a, arena_format(a->arena, "Unable to write %S: %S.", str8_escape_line(a->arena, a->metadata_path), reason));
  }
  return false;
}

//- settle: the source joins its worker's batch to be deleted, or is left in place
void release_source(ConvertShared *shared, ClaimEntry *entry, Str8 path, bool remove, FileProps now, bool checked,
                    const FileProps *gone) {
  Str8 key = entry->shared_serial != 0 ? source_below_input(shared->in_folder, path) : Str8{};
  if (entry->shared_serial != 0 && gone) shared_claim_done(key, entry->shared_serial, *gone);
  if (entry->shared_serial != 0 && !gone) shared_claim_drop(key, entry->shared_serial, checked);
  entry->shared_serial = 0;
  claim_release(shared->claims, entry, remove, now);
}

// What the tally counts a version left in place under.
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

void settle_left_in_place(ConvertShared *shared, ClaimEntry *entry, Str8 path, SourceVersions *v, AttemptOutcome outcome,
                          bool intake_knows, Str8 failed_path, u64 failed_bytes, Str8 message, u64 taken_us) {
  v->now = file_props_from_path(path);
  bool unchanged = same_version(v->now, v->seen);
  bool remembers_failure = unchanged && same_version(entry->warned, v->seen);
  bool held_by_intake = unchanged && intake_knows && !remembers_failure;
  u32 reason = tally_reason_of(outcome);
  if (unchanged && reason != TallyNone) tally_left(path, reason);
  // A version still being written (cut short, nothing said about it) waits for the next one: it
  // is no outcome, and the end of a drain names those still cut short then.
  bool waits = reason == TallyCutShortOrEmpty && message.size == 0;
  bool repeated = outcome == AttemptWriteFailed && remembers_failure;
  if (unchanged && reason != TallyNone && !waits && !repeated && activity_wanted()) {
    ActivityEvent event = {};
    event.kind = ActivityLeftInPlace;
    event.reason = reason;
    event.source = source_below_input(shared->in_folder, path);
    event.source_bytes = v->seen.size;
    event.seconds_us = taken_us ? clock_now_us() - taken_us : 0;
    event.message = message;
    activity_publish(&event);
  }
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
    case AttemptHeldElsewhere: held_by_intake = intake_hold(path, v->seen, ElsewhereRecheckUs); break;
    default: break;
    }
  }
  release_source(shared, entry, path, held_by_intake, v->now);
}

static void phase_settle(Attempt *a) {
  if (a->outcome == AttemptUnreadable) {
    attempt_warn(a, arena_format(a->arena, "Unable to open %S, it was left in place.", str8_escape_line(a->arena, a->file_name)));
  }
  bool tried = !a->held_back;
  if (tried && (a->outcome == AttemptConverted || a->outcome == AttemptWriteFailed || a->outcome == AttemptUnsupported)) {
    if (!attempt_stage_metadata(a)) a->outcome = AttemptWriteFailed;
  }
  if (a->outcome == AttemptConverted || a->outcome == AttemptUnsupported) {
    a->files.source_bytes = a->bytes.size;
    worker_batch_add(a->memory, a->entry, a->path, a->versions, a->files, a->outcome == AttemptConverted);
    return;
  }
  // What could be written of a failed attempt is put in place now, its notes included.
  if (tried && a->outcome == AttemptWriteFailed) {
    Str8 failed = {};
    Str8 warning = {};
    if (!commit_source_writes(a->arena, &a->files, a->quiet, &failed, a->source, &warning)) attempt_note_failure(a, failed, 0);
    if (a->warned.size == 0) a->warned = warning;
    Str8 folders[] = {a->shared->out_folder, a->shared->metadatas_folder};
    folder_sync_many(folders, 2);
    if (a->memory->batch->count == 0) a->memory->batch = batch_reset(a->memory->batch);
  }
  settle_left_in_place(a->shared, a->entry, a->path, &a->versions, a->outcome, a->intake_settled, a->failed_path,
                       a->failed_bytes, a->warned, a->memory->taken_us);
}

AttemptOutcome convert_attempt(ConvertShared *shared, ClaimEntry *entry, Str8 path, FileProps seen, ContentLease *lease,
                               Arena *arena, WorkerMemory *memory) {
  Attempt a = {};
  a.shared = shared;
  a.entry = entry;
  a.path = path;
  a.file_name = str8_file_name(path);
  a.source = source_below_input(shared->in_folder, path);
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
