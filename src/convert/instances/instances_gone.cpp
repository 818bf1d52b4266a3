#include "convert/instances/instances_internal.h"

//~ The folders swept
// Set by instances_sweep_start and read by the burials, both on the main thread.
static InstanceFolders g_swept;

struct SweepFolder {
  SweepFolder *next;
  Str8 path;
};

static bool sweep_is_skipped(Str8 folder, const Str8 *skip, u64 skip_count) {
  for (u64 i = 0; i < skip_count; i += 1) {
    if (skip[i].size > 0 && str8_equals(folder, skip[i], 0)) return true;
  }
  return false;
}

// A normalised root folder ends in its separator ("/"); anything below it must not get a
// second one, or the skip comparison would miss it.
static Str8 sweep_child_path(Arena *arena, Str8 folder, Str8 name) {
  if (str8_ends_with(folder, str8_lit("/"), 0)) return arena_format(arena, "%S%S", folder, name);
  return arena_format(arena, "%S/%S", folder, name);
}

// Every folder of the tree under `root`, breadth first, without entering a folder equal to one
// of `skip` (the root included): the other working folders may lie inside this one, and their
// files are none of its temporaries. Each folder is swept once its listing is done.
static u64 sweep_tree(Str8 root, Str8 skip_first, Str8 skip_second, TempWriterGone *gone, void *context) {
  Str8 skip[2] = {skip_first, skip_second};
  if (root.size == 0 || sweep_is_skipped(root, skip, 2)) return 0;
  Scratch scratch = scratch_begin(nullptr);
  u64 removed = 0;
  SweepFolder first = {nullptr, root};
  SweepFolder *last = &first;
  for (SweepFolder *folder = &first; folder; folder = folder->next) {
    // the listing lasts only as long as the folder's turn; the paths queued stay
    Scratch listing = scratch_begin(scratch.arena);
    DirIter *iter = dir_iter_open(listing.arena, folder->path, DirSkipFiles | DirTypesOnly);
    DirEntry entry = {};
    while (iter && dir_iter_next(listing.arena, iter, &entry)) {
      if (!(entry.flags & FilePropsFolder)) continue;
      Str8 path = sweep_child_path(scratch.arena, folder->path, entry.name);
      if (sweep_is_skipped(path, skip, 2)) continue;
      SweepFolder *node = arena_push<SweepFolder>(scratch.arena);
      node->path = path;
      sll_queue_push(first.next, last, node);
    }
    if (iter) dir_iter_close(iter);
    scratch_restore(listing);
    removed += folder_remove_stale_temporaries(folder->path, gone, context);
  }
  scratch_restore(scratch);
  return removed;
}

// Metadata files keep their sources' sub-folders and unsupported files go below
// "<out>/unsupported" with theirs, so a killed writer's temporaries may lie anywhere below those
// two folders, or in the output folder itself. Temporaries are only ever another's while it
// writes: those whose writer `gone` says is gone go.
static u64 sweep_temporaries(TempWriterGone *gone, void *context) {
  const InstanceFolders *f = &g_swept;
  u64 removed = folder_remove_stale_temporaries(f->out, gone, context);
  removed += sweep_tree(f->unsupported, f->in, f->metadatas, gone, context);
  removed += sweep_tree(f->metadatas, f->in, f->out, gone, context);
  return removed;
}

u64 instances_sweep_start(Arena *arena, const InstanceFolders *folders) {
  g_swept.in = str8_copy(arena, folders->in);
  g_swept.out = str8_copy(arena, folders->out);
  g_swept.unsupported = str8_copy(arena, folders->unsupported);
  g_swept.metadatas = str8_copy(arena, folders->metadatas);
  return sweep_temporaries(instance_temp_writer_gone, nullptr);
}

//~ Gone instances
// Looks for gone instances (every InstanceBeatUs at most, or now when `at_once`): each one found
// is buried by one instance alone, which takes its claims away and returns its id in `ids` (up
// to `capacity`), to sweep its temporaries before instances_buried. Tombstones grown old go at
// the same time, every ClaimTombstoneUs / 2 at most.
static u64 instances_find_gone(u64 *ids, u64 capacity, bool at_once) {
  InstanceBoard *b = board();
  u64 now = clock_now_us();
  if (!b || capacity == 0 || (!at_once && now - b->last_look_us < InstanceBeatUs)) return 0;
  b->last_look_us = now;
  if (now - b->last_sweep_us >= ClaimTombstoneUs / 2) {
    b->last_sweep_us = now;
    tombstones_sweep(b, false);
  }
  Scratch scratch = scratch_begin(nullptr);
  u64 count = 0;
  u32 others = 0;
  DirIter *iter = dir_iter_open(scratch.arena, b->instances, DirSkipFolders | DirTypesOnly);
  DirEntry entry = {};
  while (iter && count < capacity && dir_iter_next(scratch.arena, iter, &entry)) {
    u64 id = 0;
    Str8 path = arena_format(scratch.arena, "%S/%S", b->instances, entry.name);
    if (!parse_hex_id(entry.name, &id)) {
      // what a start or a burial killed half-way left: gone once old enough
      if (state_by_age(b, file_props_from_path(path).modified_ns, false) == InstanceGone) file_delete(path);
      continue;
    }
    if (id == b->id) continue;
    InstanceState state = judge_heartbeat(b, id);
    seen_note(b, id, state);
    others += state != InstanceGone;
    if (state != InstanceGone) continue;
    Str8 grave = arena_format(scratch.arena, "%S.%S.gone", path, hex_id(scratch.arena, b->id));
    if (file_rename_no_replace(path, grave) != FileMoveDone) continue; // another instance buries it
    ids[count++] = id;
  }
  if (iter) dir_iter_close(iter);
  atomic_store_u32(&b->others, others);
  if (count == 0) {
    scratch_restore(scratch);
    return 0;
  }
  // their claims go, so that their sources are anyone's at once
  iter = dir_iter_open(scratch.arena, b->claims, DirSkipFolders | DirTypesOnly);
  while (iter && dir_iter_next(scratch.arena, iter, &entry)) {
    if (entry.name.size != 32) continue;
    Str8 path = arena_format(scratch.arena, "%S/%S", b->claims, entry.name);
    ClaimFile c = claim_read(scratch.arena, path);
    // their tombstones stay: the sources they name left the input folder
    for (u64 i = 0; i < count && c.parsed; i += 1) {
      if (c.holder == ids[i]) {
        claim_take_away(scratch.arena, b, path, &c);
        break;
      }
    }
  }
  if (iter) dir_iter_close(iter);
  scratch_restore(scratch);
  return count;
}

// The graves instances_find_gone renamed the buried heartbeats to go once their temporaries
// have; one that a killed burial left goes with a later look, once old.
static void instances_buried(const u64 *ids, u64 count) {
  InstanceBoard *b = board();
  if (!b) return;
  Scratch scratch = scratch_begin(nullptr);
  for (u64 i = 0; i < count; i += 1) {
    file_delete(arena_format(scratch.arena, "%S/%S.%S.gone", b->instances, hex_id(scratch.arena, ids[i]),
                             hex_id(scratch.arena, b->id)));
  }
  scratch_restore(scratch);
}

// The instances found gone: their claims were taken away, their temporaries go now.
struct BuriedInstances {
  u64 ids[16];
  u64 count;
};

static bool writer_buried(void *context, u64 instance_id, Str8) {
  BuriedInstances *buried = (BuriedInstances *)context;
  for (u64 i = 0; i < buried->count; i += 1) {
    if (buried->ids[i] == instance_id) return true;
  }
  return false;
}

u64 instances_bury_gone(bool at_once) {
  BuriedInstances buried = {};
  buried.count = instances_find_gone(buried.ids, 16, at_once);
  if (buried.count == 0) return 0;
  sweep_temporaries(writer_buried, &buried);
  instances_buried(buried.ids, buried.count);
  return buried.count;
}
