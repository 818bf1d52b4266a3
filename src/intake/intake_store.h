// Content store, intake queue and streamers: the back half of the intake. The content table,
// its leases and the reaper are in intake_content.cpp, the path index in intake_paths.cpp,
// the queue and the streamers in intake_streamer.cpp.
//
// Streamers pop paths from the intake queue, read each file whole into an arena of its own and
// keep the bytes only when the file was the same version before and after the read. Kept bytes
// are published in the content table once per distinct digest; the path index remembers the
// digests of each path's last two complete reads. Leases keep contents alive while a worker
// reads them; the reaper frees contents that no path slot and no lease holds.
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ Digests
// XXH3-128 of the bytes (xxh3_128); the empty view gives zero (zero stands for "no content").
U128 digest128(Str8 s);

//~ Content store
struct ContentEntry {
  ContentEntry *next; // bucket link; also links the stripe's free list
  ContentEntry *prev;
  U128 digest;
  Arena *arena; // owns the bytes; destroyed by the reaper
  Str8 content;
  u64 readers; // open lease entries naming this content (atomic)
  u64 holders; // path-index slots naming this content (atomic)
};

// The reads of one path: publish number v writes slots[v % 2].
struct PathEntry {
  PathEntry *next; // bucket link; also links the stripe's free list
  U128 path_key;
  U128 slots[2];
  FileProps slot_props[2]; // the file's properties at each read
  u64 version;             // reads published for the path
};

typedef StripedTable<ContentEntry> ContentTable; // 4096 buckets
typedef StripedTable<PathEntry> PathTable;       // 4096 buckets

constexpr u64 ContentSpareSlots = 64;

struct ContentStore {
  Arena *arena;
  ContentTable contents;
  PathTable paths;
  OsObject *reaper;
  OsObject *spare_lock; // critical section over the spare read arenas
  Arena *spare[ContentSpareSlots];
  u64 spare_count;
  u64 spare_bytes;
};

ContentStore *content_store();
// Makes the tables and starts the reaper; called once, before intake_start.
void content_store_start();

//- content table
struct ContentInfo {
  bool found;
  u64 readers;
  u64 holders;
  u64 size;
};
ContentInfo content_store_info(U128 digest);
// Takes over *arena (set to null): it becomes the storage of a new content, or goes back to
// the spare buffers when the digest is stored already, which then counts one more holder.
void content_insert(U128 digest, Arena **arena, Str8 content);
// Adds delta (wrapping) to a counter of the content, under the shared lock.
void content_count_add(U128 digest, u64 ContentEntry::*field, u64 delta);

//- spare read buffers
// An arena with room for `size` bytes, for a streamer's read: a spare one when one fits.
Arena *content_spare_take(u64 size);
// The arena of a content freed or a read dropped: kept for a later read, or destroyed.
void content_spare_put(Arena *arena);

//- path index
// Takes over *arena (set to null): it is kept as the content's storage, or destroyed when the
// bytes are already stored. The content then counts one more holder, and the path's oldest
// read (if it had two) one fewer. props are the file's properties at the read. Returns the
// content's digest.
U128 content_publish(U128 path_key, Arena **arena, Str8 content, FileProps props);
// age 0: the latest read of the path, 1: the one before; zero when there is none.
U128 path_index_lookup(U128 path_key, u64 age);

// Both reads at once; version 0 means the path has no published read.
struct PathReads {
  u64 version;
  U128 latest;
  U128 previous;
  FileProps latest_props;
};
PathReads path_index_reads(U128 path_key);
// Removes the path's entry; the contents its slots named lose those holds.
void path_index_forget(U128 path_key);

//~ Leases
struct LeaseEntry {
  LeaseEntry *next;
  U128 digest;
};

// Records come from the calling thread's lease context and go back to its free lists, so a
// lease is begun and ended on the same thread.
struct ContentLease {
  ContentLease *next; // links the thread's free leases
  LeaseEntry *first;
};

ContentLease *content_lease_begin();
// The bytes stay valid until content_lease_end; empty when the digest is unknown.
Str8 content_lease_get(ContentLease *lease, U128 digest);
void content_lease_end(ContentLease *lease);

//~ Reaper
// One sweep over the content table: frees every content with no readers and no holders.
// Safe to call from any thread alongside the reaper thread.
void reaper_sweep_once();

//~ Intake queue
// A StringRing (records of a u64 length, the bytes, filler to a multiple of 8) whose pushes
// wait for room only until their deadline, and fail at once for a string that can never fit.
typedef StringRing IntakeQueue;

// The process's queue (inside IntakeState).
bool intake_queue_push(Str8 path, u64 deadline);
Str8 intake_queue_pop(Arena *arena);

//~ Streamers
void streamer_thread(u64 index);

//~ Counters
// Process-wide, for tests and diagnostics; every field changes by atomic adds only.
struct IntakeStats {
  u64 reads_queued;     // pushes of paths onto the intake queue
  u64 reads_published;  // complete reads published
  u64 reads_dropped;    // reads thrown away: changed, unopenable, or fewer bytes came
  u64 reads_finished;   // reads that ended, whatever their outcome
  u64 reads_passed;     // reads not made: the read gate said another program works on the file
  u64 paths_forgotten;  // paths whose file was found gone
  u64 registered_nodes; // registry nodes now
  u64 live_contents;    // content entries now
  u64 live_bytes;       // bytes of those contents
  u64 settled_changed;  // settled paths found changed (read and offered again)
  u64 detector_passes;
  u64 reaper_sweeps;
};

IntakeStats *intake_counters();
IntakeStats intake_stats(); // a snapshot
