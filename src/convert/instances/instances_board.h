// The board: this instance's heartbeat in "<in>/.vantor/instances", written and renewed, and
// what this instance makes of another's.
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ Times
// A holder silent this long is gone: its claims are taken over and its temporaries swept.
constexpr u64 InstanceTakeoverUs = 30000000;
constexpr u64 InstanceBeatUs = 2000000;
// A heartbeat older than this is no longer taken for a live instance's (a drain waits for it).
constexpr u64 InstanceLiveUs = 10000000;
// Longer than any cache of a removed file's name that the shared folder's mount may keep.
constexpr u64 ClaimTombstoneUs = 60000000;

//~ Heartbeats
// Makes "<in>/.vantor", writes and locks this instance's heartbeat and starts renewing it.
// False, with a "warning:" line, when that cannot be done (a read-only input folder): sources
// are then converted without claims, and every temporary counts as a gone writer's.
bool instances_start(Arena *arena, Str8 in_folder, Str8List *problems);
// The folder the scan leaves out.
Str8 instances_folder();
// The heartbeat goes, every tombstone too when no other instance's heartbeat is left, and the
// folders when they are empty: for a clean end.
void instances_stop();

//~ What this instance makes of another
// The instances live on the shared input folder at the last look, this one included (1 when
// alone, or when no heartbeat could be written). Any thread.
u64 instances_live();
enum InstanceState : u32 {
  InstanceLive = 0,
  InstanceSilent, // not renewed lately; not yet gone
  InstanceGone,
  InstanceMissing, // no heartbeat there
};
// What this instance makes of another, from its heartbeat (looked at again after half a second).
InstanceState instance_state_of(u64 instance_id);

// The order in which this instance's scan offers a folder's files: 0 (the listing's order, as
// when it runs alone) until another live instance was seen, then a key of this instance's own.
u64 instances_scan_order();
