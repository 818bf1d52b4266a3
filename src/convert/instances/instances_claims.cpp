#include "convert/instances/instances_internal.h"

//~ Claim files
// The next field of `rest`, up to a space; false when there is none. claim_number: one of
// digits only.
static bool claim_field(Str8 *rest, Str8 *field) {
  u64 space = str8_find(*rest, str8_lit(" "), 0, 0);
  if (space == 0 || space >= rest->size) return false;
  *field = str8_keep_front(*rest, space);
  *rest = str8_drop_front(*rest, space + 1);
  return true;
}

static bool claim_number(Str8 *rest, u64 *value) {
  Str8 field = {};
  if (!claim_field(rest, &field) || field.size > 20) return false;
  for (u64 i = 0; i < field.size; i += 1) {
    if (!char_is_digit(field.str[i])) return false;
  }
  *value = u64_from_str8(field, 10);
  return true;
}

ClaimFile claim_read(Arena *arena, Str8 path) {
  ClaimFile c = {};
  FileHandle file = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, path);
  if (!file) return c;
  c.props = file_props_from_handle(file);
  c.text = file_read_into_arena(arena, file, RangeU64{0, min_of(c.props.size, InstanceFileMost)});
  file_close(file);
  c.read = true;
  Str8 claim = str8_lit("vantor claim "), done = str8_lit("vantor done ");
  bool tombstone = str8_starts_with(c.text, done, 0);
  if (!tombstone && !str8_starts_with(c.text, claim, 0)) return c;
  Str8 rest = str8_drop_front(c.text, tombstone ? done.size : claim.size);
  Str8 holder = {};
  if (!claim_field(&rest, &holder) || !parse_hex_id(holder, &c.holder) || !claim_number(&rest, &c.serial) || c.serial == 0) {
    return c;
  }
  if (!tombstone) {
    c.parsed = true;
  } else if (claim_number(&rest, &c.gone.size) && claim_number(&rest, &c.gone.modified_ns)) {
    c.gone.flags = FilePropsExists;
    c.done = true;
  }
  return c;
}

static Str8 claim_path(Arena *arena, InstanceBoard *b, Str8 key) {
  U128 digest = blake2b_128(key.str, key.size);
  return arena_format(arena, "%S/%016llx%016llx", b->claims, (unsigned long long)digest.u64s[0],
                      (unsigned long long)digest.u64s[1]);
}

// Takes away the claim judged gone, `judged`: renamed to a name of this instance's first, so
// that one instance alone removes it. Should another instance have put a fresh claim there
// meanwhile, that one is given back. True when the name is free to claim again.
bool claim_take_away(Arena *arena, InstanceBoard *b, Str8 path, const ClaimFile *judged) {
  Str8 grave = arena_format(arena, "%S.%S.gone", path, hex_id(arena, b->id));
  FileMoveResult moved = file_rename_no_replace(path, grave);
  if (moved == FileMoveTaken) {
    file_delete(grave);
    return true;
  }
  if (moved != FileMoveDone) return true; // another instance took it away first
  ClaimFile taken = claim_read(arena, grave);
  if (taken.read && str8_equals(taken.text, judged->text, 0)) {
    file_delete(grave);
    return true;
  }
  if (file_rename_no_replace(grave, path) != FileMoveDone) file_delete(grave);
  return false;
}

//~ Claims
static InstanceState claim_holder_state(InstanceBoard *b, const ClaimFile *c) {
  // This instance's own claim that no worker holds (its removal failed) is taken again.
  if (c->parsed && c->holder == b->id) return InstanceGone;
  InstanceState state = c->parsed ? instance_state_in(b, c->holder) : InstanceMissing;
  // Without a heartbeat to go by (not written yet, or not seen yet here), the claim's own age.
  if (state == InstanceMissing) state = state_by_age(b, c->props.modified_ns, false);
  return state;
}

ClaimTake shared_claim_take(Str8 key, FileProps seen, u64 *serial) {
  InstanceBoard *b = board();
  *serial = 0;
  if (!b) return ClaimUnshared;
  Scratch scratch = scratch_begin(nullptr);
  Str8 path = claim_path(scratch.arena, b, key);
  ClaimTake result = ClaimHeldSilent; // a name fought over this long is left for the next round
  for (u32 round = 0; round < 4; round += 1) {
    u64 mine = atomic_add_u64(&b->serial, 1);
    u32 flags = FileOpenWrite | FileOpenNew | FileShareRead | FileShareWriteDelete;
    FileHandle file = file_open(flags, path);
    if (file) {
      Str8 text = arena_format(scratch.arena, "vantor claim %016llx %llu %S\n", (unsigned long long)b->id,
                               (unsigned long long)mine, key);
      bool written = file_write_range(file, RangeU64{0, text.size}, text.str) == text.size;
      file_close(file);
      if (written) {
        *serial = mine;
        result = ClaimTaken;
      } else {
        file_delete(path);
        result = ClaimUnshared;
      }
      break;
    }
    if (!file_last_error_exists()) {
      // The folder went (an instance that ended removed it), or it cannot be written.
      Str8 reason = file_last_error_text(scratch.arena);
      if (round == 0 && folder_make_chain(b->claims)) continue;
      if (atomic_exchange_u32(&b->warned, 1) == 0) {
        instances_warn(arena_format(scratch.arena,
                                    "Claims cannot be made in %S (%S): instances sharing this folder may convert "
                                    "the same files.",
                                    str8_escape_line(scratch.arena, b->claims), reason));
      }
      result = ClaimUnshared;
      break;
    }
    ClaimFile c = claim_read(scratch.arena, path);
    if (!c.read) continue; // removed in between
    if (c.done) {
      if (file_props_same_version(c.gone, seen)) {
        result = ClaimDone;
        break;
      }
      // a new file at that path: the tombstone of the one before goes
      if (!claim_take_away(scratch.arena, b, path, &c)) {
        result = ClaimHeldLive;
        break;
      }
      continue;
    }
    InstanceState holder = claim_holder_state(b, &c);
    if (holder != InstanceGone) {
      result = holder == InstanceLive ? ClaimHeldLive : ClaimHeldSilent;
      break;
    }
    if (!claim_take_away(scratch.arena, b, path, &c)) {
      result = ClaimHeldLive;
      break;
    }
  }
  scratch_restore(scratch);
  return result;
}

bool shared_claim_held(Str8 key, FileProps seen) {
  InstanceBoard *b = board();
  if (!b || atomic_load_u32(&b->others) == 0) return false;
  Scratch scratch = scratch_begin(nullptr);
  ClaimFile c = claim_read(scratch.arena, claim_path(scratch.arena, b, key));
  bool held = false;
  if (c.done) {
    held = file_props_same_version(c.gone, seen);
  } else if (c.parsed && c.holder != b->id) {
    held = instance_state_in(b, c.holder) == InstanceLive;
  }
  scratch_restore(scratch);
  return held;
}

static bool claim_is_ours_at(Arena *arena, InstanceBoard *b, Str8 path, u64 serial) {
  ClaimFile c = claim_read(arena, path);
  return c.parsed && c.holder == b->id && c.serial == serial;
}

bool shared_claim_is_ours(Str8 key, u64 serial) {
  InstanceBoard *b = board();
  if (!b || serial == 0) return true;
  Scratch scratch = scratch_begin(nullptr);
  bool ours = claim_is_ours_at(scratch.arena, b, claim_path(scratch.arena, b, key), serial);
  scratch_restore(scratch);
  return ours;
}

void shared_claim_drop(Str8 key, u64 serial, bool checked) {
  InstanceBoard *b = board();
  if (!b || serial == 0) return;
  Scratch scratch = scratch_begin(nullptr);
  Str8 path = claim_path(scratch.arena, b, key);
  if (checked || claim_is_ours_at(scratch.arena, b, path, serial)) file_delete(path);
  scratch_restore(scratch);
}

void shared_claim_done(Str8 key, u64 serial, FileProps gone) {
  InstanceBoard *b = board();
  if (!b || serial == 0) return;
  Scratch scratch = scratch_begin(nullptr);
  Str8 path = claim_path(scratch.arena, b, key);
  Str8 text = arena_format(scratch.arena, "vantor done %016llx %llu %llu %llu %S\n", (unsigned long long)b->id,
                           (unsigned long long)serial, (unsigned long long)gone.size,
                           (unsigned long long)gone.modified_ns, key);
  // Written over the claim rather than renamed over it: no temporary to leave behind, and no
  // moment without a claim there.
  FileHandle file = file_open(FileOpenWrite | FileOpenAlways | FileShareRead | FileShareWriteDelete, path);
  bool written = file && file_write_range(file, RangeU64{0, text.size}, text.str) == text.size;
  if (file) file_close(file);
  if (!written) file_delete(path);
  scratch_restore(scratch);
}

// Tombstones older than ClaimTombstoneUs by the file system's clock go (all of them when
// `all`), each taken away as a gone claim is, so that a fresh claim made there meanwhile stays.
void tombstones_sweep(InstanceBoard *b, bool all) {
  Scratch scratch = scratch_begin(nullptr);
  u64 now = fs_now_ns(b);
  DirIter *iter = dir_iter_open(scratch.arena, b->claims, DirSkipFolders | DirTypesOnly);
  DirEntry entry = {};
  while (iter && dir_iter_next(scratch.arena, iter, &entry)) {
    if (entry.name.size != 32) continue;
    Scratch entry_mark = scratch_mark(scratch.arena);
    Str8 path = arena_format(scratch.arena, "%S/%S", b->claims, entry.name);
    ClaimFile c = claim_read(scratch.arena, path);
    bool old = now > c.props.modified_ns && (now - c.props.modified_ns) / 1000 >= ClaimTombstoneUs;
    if (c.done && (all || old)) claim_take_away(scratch.arena, b, path, &c);
    scratch_restore(entry_mark);
  }
  if (iter) dir_iter_close(iter);
  scratch_restore(scratch);
}
