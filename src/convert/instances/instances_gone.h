// Gone instances: found from their heartbeats, buried by one instance alone, their claims taken
// away and their temporaries swept.
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ The folders swept
// Where outputs are written, so where a killed writer's temporaries may lie: the output folder
// itself (not below it), and the trees below "<out>/unsupported" and the metadata folder, each
// walked without entering the input folder or the other of the two, which may lie inside it.
struct InstanceFolders {
  Str8 in;
  Str8 out;
  Str8 unsupported; // "<out>/unsupported"
  Str8 metadatas;
};
// Keeps the folders (copied into `arena`) for the burials, then removes the temporaries that
// killed runs left there: those whose writer is gone (an earlier version's always, every one
// when instances_start failed), never a live instance's. Returns how many went. Main thread,
// after instances_start and before anything is written there.
u64 instances_sweep_start(Arena *arena, const InstanceFolders *folders);

//~ Gone instances
// Looks for gone instances (every InstanceBeatUs at most, or now when `at_once`: a drain's
// last look before it ends); each one found is buried by one instance alone, which takes its
// claims away and removes its temporaries from the folders instances_sweep_start was given.
// Tombstones grown old go at the same time, every ClaimTombstoneUs / 2 at most. Returns how
// many instances were buried. Main thread.
u64 instances_bury_gone(bool at_once);
