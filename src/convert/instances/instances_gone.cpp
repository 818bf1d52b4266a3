#include "convert/instances/instances_internal.h"

//~ Gone instances
u64 instances_find_gone(u64 *ids, u64 capacity, bool at_once) {
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

void instances_buried(const u64 *ids, u64 count) {
  InstanceBoard *b = board();
  if (!b) return;
  Scratch scratch = scratch_begin(nullptr);
  for (u64 i = 0; i < count; i += 1) {
    file_delete(arena_format(scratch.arena, "%S/%S.%S.gone", b->instances, hex_id(scratch.arena, ids[i]),
                             hex_id(scratch.arena, b->id)));
  }
  scratch_restore(scratch);
}
