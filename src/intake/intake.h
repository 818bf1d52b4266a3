// Intake layer: reads source files into memory exactly when they are complete.
//
// Owns: the request registry (one node per requested path whose file still exists), the
// intake queue of paths to read, the content store (each distinct content once, keyed by its
// XXH3-128 digest; the last two reads of each path), per-thread lease contexts. All of it
// lives in arenas until the process ends; contents, nodes and path entries are recycled through
// per-stripe free lists, so memory follows the files present, not every path ever seen.
//
// Threads: the main loop and the conversion workers call intake_request and the leases;
// 1..4 streamers "[fs] streamer #n" read queued paths and publish (each asks the read gate the
// application installed first, and leaves a file it refuses unread); the detector "[fs] detector"
// re-queues registered files that changed, walking a fifth of the registry every 100 ms; the
// reaper frees unheld contents once a second.
//
// Locks: registry stripe SRW lock (shared for searches, the detector's walk and waits; exclusive
// to add or forget a node and to record a read) with a condition variable woken after every read;
// the intake queue's critical section and condition variable; content-table and path-index
// stripe SRW locks (exclusive to insert or unlink, shared to search and to change counts).
// In-queue flags change by compare-and-exchange 0->1 and exchange ->0; readers and holders
// counts by atomic adds.
//
// Lock order: a registry stripe lock held shared may take the intake queue's critical section
// (push) or a path-index stripe lock shared (lookup); nothing else nests. Streamers take the
// store locks and then the registry lock one at a time, never while holding another.
#pragma once

#include "base/base.h"
#include "os/os.h"

#include "intake/intake_store.h"
#include "intake/intake_registry.h"

