// Gone instances: found from their heartbeats, buried by one instance alone, their claims taken
// away and their temporaries swept.
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ Gone instances
// Looks for gone instances (every InstanceBeatUs at most, or now when `at_once`: a drain's
// last look before it ends): each one found is buried by one instance alone, which takes its
// claims away and returns its id in `ids` (up to `capacity`), for the caller to sweep its
// temporaries, then calls instances_buried. Tombstones grown old go at the same time, every
// ClaimTombstoneUs / 2 at most.
u64 instances_find_gone(u64 *ids, u64 capacity, bool at_once);
void instances_buried(const u64 *ids, u64 count);
