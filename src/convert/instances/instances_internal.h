// What the board, the claims and the burials share: the board itself, the judging of another
// instance's heartbeat, and the reading and taking away of claim files. Only the files of this
// floor include it.
#pragma once

#include "convert/instances/instances.h"

//~ The board: this instance's files in the shared folder, and what it made of the others
struct InstanceSeen {
  u64 id;
  u32 state;
  u64 judged_us;
};
constexpr u64 InstanceSeenSlots = 64;
constexpr u64 InstanceJudgedUs = 500000;
// Heartbeats and claims are a line each; anything longer is not one of ours.
constexpr u64 InstanceFileMost = 4096;

struct InstanceBoard {
  Str8 root;      // "<in>/.vantor"
  Str8 claims;    // "<root>/claims"
  Str8 instances; // "<root>/instances"
  Str8 heartbeat; // "<instances>/<id>"
  Str8 host;
  Str8 domain;
  u64 id;
  OsObject *beat_lock; // held across a rewrite of the heartbeat, and by instances_stop
  FileHandle beat;
  u64 beats;
  bool stopped;
  OsObject *lock; // guards the fields below; never held across I/O
  u64 fs_ns;      // the heartbeat's last-write time after its latest rewrite
  u64 local_us;   // clock_now_us then
  InstanceSeen seen[InstanceSeenSlots];
  u64 next_seen;
  u64 last_look_us; // the main loop's, alone
  u64 last_sweep_us; // the main loop's, alone: tombstones were last looked at
  u64 serial;       // atomic: the last claim made
  u32 warned;       // atomic: claims could not be made, and the console was told
  u32 others;       // atomic: other instances not gone at the last look
};

// The board instances_start published; null before, and when it could not be made.
InstanceBoard *board();
void instances_warn(Str8 text);
Str8 hex_id(Arena *arena, u64 id);
bool parse_hex_id(Str8 text, u64 *id);
// The file system's time now, by its own clock.
u64 fs_now_ns(InstanceBoard *b);
InstanceState state_by_age(InstanceBoard *b, u64 modified_ns, bool live_when_fresh);

//~ What this instance makes of another
// From its heartbeat, read now.
InstanceState judge_heartbeat(InstanceBoard *b, u64 id);
void seen_note(InstanceBoard *b, u64 id, InstanceState state);
// From what was judged less than InstanceJudgedUs ago, else from its heartbeat.
InstanceState instance_state_in(InstanceBoard *b, u64 id);
// For the sweep: true when the temporary's writer is gone (its heartbeat gone, or missing with
// the temporary unchanged for the takeover time); an earlier version's temporary always is.
bool instance_temp_writer_gone(void *context, u64 instance_id, Str8 path);

//~ Claim files
// "vantor claim <holder> <serial> <key>" while a source is worked on; once it has left the
// input folder, "vantor done <holder> <serial> <size> <last-write ns> <key>", written over the
// claim in place. Only the fields before the key are read (a tombstone written over a longer
// claim may leave bytes of it behind its line).
struct ClaimFile {
  bool read;   // a file was there and could be read
  bool parsed; // and it is a claim: holder and serial
  bool done;   // or it is a tombstone: holder, serial and the version that left
  u64 holder;
  u64 serial;
  FileProps gone;
  FileProps props;
  Str8 text;
};

ClaimFile claim_read(Arena *arena, Str8 path);
// Takes away the claim judged gone, `judged`: true when the name is free to claim again.
bool claim_take_away(Arena *arena, InstanceBoard *b, Str8 path, const ClaimFile *judged);
// Tombstones older than ClaimTombstoneUs go (all of them when `all`).
void tombstones_sweep(InstanceBoard *b, bool all);
