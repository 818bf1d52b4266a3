// Set-up: builds the process-wide AppState once, on the main thread, before the scan loop.
//
// The target list and folder helpers below are pure (they start no thread and touch no
// process-wide state), so they can be used and tested on their own; app_setup is the one call
// that publishes AppState and starts the conversion workers.
#pragma once

#include "app/app_state.h"
#include "app/app_targets_doc.h"

//~ Limits
// Sources with more pixels than this are refused before decoding unless -max_pixels says
// otherwise (128 Mi pixels: half a GiB as 8-bit RGBA).
constexpr u64 AppDefaultMaxPixels = 134217728;
// PNG outputs are compressed at libdeflate's strongest level unless -png_level says otherwise.
constexpr u64 AppDefaultPngLevel = 12;
constexpr u64 AppMaxThreads = 16;
constexpr u64 AppConversionQueueBytes = 524288;

//~ Targets
// The four targets used when no target comes from a file, in order.
const Target *app_builtin_targets(u64 *count);

void target_list_add(Arena *arena, TargetList *list, Target target);

// One target from one child of the "targets" key. Keys are matched ignoring ASCII case;
// anything but an object (a bare number or text) has no keys and gives the all-zero target.
Target target_from_doc_node(DocNode *node);

// Appends one target per child of the first "targets" node of the document text, in order,
// and one problem line per rejected token (with its line and column in `path`). Returns how
// many targets were added. Targets, nodes and lines live in `arena`.
u64 app_targets_from_text(Arena *arena, TargetList *list, Str8 text, Str8 path, Str8List *problems);

// Reads the targets file (an empty path asks for the built-in targets). When the file cannot
// be read or yields no target, the built-in targets are used, *default_targets is set to 1
// and a problem line says why.
TargetList app_targets_load(Arena *arena, Str8 path, u32 *default_targets, Str8List *problems);

//~ Folders
// True when the program runs from the folder it is installed to ("<prefix>/bin", also below
// a staging root such as an unpacked package): its own folder is then no place for work.
bool app_runs_installed();
// The given folder, or, when it is empty, "<default_name>" in the current folder for an
// installed program and "<exe folder>/<default_name>" otherwise; absolute and normalised.
Str8 app_folder_resolve(Arena *arena, Str8 given, Str8 default_name);

//~ Set-up
// The worker count for a thread option: the option, or the processor count when it is 0,
// clamped to 1..16.
u64 app_thread_count(u64 threads, u64 processor_count);

// The options set-up is given; empty views and zero numbers ask for the defaults.
struct AppOptions {
  Str8 in = {};
  Str8 out = {};
  Str8 metadatas = {};
  Str8 targets_path = {}; // already normalised
  u64 threads = 0;
  u64 max_pixels = 0;
  u64 png_level = 0; // 1..12
  bool keep_orientation = false; // outputs keep the stored orientation instead of showing upright
  bool keep_color = false;       // outputs keep the stored colour numbers instead of sRGB
  Str8 metrics = {};             // "<address>:<port>" of the metrics server; empty: none
};

// Builds AppState in an arena of its own and publishes it once it is complete: folders
// (created on disk), this instance's heartbeat in the input folder, the temporary files of
// killed runs removed from the output and metadata folders (never a live instance's),
// targets, conversion queue, ClaimTable and the encoder's PNG level, then
// starts the worker threads. Problems worth telling the user (an unreadable targets file,
// rejected tokens) are appended to *problems, when given, as lines without a line feed living
// in the AppState arena. Returns 0, with one "error:" line, when a working folder cannot be
// used (it cannot be made, is not a folder, the input cannot be listed, the output or metadata
// folder cannot be written, or the input is one of the other two), or when the metrics server
// was asked for and cannot listen: nothing is published and no worker starts then. Returns 1
// otherwise.
u32 app_setup(const AppOptions *options, Str8List *problems);
