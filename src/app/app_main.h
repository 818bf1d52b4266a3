// Application entry: reads the options, sets up, prints the summary, then scans the input
// tree forever (or prints the help text and returns).
#pragma once

#include "app/app_setup.h"

//~ Scan
// Receives every file path a walk finds; the path lives in the walk's arena.
typedef void ScanOffer(void *context, Str8 path);

// Walks the tree under `root` breadth first (names starting with "." included) and offers
// every file. Folders equal to one of `skip` (normalised paths, the root included) are not
// entered: the output and metadata folders may lie inside the input folder, and their files
// must not come back as sources. All memory comes from `arena`. Returns the files offered.
u64 app_scan_tree(Arena *arena, Str8 root, const Str8 *skip, u64 skip_count, ScanOffer *offer, void *context);

// One pass of the main loop over AppState's input folder: each file that is not settled goes
// to the intake (while it does not hold too much already) and onto the conversion queue,
// neither of which is waited for. A folder unchanged since it was listed, with nothing
// pending, is not listed again for a while. Returns the files listed; with `pending`, also
// counts the files that are not yet settled (no attempt has decided about their current
// version).
u64 app_scan_pass(Arena *arena, u64 *pending);

//~ Entry
void app_main(ArgTable *table);
