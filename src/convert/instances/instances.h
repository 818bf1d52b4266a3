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
//   - a gone instance is buried by one instance alone (its heartbeat renamed away first), which
//     takes its claims away and removes the temporaries it left where outputs are written.
//
// Owns: the board (this instance's heartbeat, what it made of the others lately), the claim
// files, the burial of gone instances and the sweep of killed writers' temporaries. Uses base
// and os alone: the folders it sweeps are handed to it once, and it walks them itself.
//
// Threads: "[VANTOR] Beat", started by the first instances_start, renews the heartbeat; the
// conversion workers take, check and drop claims or make them tombstones; the intake's
// streamers and the workers look at a claim before a source is read; the main thread
// starts and stops the board, sweeps at start-up and looks for gone instances once per pass.
//
// Locks: the board's beat lock, held across a rewrite of the heartbeat (the one lock held
// across I/O here), and the board's lock over the heartbeat's file-system time and the
// instances seen lately, never held across I/O. Each is taken alone.
#pragma once

#include "base/base.h"
#include "os/os.h"

#include "convert/instances/instances_board.h"
#include "convert/instances/instances_claims.h"
#include "convert/instances/instances_gone.h"
