// The intake queue and the streamers that read what it holds.
#include "intake/intake.h"

//~ Intake queue

bool intake_queue_push(Str8 path, u64 deadline) {
  bool pushed = string_ring_push(&intake_state()->queue, path, deadline);
  if (pushed) {
    atomic_add_u64(&intake_counters()->reads_queued, 1);
  }
  return pushed;
}

Str8 intake_queue_pop(Arena *arena) { return string_ring_pop(&intake_state()->queue, arena); }

//~ Streamers
static std::atomic<IntakeReadGate *> g_read_gate{nullptr};

void intake_set_read_gate(IntakeReadGate *gate) { g_read_gate.store(gate); }

// One read of a queued path. The bytes count only when the file was the same version (size and
// full-resolution last-write time) before and after the read, every byte of that size came, and
// no writer still holds the file where the system can tell.
static void streamer_read(Str8 path, U128 key) {
  // read the size found before opening, no more
  FileProps before = file_props_from_path(path);
  bool is_file = (before.flags & FilePropsExists) && !(before.flags & FilePropsFolder);
  bool unreachable = (before.flags & FilePropsUnreachable) != 0;
  // another program sharing the folder works on it: its bytes are not ours to read or hash
  IntakeReadGate *gate = g_read_gate.load();
  if (is_file && gate && gate(path, before)) {
    atomic_add_u64(&intake_counters()->reads_passed, 1);
    registry_read_done(path, key, ReadPassed, before);
    atomic_add_u64(&intake_counters()->reads_finished, 1);
    return;
  }
  Arena *arena = nullptr;
  Str8 content = {};
  bool opened = false;
  if (is_file) {
    FileHandle file = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, path);
    if (file) {
      opened = true;
      arena = content_spare_take(before.size);
      content = file_read_into_arena(arena, file, RangeU64{0, before.size});
      file_close(file);
    }
  }
  FileProps after = file_props_from_path(path);

  // decide
  bool unchanged = file_props_same_version(before, after);
  ReadOutcome outcome = ReadDropped;
  if (unchanged && !is_file && !unreachable) {
    outcome = ReadGone;
  } else if (unchanged && opened && content.size == before.size && file_is_complete(path)) {
    outcome = ReadComplete;
  } else if (unchanged && !opened) {
    // another user's file, a FIFO, a path the system would not look up: the same until it changes
    outcome = ReadUnreadable;
  }

  // publish or drop; a gone file's reads are forgotten before its node, so nobody can queue
  // and publish the path in between
  if (outcome == ReadComplete) {
    content_publish(key, &arena, content, after);
    atomic_add_u64(&intake_counters()->reads_published, 1);
  } else if (arena) {
    content_spare_put(arena);
  }
  if (outcome == ReadDropped) {
    atomic_add_u64(&intake_counters()->reads_dropped, 1);
  }
  if (outcome == ReadGone || outcome == ReadUnreadable) {
    path_index_forget(key);
  }
  registry_read_done(path, key, outcome, after);
  atomic_add_u64(&intake_counters()->reads_finished, 1);
}

void streamer_thread(u64 index) {
  thread_set_name("[fs] streamer #%I64u", index);
  for (;;) {
    Scratch scratch = scratch_begin(nullptr);
    Str8 path = intake_queue_pop(scratch.arena);
    streamer_read(path, digest128(path));
    scratch_restore(scratch);
  }
}

