#include <atomic>

#include "convert/instances/instances_internal.h"

//~ The board
static std::atomic<InstanceBoard *> g_board{nullptr};

InstanceBoard *board() { return g_board.load(std::memory_order_acquire); }

void instances_warn(Str8 text) {
  Scratch scratch = scratch_begin(nullptr);
  MessageList note = {};
  message_add(scratch.arena, &note, MessageWarning, text);
  message_report(scratch.arena, &note, nullptr, 1);
  scratch_restore(scratch);
}

Str8 hex_id(Arena *arena, u64 id) { return arena_format(arena, "%016llx", (unsigned long long)id); }

bool parse_hex_id(Str8 text, u64 *id) {
  if (text.size != 16) return false;
  for (u64 i = 0; i < text.size; i += 1) {
    u8 c = text.str[i];
    if (!char_is_digit(c) && !(c >= 'a' && c <= 'f')) return false;
  }
  *id = u64_from_str8(text, 16);
  return true;
}

// The file system's time now, by its own clock: the time our latest rewrite got, plus what
// this machine's monotonic clock says has passed since.
u64 fs_now_ns(InstanceBoard *b) {
  cs_enter(b->lock);
  u64 now = b->fs_ns + (clock_now_us() - b->local_us) * 1000;
  cs_leave(b->lock);
  return now;
}

InstanceState state_by_age(InstanceBoard *b, u64 modified_ns, bool live_when_fresh) {
  u64 now = fs_now_ns(b);
  u64 age_us = now > modified_ns ? (now - modified_ns) / 1000 : 0;
  if (age_us >= InstanceTakeoverUs) return InstanceGone;
  return live_when_fresh && age_us < InstanceLiveUs ? InstanceLive : InstanceSilent;
}

//~ Heartbeats
// Rewritten in place (the beat count only grows, so no byte of an older text stays behind) and
// synced, so that a file server sets its time.
static bool heartbeat_write(InstanceBoard *b) {
  Scratch scratch = scratch_begin(nullptr);
  b->beats += 1;
  Str8 text = arena_format(scratch.arena, "vantor instance %016llx beat %llu pid %u host %S domain %S\n",
                           (unsigned long long)b->id, (unsigned long long)b->beats, proc_info()->process_id, b->host,
                           b->domain);
  bool ok = file_write_range(b->beat, RangeU64{0, text.size}, text.str) == text.size && file_sync(b->beat);
  FileProps props = file_props_from_handle(b->beat);
  scratch_restore(scratch);
  if (!ok || !(props.flags & FilePropsExists)) return false;
  // Another machine tells this instance is live by its heartbeat's last-write time moving on.
  if (b->beats == 2 && props.modified_ns <= b->fs_ns) {
    instances_warn(str8_lit("The file system of the input folder keeps a rewritten file's last-write time: instances on "
                            "other machines sharing it will take this one for gone."));
  }
  cs_enter(b->lock);
  b->fs_ns = props.modified_ns;
  b->local_us = clock_now_us();
  cs_leave(b->lock);
  return true;
}

// Made under another name, locked and written, then renamed into place: whoever finds the
// heartbeat finds it locked.
static bool heartbeat_open(InstanceBoard *b) {
  Scratch scratch = scratch_begin(nullptr);
  Str8 fresh = arena_format(scratch.arena, "%S.new", b->heartbeat);
  folder_make_chain(b->instances);
  file_delete(fresh);
  u32 flags = FileOpenWrite | FileOpenRead | FileOpenNew | FileShareRead | FileShareWriteDelete;
  b->beat = file_open(flags, fresh);
  bool ok = b->beat && file_lock_hold(b->beat) && heartbeat_write(b) &&
            file_rename_no_replace(fresh, b->heartbeat) == FileMoveDone;
  if (!ok) {
    if (b->beat) file_close(b->beat);
    b->beat = 0;
    file_delete(fresh);
  }
  scratch_restore(scratch);
  return ok;
}

// A heartbeat that another instance buried (this one was silent too long) is made again.
static void heartbeat_renew(InstanceBoard *b) {
  cs_enter(b->beat_lock);
  if (!b->stopped) {
    bool there = b->beat && (file_props_from_path(b->heartbeat).flags & FilePropsExists);
    if (!there) {
      if (b->beat) file_close(b->beat);
      b->beat = 0;
      heartbeat_open(b);
    } else {
      heartbeat_write(b);
    }
  }
  cs_leave(b->beat_lock);
}

static void heartbeat_stop(InstanceBoard *b) {
  cs_enter(b->beat_lock);
  b->stopped = true;
  if (b->beat) file_close(b->beat);
  b->beat = 0;
  file_delete(b->heartbeat);
  cs_leave(b->beat_lock);
}

static void heartbeat_thread(u64) {
  thread_set_name("[VANTOR] Beat");
  for (;;) {
    sleep_ms((u32)(InstanceBeatUs / 1000));
    if (InstanceBoard *b = board()) heartbeat_renew(b);
  }
}

//~ What the file system holding the claims must do
// Each operation the claims rely on is tried once at start-up on files of this instance's own
// beside the heartbeats (names a burial sweeps once old, should this instance be killed
// meanwhile); what fails is said once, with what it costs. The one that needs time to show,
// a rewrite moving the last-write time on, is checked by the heartbeat's first rewrite.
static void instances_check_folder(Arena *arena, InstanceBoard *b, Str8 in_folder, Str8List *problems) {
  Scratch scratch = scratch_begin(arena);
  Str8 one = arena_format(scratch.arena, "%S.check", b->heartbeat);
  Str8 two = arena_format(scratch.arena, "%S.check2", b->heartbeat);
  file_delete(one);
  file_delete(two);
  u32 make = FileOpenWrite | FileOpenNew | FileShareRead | FileShareWriteDelete;
  u32 open = FileOpenRead | FileOpenWrite | FileOpenAlways | FileShareRead | FileShareWriteDelete;
  Str8 failed = {}, means = {};
  FileHandle first = file_open(make, one);
  FileHandle again = first ? file_open(make, one) : 0;
  if (first && (again || !file_last_error_exists())) {
    failed = again ? str8_lit("made one file twice with an exclusive create") : file_last_error_text(scratch.arena);
    means = str8_lit("two instances may both claim a file and convert it twice");
  }
  if (again) file_close(again);
  if (first && failed.size == 0) {
    file_write_range(first, RangeU64{0, 3}, "one");
    file_close(first);
    first = 0;
    FileHandle second = file_open(make, two);
    bool made = second && file_write_range(second, RangeU64{0, 3}, "two") == 3;
    if (!made) failed = file_last_error_text(scratch.arena);
    if (second) file_close(second);
    if (!made) {
      means = str8_lit("claims of a gone instance cannot be taken over");
    } else {
      FileMoveResult moved = file_rename_no_replace(two, one);
      if (moved != FileMoveTaken || !file_holds(one, str8_lit("one"))) {
        failed = moved == FileMoveFailed ? file_last_error_text(scratch.arena)
                                         : str8_lit("a rename meant never to replace replaced a file");
        means = str8_lit("two instances may both take over a gone instance's claim and convert its file twice");
      }
    }
  }
  if (failed.size == 0 && !first) {
    FileHandle holder = file_open(open, one);
    FileHandle prober = holder ? file_open(open, one) : 0;
    FileLockState seen = holder && prober && file_lock_hold(holder) ? file_lock_probe(prober) : FileLockUnknown;
    if (seen != FileLockHeld) {
      failed = str8_lit("a lock held on a file is not seen through another handle");
      means = str8_lit("an instance killed on this machine is taken for gone only 30 s after its last heartbeat");
    }
    if (prober) file_close(prober);
    if (holder) file_close(holder);
  }
  if (first) file_close(first);
  file_delete(one);
  file_delete(two);
  if (failed.size > 0 && problems) {
    str8_list_addf(arena, problems, "warning: the file system of the input folder %S fails a check of what instances sharing it rely on (%S): %S",
                   in_folder, failed, means);
  }
  scratch_restore(scratch);
}

//~ Start and stop
bool instances_start(Arena *arena, Str8 in_folder, Str8List *problems) {
  // A test process sets up more than once: the heartbeat of its earlier set-up goes first, as
  // it may have the very path this one's is about to have.
  if (InstanceBoard *old = g_board.exchange(nullptr)) heartbeat_stop(old);
  InstanceBoard *b = arena_push<InstanceBoard>(arena);
  b->id = proc_info()->instance_id;
  b->root = arena_format(arena, "%S/.vantor", in_folder);
  b->claims = arena_format(arena, "%S/claims", b->root);
  b->instances = arena_format(arena, "%S/instances", b->root);
  b->heartbeat = arena_format(arena, "%S/%S", b->instances, hex_id(arena, b->id));
  b->host = machine_name_query(arena);
  b->domain = folder_lock_domain(arena, in_folder);
  b->beat_lock = cs_create();
  b->lock = cs_create();
  bool ready = folder_make_chain(b->claims) && heartbeat_open(b);
  if (!ready && problems) {
    str8_list_addf(arena, problems,
                   "warning: the input folder %S cannot hold this instance's claims in %S (%S); other instances on "
                   "it may convert the same files",
                   in_folder, b->root, file_last_error_text(arena));
  }
  if (ready) instances_check_folder(arena, b, in_folder, problems);
  if (ready) g_board.store(b);
  if (!ready) return false;
  static OsObject *beat_thread = thread_create(heartbeat_thread, 0);
  (void)beat_thread;
  return true;
}

Str8 instances_folder() {
  InstanceBoard *b = board();
  return b ? b->root : Str8{};
}

// True when no heartbeat but this instance's is left (what a start or burial left half-way
// aside).
static bool instances_alone(InstanceBoard *b) {
  Scratch scratch = scratch_begin(nullptr);
  bool alone = true;
  DirIter *iter = dir_iter_open(scratch.arena, b->instances, DirSkipFolders | DirTypesOnly);
  DirEntry entry = {};
  u64 id = 0;
  while (alone && iter && dir_iter_next(scratch.arena, iter, &entry)) {
    alone = !parse_hex_id(entry.name, &id) || id == b->id;
  }
  if (iter) dir_iter_close(iter);
  scratch_restore(scratch);
  return alone;
}

void instances_stop() {
  InstanceBoard *b = board();
  if (!b) return;
  heartbeat_stop(b);
  // With no one left to have read a source ahead, tombstones stand for nothing.
  if (instances_alone(b)) tombstones_sweep(b, true);
  // another instance's files keep them; one that makes them again after this is fine
  folder_remove_empty(b->claims);
  folder_remove_empty(b->instances);
  folder_remove_empty(b->root);
}

//~ What this instance makes of another
InstanceState judge_heartbeat(InstanceBoard *b, u64 id) {
  Scratch scratch = scratch_begin(nullptr);
  Str8 path = arena_format(scratch.arena, "%S/%S", b->instances, hex_id(scratch.arena, id));
  FileHandle file = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, path);
  InstanceState state = InstanceMissing;
  if (file) {
    FileProps props = file_props_from_handle(file);
    Str8 text = file_read_into_arena(scratch.arena, file, RangeU64{0, min_of(props.size, InstanceFileMost)});
    Str8 mark = str8_lit(" domain ");
    u64 at = str8_find(text, mark, 0, 0);
    Str8 domain = at < text.size ? str8_trim_space(str8_drop_front(text, at + mark.size)) : Str8{};
    // On this system and mount the lock says it all: the system dropped it with its holder.
    bool here = b->domain.size > 0 && str8_equals(domain, b->domain, 0);
    FileLockState lock = here ? file_lock_probe(file) : FileLockUnknown;
    if (lock == FileLockFree) {
      state = InstanceGone;
    } else if (lock == FileLockHeld) {
      state = InstanceLive;
    } else {
      state = state_by_age(b, props.modified_ns, true);
    }
    file_close(file);
  }
  scratch_restore(scratch);
  return state;
}

void seen_note(InstanceBoard *b, u64 id, InstanceState state) {
  cs_enter(b->lock);
  InstanceSeen *slot = nullptr;
  for (u64 i = 0; i < InstanceSeenSlots && !slot; i += 1) {
    if (b->seen[i].id == id && b->seen[i].judged_us != 0) slot = &b->seen[i];
  }
  if (!slot) slot = &b->seen[b->next_seen++ % InstanceSeenSlots];
  slot->id = id;
  slot->state = state;
  slot->judged_us = clock_now_us();
  cs_leave(b->lock);
}

InstanceState instance_state_in(InstanceBoard *b, u64 id) {
  if (id == b->id) return InstanceLive;
  u64 now = clock_now_us();
  cs_enter(b->lock);
  for (u64 i = 0; i < InstanceSeenSlots; i += 1) {
    InstanceSeen *s = &b->seen[i];
    if (s->id == id && s->judged_us != 0 && now - s->judged_us < InstanceJudgedUs) {
      InstanceState state = (InstanceState)s->state;
      cs_leave(b->lock);
      return state;
    }
  }
  cs_leave(b->lock);
  InstanceState state = judge_heartbeat(b, id);
  seen_note(b, id, state);
  return state;
}

InstanceState instance_state_of(u64 instance_id) {
  InstanceBoard *b = board();
  return b ? instance_state_in(b, instance_id) : InstanceMissing;
}

bool instance_temp_writer_gone(void *, u64 instance_id, Str8 path) {
  InstanceBoard *b = board();
  if (!b || instance_id == TempNoInstance) return true;
  if (instance_id == b->id) return false;
  InstanceState state = instance_state_in(b, instance_id);
  if (state == InstanceMissing) state = state_by_age(b, file_props_from_path(path).modified_ns, false);
  return state == InstanceGone;
}

u64 instances_live() {
  InstanceBoard *b = board();
  return 1 + (b ? atomic_load_u32(&b->others) : 0);
}

//- the scan's order
u64 instances_scan_order() {
  InstanceBoard *b = board();
  return b && atomic_load_u32(&b->others) > 0 ? b->id : 0;
}
