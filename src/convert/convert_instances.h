// Instances that share one input folder (several machines on a network share, or several
// processes on one machine) divide its sources between them through files in
// "<in>/.vantor", using only what the file system itself guarantees:
//   - "instances/<id>": each instance's heartbeat, rewritten every two seconds and locked for
//     the instance's life. An instance is live while its heartbeat is fresh by the file
//     system's own clock (the time our own rewrite got, not this machine's), gone once it has
//     not been rewritten for InstanceTakeoverUs, or at once when it runs on this system and
//     mount and its lock is free (the system dropped it with its holder).
//   - "claims/<digest of the path below the input folder>": made by an exclusive create before
//     a source is converted or moved aside, removed once it is left in place. A claim of a gone
//     instance is taken over by renaming it away first, so one instance alone wins it.
//   - a source that left the input folder (converted, or moved aside) leaves its claim behind
//     as a tombstone naming the version that left, for ClaimTombstoneUs: a network file system
//     may keep showing another client a removed file for a while (its cache of names and
//     attributes), and an instance that read that version ahead then finds it done rather than
//     free. Tombstones are removed once older than that by whichever instance passes, and all of
//     them by the last instance to end.
#pragma once

#include "base/base.h"
#include "os/os.h"

// A holder silent this long is gone: its claims are taken over and its temporaries swept.
constexpr u64 InstanceTakeoverUs = 30000000;
constexpr u64 InstanceBeatUs = 2000000;
// A heartbeat older than this is no longer taken for a live instance's (a drain waits for it).
constexpr u64 InstanceLiveUs = 10000000;
// Longer than any cache of a removed file's name that the shared folder's mount may keep.
constexpr u64 ClaimTombstoneUs = 60000000;

// Makes "<in>/.vantor", writes and locks this instance's heartbeat and starts renewing it.
// False, with a "warning:" line, when that cannot be done (a read-only input folder): sources
// are then converted without claims, and every temporary counts as a gone writer's.
bool instances_start(Arena *arena, Str8 in_folder, Str8List *problems);
// The folder the scan leaves out.
Str8 instances_folder();
// The heartbeat goes, every tombstone too when no other instance's heartbeat is left, and the
// folders when they are empty: for a clean end.
void instances_stop();

enum InstanceState : u32 {
  InstanceLive = 0,
  InstanceSilent, // not renewed lately; not yet gone
  InstanceGone,
  InstanceMissing, // no heartbeat there
};
// What this instance makes of another, from its heartbeat (looked at again after half a second).
InstanceState instance_state_of(u64 instance_id);
// For the sweep: true when the temporary's writer is gone (its heartbeat gone, or missing with
// the temporary unchanged for the takeover time); an earlier version's temporary always is.
bool instance_temp_writer_gone(void *context, u64 instance_id, Str8 path);

enum ClaimTake : u32 {
  ClaimTaken = 0,    // this instance's now (*serial names it)
  ClaimHeldLive,     // a live instance holds it: that instance's
  ClaimHeldSilent,   // its holder has not been heard of lately: asked again until it is gone
  ClaimUnshared,     // no claim can be made there: the source is converted without one
  ClaimDone,         // the version seen has left the input folder already: its tombstone says so
};
// Claims the source whose path below the input folder is `key`, in the version `seen`.
ClaimTake shared_claim_take(Str8 key, FileProps seen, u64 *serial);
// True while the claim is still this instance's.
bool shared_claim_is_ours(Str8 key, u64 serial);
// Removes the claim when it is still this instance's; `checked`: the caller has just found it so.
void shared_claim_drop(Str8 key, u64 serial, bool checked);
// The source left the input folder in the version `gone`: its claim becomes its tombstone.
void shared_claim_done(Str8 key, u64 serial, FileProps gone);

// Where this instance's scan starts in a folder's listing: 0 (the listing's order, as when it
// runs alone) until another live instance was seen, then a place of this instance's own.
u64 instances_scan_rotation();

// Looks for gone instances (every InstanceBeatUs at most, or now when `at_once`: a drain's
// last look before it ends): each one found is buried by one instance alone, which takes its
// claims away and returns its id in `ids` (up to `capacity`), for the caller to sweep its
// temporaries, then calls instances_buried. Tombstones grown old go at the same time, every
// ClaimTombstoneUs / 2 at most.
u64 instances_find_gone(u64 *ids, u64 capacity, bool at_once);
void instances_buried(const u64 *ids, u64 count);
