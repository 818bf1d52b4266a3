// Application state: the process-wide settings and the structures the workers share.
//
// AppState is built once by app_setup on the main thread, in an arena of its own that lives
// until the process ends. Its folders, targets and limits are written before the first worker
// starts and are read-only afterwards. Shared parts and their guards:
//   - the conversion queue: its own critical section and condition variable;
//   - the ClaimTable: one SRW lock per stripe guards the bucket lists of that stripe (searches
//     shared, insertion and removal exclusive); an entry's busy flag changes only by atomic
//     compare-and-exchange and exchange. The stripe lock is always taken alone.
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ Targets
enum : i32 {
  ImageTypeNone = 0,
  ImageTypeJpeg = 1,
  ImageTypePng = 2,
};

// One conversion target. The filter and edge numbers are the resampler's own enumeration
// values, passed to it unchanged.
struct Target {
  i32 image_type; // ImageType*
  u64 width;      // 0: not set
  u64 height;
  u32 bg_color; // packed 0xRRGGBBAA: the lowest byte is the opacity
  u8 quality;   // JPEG quality 0..100; 0 not set
  u64 max_bytes;
  i32 resampling_filter; // 0 default, 1 box, 2 triangle, 3 cubic B-spline, 4 Catmull-Rom, 5 Mitchell, 6 point
  i32 edge_mode;         // 0 clamp, 1 reflect, 2 wrap, 3 zero
  i32 pixel_layout;      // channel count 1..4; 0 not set
};

struct TargetNode {
  TargetNode *next;
  Target *target;
};

struct TargetList {
  TargetNode *first;
  TargetNode *last;
  u64 count;
};

//~ Claims
// A source path that a worker converts, or converted and kept for a later attempt.
struct ClaimEntry {
  ClaimEntry *next;
  ClaimEntry *prev;
  u32 busy;     // atomic: 1 while a worker holds the path
  FileProps recorded; // the source's version when the entry was made or last released
  FileProps settled;  // the version an attempt decided to leave in place (refused, unusable,
                      // unreadable, failed): nothing is tried on it again until it changes
  FileProps warned;   // the version whose failed write was reported: its retries stay silent
  u64 seen_since_us;  // clock_now_us when the recorded version was first seen
  u64 retry_pause_us; // the pause before the warned version is tried again; grows with each failure
  Str8 failed_folder; // where the warned version's write failed, in a buffer of the stripe's arena
  u64 failed_capacity; // bytes of that buffer, kept when the entry is reused
  u64 failed_bytes;   // the size of the file that could not be written there
  Str8 path;          // the key, copied into the stripe's arena
  u64 path_capacity;  // bytes reserved for the path, kept when the entry is reused
};


// Buckets of ClaimEntry lists, one SRW lock per stripe; removed entries wait on their stripe's
// free list, so memory does not grow with every path.
typedef StripedTable<ClaimEntry> ClaimTable;

//~ Application state
struct AppState {
  Arena *arena;
  u32 default_targets; // 1 when the built-in targets are in use
  TargetList targets;
  Str8 out_folder;
  Str8 in_folder;
  Str8 metadatas_folder;
  Str8 unsupported_folder; // "<out>/unsupported": where files that are not pictures are moved
  StringRing conversion_queue;
  ClaimTable claims;
  u64 thread_count;
  OsObject **workers;
  u64 max_pixels;   // sources with more pixels are refused before decoding
  bool keep_orientation; // -orientation=stored: outputs are not turned upright
  bool keep_color;       // -color=stored: outputs are not converted to sRGB
  u64 workers_busy; // atomic: workers between taking a path and the end of its cycle
};

AppState *app_state();

