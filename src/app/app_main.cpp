// Application entry: options, set-up, the option summary, then the scan loop.
#include <cstdio>

#include "app/app_main.h"
#include "app/app_claims.h"
#include "intake/intake.h"
#include "vantor_version.h" // written into the build folder by the build

//~ Scan
struct ScanFolder {
  ScanFolder *next;
  Str8 path;
};

static bool app_scan_is_skipped(Str8 folder, const Str8 *skip, u64 skip_count) {
  for (u64 i = 0; i < skip_count; i += 1) {
    if (skip[i].size > 0 && str8_equals(folder, skip[i], 0)) {
      return true;
    }
  }
  return false;
}

// A normalised root folder ends in its separator ("/"); anything below it must not get a
// second one, or the skip comparison would miss it.
static Str8 app_scan_child_path(Arena *arena, Str8 folder, Str8 name) {
  if (str8_ends_with(folder, str8_lit("/"), 0)) {
    return arena_format(arena, "%S%S", folder, name);
  }
  return arena_format(arena, "%S/%S", folder, name);
}

u64 app_scan_tree(Arena *arena, Str8 root, const Str8 *skip, u64 skip_count, ScanOffer *offer, void *context) {
  if (root.size == 0 || app_scan_is_skipped(root, skip, skip_count)) {
    return 0;
  }

  u64 files = 0;
  ScanFolder first = {nullptr, root};
  ScanFolder *last = &first;
  for (ScanFolder *folder = &first; folder; folder = folder->next) {
    DirIter *iter = dir_iter_open(arena, folder->path, 0);
    if (!iter) {
      continue;
    }
    DirEntry entry = {};
    while (dir_iter_next(arena, iter, &entry)) {
      Str8 path = app_scan_child_path(arena, folder->path, entry.name);
      if (entry.flags & FilePropsFolder) {
        if (!app_scan_is_skipped(path, skip, skip_count)) {
          ScanFolder *node = arena_push<ScanFolder>(arena);
          node->path = path;
          last->next = node;
          last = node;
        }
      } else {
        offer(context, path);
        files += 1;
      }
    }
    dir_iter_close(iter);
  }
  return files;
}

//~ Scan pass
// The main loop's passes remember each folder of the input tree: its last-write time, its
// sub-folders and how many of its files were not settled when it was last listed. A folder
// whose time has not changed, whose files were all settled and which was listed less than
// ScanRelistUs ago is not listed again: adding, removing or renaming a file changes the
// time, and a settled file that changes in place is found by the intake, whose count of such
// finds makes the next pass list everything. The time of a network share's folder may be
// coarse or late, so every folder is listed at least every ScanRelistUs anyway.
static constexpr u64 ScanRelistUs = 3000000;
// The intake reads ahead of the workers only while it holds fewer bytes than this and has
// fewer reads than this waiting.
static constexpr u64 ScanReadAheadBytes = mib(64);
static constexpr u64 ScanReadAheadReads = 64;

static bool scan_may_read_ahead() {
  IntakeStats *c = intake_counters();
  u64 waiting = atomic_load_u64(&c->reads_queued) - atomic_load_u64(&c->reads_finished);
  return waiting < ScanReadAheadReads && atomic_load_u64(&c->live_bytes) < ScanReadAheadBytes;
}

struct ScanFolderMemo {
  ScanFolderMemo *next; // bucket chain
  Str8 path;
  u64 modified_ns;
  u64 listed_us; // clock_now_us of the last listing
  u64 pending;   // files not settled at the last listing
  Str8 *children; // sub-folder paths at the last listing
  u64 child_count;
};

// Two generations: a pass builds the next one from the last, so memory follows the tree.
struct ScanMemory {
  Arena *arenas[2];
  ScanFolderMemo **buckets[2];
  u32 current;
  u64 settled_changed; // the intake's count when the last pass ran
  bool started;
};
static constexpr u64 ScanMemoBuckets = 1024;
static ScanMemory g_scan_memory;

static ScanFolderMemo *scan_memo_find(ScanFolderMemo **buckets, Str8 path) {
  for (ScanFolderMemo *m = buckets[str8_hash(path) % ScanMemoBuckets]; m; m = m->next) {
    if (str8_equals(m->path, path, 0)) return m;
  }
  return nullptr;
}

struct ScanPassContext {
  AppState *state;
  u64 *pending;
  u64 folder_pending;
};

// Neither call waits: a full queue drops the path and a later pass offers it again.
static void app_scan_offer(void *context, Str8 path) {
  ScanPassContext *pass = (ScanPassContext *)context;
  if (intake_settled(path)) return;
  pass->folder_pending += 1;
  if (pass->pending) *pass->pending += 1;
  if (scan_may_read_ahead()) intake_request(path, 0);
  string_ring_push(&pass->state->conversion_queue, path, 0);
}

u64 app_scan_pass(Arena *arena, u64 *pending) {
  AppState *state = app_state();
  ScanMemory *memory = &g_scan_memory;
  if (!memory->started) {
    for (u32 g = 0; g < 2; g += 1) memory->arenas[g] = arena_create(mib(64), kib(64));
    memory->started = true;
  }
  if (pending) *pending = 0;
  Str8 skip[2] = {state->out_folder, state->metadatas_folder};
  Str8 root = state->in_folder;
  if (root.size == 0 || app_scan_is_skipped(root, skip, 2)) return 0;

  // the next generation
  u32 last = memory->current, next = last ^ 1;
  arena_reset(memory->arenas[next]);
  memory->buckets[next] = arena_push<ScanFolderMemo *>(memory->arenas[next], ScanMemoBuckets);
  ScanFolderMemo **previous = memory->buckets[last];
  Arena *keep = memory->arenas[next];
  u64 changed = intake_stats().settled_changed;
  bool relist_all = changed != memory->settled_changed;
  memory->settled_changed = changed;
  u64 now = clock_now_us();

  ScanPassContext pass = {state, pending, 0};
  u64 files = 0;
  ScanFolder first = {nullptr, root};
  ScanFolder *tail = &first;
  for (ScanFolder *folder = &first; folder; folder = folder->next) {
    FileProps props = file_props_from_path(folder->path);
    if (!(props.flags & FilePropsFolder)) continue;
    ScanFolderMemo *old = previous ? scan_memo_find(previous, folder->path) : nullptr;
    ScanFolderMemo *memo = arena_push<ScanFolderMemo>(keep);
    u64 b = str8_hash(folder->path) % ScanMemoBuckets;
    memo->next = memory->buckets[next][b];
    memory->buckets[next][b] = memo;
    memo->path = str8_copy(keep, folder->path);
    memo->modified_ns = props.modified_ns;

    bool unchanged = old && !relist_all && old->pending == 0 && old->modified_ns == props.modified_ns &&
                     now - old->listed_us < ScanRelistUs;
    if (unchanged) {
      memo->listed_us = old->listed_us;
      memo->children = arena_push<Str8>(keep, old->child_count);
      memo->child_count = old->child_count;
      for (u64 i = 0; i < old->child_count; i += 1) memo->children[i] = str8_copy(keep, old->children[i]);
    } else {
      // list it: files are offered, sub-folders remembered
      memo->listed_us = now;
      pass.folder_pending = 0;
      Str8List children = {};
      Scratch scratch = scratch_begin(arena);
      DirIter *iter = dir_iter_open(scratch.arena, folder->path, DirTypesOnly);
      DirEntry entry = {};
      while (iter && dir_iter_next(scratch.arena, iter, &entry)) {
        Str8 path = app_scan_child_path(scratch.arena, folder->path, entry.name);
        if (entry.flags & FilePropsFolder) {
          if (!app_scan_is_skipped(path, skip, 2)) str8_list_add(scratch.arena, &children, path);
        } else {
          app_scan_offer(&pass, path);
          files += 1;
        }
      }
      if (iter) dir_iter_close(iter);
      memo->pending = pass.folder_pending;
      memo->children = arena_push<Str8>(keep, children.node_count);
      for (Str8Node *n = children.first; n; n = n->next) {
        memo->children[memo->child_count++] = str8_copy(keep, n->string);
      }
      scratch_end(scratch);
    }
    for (u64 i = 0; i < memo->child_count; i += 1) {
      ScanFolder *node = arena_push<ScanFolder>(arena);
      node->path = memo->children[i];
      tail->next = node;
      tail = node;
    }
  }
  memory->current = next;
  return files;
}

//~ Entry
static void app_print_help() {
  printf("Converter - Help -\n");
  printf("\tin:        folder path images to convert\n");
  printf("\tout:       folder path images converted (produced by the program).\n");
  printf("\ttargets:   file path which specify the image details conversion. None will used default targets.\n");
  printf("\tmetadatas: folder path images converted's metadatas. Which can be used to extract informations of "
         "them.\n");
}

static void app_print_version() {
  printf("vantor %s\nstb %s\nlibdeflate %s\nlibb2 %s\n", VANTOR_VERSION, VANTOR_STB_VERSION,
         VANTOR_LIBDEFLATE_VERSION, VANTOR_LIBB2_VERSION);
}

void app_main(ArgTable *table) {
  // --version (or -version) answers before set-up, which would create the folders
  if (arg_flag(table, str8_lit("version"))) {
    app_print_version();
    fflush(stdout);
    return;
  }

  // options; the targets path lives for the whole run
  Arena *options_arena = arena_create(kib(512), kib(256));
  bool help = arg_flag(table, str8_lit("help"));
  bool drain = arg_flag(table, str8_lit("drain"));
  Str8 targets_path = arg_value(table, str8_lit("targets"));
  if (targets_path.size > 0) {
    targets_path = path_normalize(options_arena, targets_path);
  }
  u64 thread = arg_u64(table, str8_lit("thread"));
  Str8 metadatas = arg_value(table, str8_lit("metadatas"));
  Str8 in = arg_value(table, str8_lit("in"));
  Str8 out = arg_value(table, str8_lit("out"));
  u64 max_pixels = arg_u64(table, str8_lit("max_pixels"));

  // set-up, then the summary and whatever the user should know about the options
  Str8List problems = {};
  u32 running = app_setup(out, in, metadatas, thread, targets_path, max_pixels, &problems);
  if (running) {
    AppState *state = app_state();
    Str8 targets_text = state->default_targets ? str8_lit("default") : targets_path;
    printf("Options:\n\tin:        %.*s\n\tout:       %.*s\n\tmetadatas: %.*s\n\ttargets:   %.*s\n\tthread:    "
           "%d\n\nWaiting for PNG/JPEG files...\n",
           (int)state->in_folder.size, (const char *)state->in_folder.str, (int)state->out_folder.size,
           (const char *)state->out_folder.str, (int)state->metadatas_folder.size,
           (const char *)state->metadatas_folder.str, (int)targets_text.size, (const char *)targets_text.str,
           (int)state->thread_count);
    for (Str8Node *n = problems.first; n; n = n->next) {
      printf("%.*s\n", (int)n->string.size, (const char *)n->string.str);
    }
    fflush(stdout);
  } else {
    printf("Unable to run the program, check paramaters.\n");
  }

  // the loop: it ends after the help text, or once a drain is done
  while (running) {
    Scratch scratch = scratch_mark(thread_scratch_arena(nullptr, 0));
    if (help) {
      app_print_help();
      fflush(stdout);
      running = 0;
    } else {
      // Drain mode ends once nothing is left that a worker could still change: every file in
      // the tree has had an attempt since its last change and no worker is in a cycle.
      u64 pending = 0;
      app_scan_pass(scratch.arena, drain ? &pending : nullptr);
      // A settled file that changed a moment ago may not have been looked at yet: all of them
      // are, before the drain ends.
      if (drain && pending == 0 && atomic_load_u64(&app_state()->workers_busy) == 0 && intake_recheck_settled() == 0) {
        running = 0;
      }
      scratch_restore(scratch);
      if (running) sleep_ms(100);
    }
    sleep_ms(100);
    scratch_restore(scratch);
  }

  printf("[Vantor] ended.\n");
  fflush(stdout);
}

const ProcessHooks *process_hooks() {
  static const ProcessHooks hooks = {content_store_start, intake_start, app_main};
  return &hooks;
}
