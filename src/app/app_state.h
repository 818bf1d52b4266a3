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
#include "convert/convert.h"

//~ Application state
struct AppState {
  Arena *arena;
  u32 default_targets; // 1 when the built-in targets are in use
  TargetList targets;
  Str8 out_folder;
  Str8 in_folder;
  Str8 metadatas_folder;
  Str8 unsupported_folder; // "<out>/unsupported": where files that are not pictures are moved
  StringRing conversion_queue; // each path once: every pass offers what is pending again
  ClaimTable claims;
  u64 thread_count;
  OsObject **workers;
  u64 max_pixels;   // sources with more pixels are refused before decoding
  u64 png_level;    // libdeflate's level for PNG outputs, 1..12
  bool keep_orientation; // -orientation=stored: outputs are not turned upright
  bool keep_color;       // -color=stored: outputs are not converted to sRGB
  u64 workers_busy; // atomic: workers between taking a path and the end of its cycle
  u64 sources_waiting; // atomic: what the main loop's last pass found pending (with -metrics)
  WorkerWatch *watch;  // one per worker: what it holds and since when
  Str8 metrics_url;    // where the metrics server answers; empty when it is off
  ConvertShared shared; // what the workers read of the above
};

AppState *app_state();

