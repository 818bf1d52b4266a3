// The conversion worker: one source path per cycle, claimed so that no other worker holds it,
// converted from the intake's complete read, written durably, then deleted or released.
#include "convert/convert_worker.h"

#include <cstdio>

#include "intake/intake.h"

//~ One attempt

static bool source_unchanged(Str8 path, FileProps t0) { return file_props_same_version(file_props_from_path(path), t0); }

static bool props_exist(FileProps p) { return (p.flags & FilePropsExists) != 0 && (p.flags & FilePropsFolder) == 0; }

bool convert_attempt(AppState *app, ClaimEntry *entry, Str8 path, FileProps t0, ContentLease *lease, Arena *arena,
                     Arena *layout_arena) {
  // A version refused as too large stays refused until the file changes.
  if (props_exist(entry->refused) && file_props_same_version(entry->refused, t0)) {
    claim_release(&app->claims, entry, false, file_props_from_path(path), &t0);
    return true;
  }

  MessageList file_messages = {};
  Str8List metadata = {};
  Str8 metadata_path = {};
  bool ok = true;
  bool done = false;
  bool planned = false;
  bool write_failed = false;

  // the bytes of the latest complete read; none yet means a later cycle tries again
  FileProps read_props = {};
  U128 digest = intake_request_version(path, 400, &read_props);
  Str8 bytes = content_lease_get(lease, digest);
  ok = bytes.size != 0;
  // Bytes of an older version than the one seen at the start would be converted and then the
  // newer file deleted: wait for the intake to read the current version. Once it has read
  // this very version (complete, empty or not), this attempt decides what happens to it until
  // the file changes.
  bool informed = (read_props.flags & FilePropsExists) && file_props_same_version(read_props, t0);
  if (ok && !informed) ok = false;

  ConvertPlan plan;
  if (ok) {
    // names
    Str8 file_name = str8_file_name(path);
    Str8 stem = str8_drop_extension(file_name);
    metadata_path = arena_format(arena, "%S/%S.metadatas", app->metadatas_folder, stem);
    if (!entry->arena) entry->arena = arena_create(mib(32), mib(8));
    plan_begin(&plan, arena, entry->arena, layout_arena, app->out_folder, bytes);

    // the file type, from the signature
    if (plan_source_record(&plan)->file_type == FileTypeNone) {
      message_add(arena, &file_messages, 3,
                  arena_format(arena, "Unsupported file format, %S was skipped", file_name));
      ok = false;
    } else {
      planned = true;
    }

    // probe, and refuse a picture larger than the limit before anything is decoded
    if (ok) {
      CodecProbe probe;
      ok = codec_probe(bytes, &probe);
      if (probe.width * probe.height > app->max_pixels) {
        MessageList refusal = {};
        message_add(arena, &refusal, 2,
                    arena_format(arena, "Image is too large (%I64u x %I64u pixels, the limit is %I64u), %S was left in place.",
                                 probe.width, probe.height, app->max_pixels, file_name));
        message_report(arena, &refusal, nullptr, 1);
        fflush(stdout);
        entry->refused = t0;
        ok = false;
      }
      // A picture cut short ends the attempt like a failed probe: retried when it changes.
      if (ok) ok = codec_complete(bytes);
      if (ok) plan_set_source(&plan, probe);
    }

    // plan the outputs and decode what they need
    if (ok) {
      plan_targets(&plan, &app->targets);
      plan_geometry(&plan);
      plan_decode(&plan);
      ok = plan.ok;
    }
    // unchanged so far?
    if (ok) ok = source_unchanged(path, t0);
    // resample, statistics, backgrounds
    if (ok) {
      plan_resample(&plan);
      plan_stats_and_background(&plan);
    }
    // unchanged so far?
    if (ok) ok = source_unchanged(path, t0);
    // checksums and encoding
    if (ok) plan_checksums_and_encode(&plan);
    // unchanged so far?
    if (ok) ok = source_unchanged(path, t0);

    // name and write every record
    if (ok) {
      for (OutputRecord *r = plan.first_record; r; r = r->next) {
        Str8 extension = r->file_type == FileTypeJpeg ? str8_lit("jpg") : str8_lit("png");
        r->file_path = arena_format(arena, "%S.%S", r->file_path, extension);
        if (r->bytes.size == 0) continue;
        if (file_write_all(r->file_path, r->bytes, WriteAllWrite | WriteAllMakeParents | WriteAllDeleteFirst)) {
          r->file_info = file_props_from_path(r->file_path);
        } else {
          write_failed = true;
          message_add(arena, &file_messages, 2, arena_format(arena, "Unable to write %S.", r->file_path));
        }
      }
    }
    // the records' text, each followed by its notes
    if (ok) {
      for (OutputRecord *r = plan.first_record; r; r = r->next) {
        write_metadata_record(arena, &metadata, r);
        message_report(arena, &r->messages, &metadata, 1);
      }
    }
    // deleted only when the file kept the version recorded when it was first met or
    // last released, and everything it produced was written.
    if (ok) done = !write_failed && source_unchanged(path, entry->recorded);
  }

  // the attempt's pixels and outputs go
  if (planned && entry->arena) {
    plan_release_layouts(&plan);
    arena_reset(entry->arena);
  }
  // the file's own notes
  message_report(arena, &file_messages, &metadata, 1);
  // the metadata file
  bool metadata_written = false;
  if (metadata.node_count > 0) {
    Str8 text = str8_list_join(arena, &metadata, nullptr);
    metadata_written = file_write_all(metadata_path, text, WriteAllWrite | WriteAllMakeParents | WriteAllDeleteFirst);
    if (!metadata_written) {
      MessageList failure = {};
      message_add(arena, &failure, 2, arena_format(arena, "Unable to write %S.", metadata_path));
      message_report(arena, &failure, nullptr, 1);
    }
  }
  fflush(stdout);
  // delete, or release for a later attempt
  FileProps t_now = file_props_from_path(path);
  // Nothing is lost: the source goes only once what it produced is durable, and only while
  // the file on disk is still the version that was judged.
  bool remove = metadata_written && (done || file_messages.worst > 2) && file_props_same_version(t_now, t0);
  if (remove) {
    if (done) folder_sync(app->out_folder);
    folder_sync(app->metadatas_folder);
    file_delete(path);
  }
  claim_release(&app->claims, entry, remove, t_now, informed ? &t0 : nullptr);
  return informed;
}

//~ Worker
void conversion_worker(u64 index) {
  thread_set_name("[VANTOR] Convert #%I64u", index);
  AppState *app = app_state();
  // Source-size layouts of this worker's attempts; large ones get blocks of their own, which
  // go back to the system when the attempt releases them.
  Arena *layout_arena = arena_create(mib(2), kib(64));
  for (;;) {
    Scratch scratch = scratch_begin(nullptr);
    ContentLease *lease = content_lease_begin();
    Str8 path = ring_pop(&app->conversion_queue, scratch.arena);
    atomic_add_u64(&app->workers_busy, 1);
    FileProps t0 = file_props_from_path(path);
    // Duplicates of a path stay queued after its file was converted and deleted, and while
    // another worker holds it: those cost a look, not a pause.
    bool waiting_for_bytes = false;
    if (props_exist(t0)) {
      ClaimEntry *entry = claim_acquire(&app->claims, path, t0);
      if (entry) waiting_for_bytes = !convert_attempt(app, entry, path, t0, lease, scratch.arena, layout_arena);
    }
    content_lease_end(lease);
    scratch_end(scratch);
    atomic_add_u64(&app->workers_busy, (u64)-1);
    // The intake has not read this version yet: give the streamers a moment before the next
    // path, which is often a duplicate of this one.
    if (waiting_for_bytes) sleep_ms(100);
  }
}
