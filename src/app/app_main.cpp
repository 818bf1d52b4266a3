// Application entry: options, set-up, the option summary, then the scan loop.
#include <cstdio>

#include "app/app_main.h"
#include "app/app_claims.h"
#include "intake/intake.h"

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

struct ScanPassContext {
  AppState *state;
  u64 *pending;
};

// Neither call waits: a full queue drops the path and a later pass offers it again.
static void app_scan_offer(void *context, Str8 path) {
  ScanPassContext *pass = (ScanPassContext *)context;
  if (pass->pending && !claim_settled(&pass->state->claims, path, file_props_from_path(path))) {
    *pass->pending += 1;
  }
  intake_request(path, 0);
  ring_push(&pass->state->conversion_queue, path, 0);
}

u64 app_scan_pass(Arena *arena, u64 *pending) {
  AppState *state = app_state();
  Str8 skip[2] = {state->out_folder, state->metadatas_folder};
  ScanPassContext pass = {state, pending};
  if (pending) *pending = 0;
  return app_scan_tree(arena, state->in_folder, skip, 2, app_scan_offer, &pass);
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

void app_main(ArgTable *table) {
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

  // the loop: only the help option ends it
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
      if (drain && pending == 0 && atomic_load_u64(&app_state()->workers_busy) == 0) {
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
