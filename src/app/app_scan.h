// The scan: a breadth-first walk over a folder tree, and the main loop's pass over the input
// tree that hands files to the intake and the conversion queue. Main thread.
#pragma once

#include "base/base.h"

//~ Scan
// Receives every file path a walk finds; the path lives until the call returns.
typedef void ScanOffer(void *context, Str8 path);

// What a walk asks of its caller, folder by folder; null members are skipped. `visit` comes
// first: false leaves the folder unlisted, its sub-folders to walk given in *children (a
// folder the caller remembers), true lists it. `offer` gets each file listed, `listed` the
// folder's sub-folders once its listing is done. With `order`, a folder's files are offered
// in an order of the caller's own, by a hash of each name mixed with `order`: the same from one
// listing to the next however many files come and go, and unlike any other order's.
struct ScanHooks {
  bool (*visit)(void *context, Str8 folder, Str8 **children, u64 *child_count);
  ScanOffer *offer;
  void (*listed)(void *context, Str8 folder, Str8List *children);
  u64 order;
};

// Walks the tree under `root` breadth first (names starting with "." included), offering
// every file of every folder it lists. Folders equal to one of `skip` (normalised paths, the
// root included) are not entered: the output and metadata folders may lie inside the input
// folder, and their files must not come back as sources. All memory comes from `arena`.
// Returns the files offered.
u64 app_scan_walk(Arena *arena, Str8 root, const Str8 *skip, u64 skip_count, const ScanHooks *hooks, void *context);

// The walk that lists every folder and offers its files.
u64 app_scan_tree(Arena *arena, Str8 root, const Str8 *skip, u64 skip_count, ScanOffer *offer, void *context);

// One pass of the main loop over AppState's input folder: each file that is not settled goes
// to the intake (while it does not hold too much already) and onto the conversion queue,
// neither of which is waited for. A folder unchanged since it was listed, with nothing
// pending, is not listed again for a while. Returns the files listed; with `pending`, also
// counts the files that are not yet settled (no attempt has decided about their current
// version).
u64 app_scan_pass(Arena *arena, u64 *pending);
