// The commit of a worker's batch: every temporary put in place and made durable, the folders
// that took them synced, and only then each source deleted or moved aside; on the committer
// thread, so that no worker waits for the disk.
#include "convert/convert_internal.h"

//~ Folder syncs
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

//~ One source's files
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

bool commit_source_writes(Arena *arena, SourceWrites *files, bool quiet, Str8 *failed, Str8 source, Str8 *warning) {
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
  if (!quiet) {
    *warning = arena_format(arena, "Unable to write %S: %S.", str8_escape_line(arena, bad_path), reason);
    warn(arena, *warning, source);
  }
  *failed = bad_path;
  return false;
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

// Atomic: sources added to a worker's batch whose commit is not done yet, for a stop to wait on.
static u64 g_sources_uncommitted;

SourceBatch *batch_create() {
  Arena *arena = arena_create(mib(8), kib(256));
  SourceBatch *batch = arena_push<SourceBatch>(arena);
  batch->arena = arena;
  return batch;
}

SourceBatch *batch_reset(SourceBatch *batch) {
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
  d->taken_us = memory->taken_us;
  d->converted = converted;
  sll_queue_push(batch->first, batch->last, d);
  batch->count += 1;
  batch->open_files += files.count;
  atomic_add_u64(&g_sources_uncommitted, 1);
}

u64 sources_uncommitted() { return atomic_load_u64(&g_sources_uncommitted); }

// An unsupported file keeps its bytes: it goes to "<out>/unsupported/<its path below the input
// folder>", under a numbered name when that one is taken. False, reported (the warning's text
// in *warning), when it could not.
static bool move_aside(Arena *arena, ConvertShared *shared, Str8 path, Str8 *warning) {
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
  *warning = arena_format(arena, "Unable to move %S to %S: %S, it was left in place.", str8_escape_line(arena, path),
                          str8_escape_line(arena, to), reason);
  warn(arena, *warning, source_below_input(shared->in_folder, path));
  return false;
}

// Whoever listens hears of a source that left the input: converted, with its files as they
// were put in place (the copy under the name it landed under), or set aside.
static void publish_gone(ConvertShared *shared, BatchedSource *d) {
  SourceWrites *files = &d->files;
  if (files->copy_index != SourceWritesNone) {
    Str8 placed = files->writes[files->copy_index].path;
    for (u32 i = 0; i < files->output_count; i += 1) {
      if (str8_equals(files->outputs[i].path, files->copy_planned, 0)) files->outputs[i].path = placed;
    }
  }
  ActivityEvent event = {};
  event.kind = d->converted ? ActivityConverted : ActivitySetAside;
  event.source = source_below_input(shared->in_folder, d->path);
  event.source_bytes = files->source_bytes;
  event.seconds_us = d->taken_us ? clock_now_us() - d->taken_us : 0;
  if (d->converted) {
    event.outputs = files->outputs;
    event.output_count = files->output_count;
  }
  activity_publish(&event);
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
    d->in_place = commit_source_writes(scratch.arena, &d->files, quiet, &d->failed_path,
                                       source_below_input(shared->in_folder, d->path), &d->warning);
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
      settle_left_in_place(shared, d->entry, d->path, v, AttemptWriteFailed, false, d->failed_path, 0, d->warning, d->taken_us);
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
        d->warning = arena_format(scratch.arena, "Unable to delete %S: %S, it was left in place.",
                                  str8_escape_line(scratch.arena, d->path), reason);
        warn(scratch.arena, d->warning, source_below_input(shared->in_folder, d->path));
      }
    } else {
      gone = move_aside(scratch.arena, shared, d->path, &d->warning);
    }
    if (gone) {
      intake_release_reads(d->path);
      tally_gone(d->path, d->converted);
      if (activity_wanted()) publish_gone(shared, d);
      release_source(shared, d->entry, d->path, true, v->now, true, &v->seen);
    } else {
      settle_left_in_place(shared, d->entry, d->path, v, d->converted ? AttemptDeleteFailed : AttemptMoveFailed, false, Str8{},
                           0, d->warning, d->taken_us);
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
    atomic_add_u64(&g_sources_uncommitted, (u64)0 - batch->count);
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
