// Application entry: options, set-up, the option summary, then the scan loop.
#include <cstdio>

#include "app/app_main.h"
#include "intake/intake.h"
#include "convert/convert.h"
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

u64 app_scan_walk(Arena *arena, Str8 root, const Str8 *skip, u64 skip_count, const ScanHooks *hooks, void *context) {
  if (root.size == 0 || app_scan_is_skipped(root, skip, skip_count)) {
    return 0;
  }

  u64 files = 0;
  ScanFolder first = {nullptr, root};
  ScanFolder *last = &first;
  for (ScanFolder *folder = &first; folder; folder = folder->next) {
    Str8 *kept = nullptr;
    u64 kept_count = 0;
    if (hooks->visit && !hooks->visit(context, folder->path, &kept, &kept_count)) {
      for (u64 i = 0; i < kept_count; i += 1) {
        ScanFolder *node = arena_push<ScanFolder>(arena);
        node->path = kept[i];
        sll_queue_push(first.next, last, node);
      }
      continue;
    }
    // the listing and the files' paths last only as long as the folder's turn
    Scratch scratch = scratch_begin(arena);
    Str8List children = {};
    Str8List names = {}; // kept only to offer them in turn
    DirIter *iter = dir_iter_open(scratch.arena, folder->path, DirTypesOnly);
    DirEntry entry = {};
    while (iter && dir_iter_next(scratch.arena, iter, &entry)) {
      if (entry.flags & FilePropsFolder) {
        Str8 path = app_scan_child_path(arena, folder->path, entry.name);
        if (!app_scan_is_skipped(path, skip, skip_count)) {
          str8_list_add(scratch.arena, &children, path);
          ScanFolder *node = arena_push<ScanFolder>(arena);
          node->path = path;
          sll_queue_push(first.next, last, node);
        }
      } else {
        if (hooks->offer && hooks->rotate == 0) {
          hooks->offer(context, app_scan_child_path(scratch.arena, folder->path, entry.name));
        } else if (hooks->offer) {
          str8_list_add(scratch.arena, &names, str8_copy(scratch.arena, entry.name));
        }
        files += 1;
      }
    }
    if (iter) dir_iter_close(iter);
    if (names.node_count > 0) {
      Str8Array listed = str8_array_from_list(scratch.arena, &names);
      for (u64 i = 0, at = hooks->rotate % listed.count; i < listed.count; i += 1, at = (at + 1) % listed.count) {
        hooks->offer(context, app_scan_child_path(scratch.arena, folder->path, listed.v[at]));
      }
    }
    if (hooks->listed) hooks->listed(context, folder->path, &children);
    scratch_restore(scratch);
  }
  return files;
}

u64 app_scan_tree(Arena *arena, Str8 root, const Str8 *skip, u64 skip_count, ScanOffer *offer, void *context) {
  ScanHooks hooks = {nullptr, offer, nullptr, 0};
  return app_scan_walk(arena, root, skip, skip_count, &hooks, context);
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
  u64 folder_pending; // of the folder being listed
  ScanFolderMemo **previous; // the last generation's buckets, null on the first pass
  ScanFolderMemo **buckets;  // the next generation's
  Arena *keep;               // the next generation's arena
  ScanFolderMemo *memo;      // of the folder being listed
  bool relist_all;
  u64 now;
};

// Neither call waits: a full queue drops the path and a later pass offers it again. A path
// still waiting in the queue stays there once: on a network share every look at a file that
// a worker pops again (gone by then, or held) is a round trip to the server.
static void app_scan_offer(void *context, Str8 path) {
  ScanPassContext *pass = (ScanPassContext *)context;
  if (intake_settled(path)) return;
  pass->folder_pending += 1;
  if (pass->pending) *pass->pending += 1;
  if (scan_may_read_ahead()) intake_request(path, 0);
  string_ring_push(&pass->state->conversion_queue, path, 0);
}

static Str8 *scan_copy_paths(Arena *arena, Str8 *paths, u64 count) {
  Str8 *copies = arena_push<Str8>(arena, count);
  for (u64 i = 0; i < count; i += 1) copies[i] = str8_copy(arena, paths[i]);
  return copies;
}

// Every folder gets a memo in the next generation; an unchanged one keeps its last listing.
static bool app_scan_visit(void *context, Str8 folder, Str8 **children, u64 *child_count) {
  ScanPassContext *pass = (ScanPassContext *)context;
  FileProps props = file_props_from_path(folder);
  if (!(props.flags & FilePropsFolder)) return false;
  ScanFolderMemo *old = pass->previous ? scan_memo_find(pass->previous, folder) : nullptr;
  ScanFolderMemo *memo = arena_push<ScanFolderMemo>(pass->keep);
  sll_stack_push(pass->buckets[str8_hash(folder) % ScanMemoBuckets], memo);
  memo->path = str8_copy(pass->keep, folder);
  memo->modified_ns = props.modified_ns;

  bool unchanged = old && !pass->relist_all && old->pending == 0 && old->modified_ns == props.modified_ns &&
                   pass->now - old->listed_us < ScanRelistUs;
  if (unchanged) {
    memo->listed_us = old->listed_us;
    memo->child_count = old->child_count;
    memo->children = scan_copy_paths(pass->keep, old->children, old->child_count);
    *children = memo->children;
    *child_count = memo->child_count;
    return false;
  }
  memo->listed_us = pass->now;
  pass->memo = memo;
  pass->folder_pending = 0;
  return true;
}

static void app_scan_listed(void *context, Str8, Str8List *children) {
  ScanPassContext *pass = (ScanPassContext *)context;
  ScanFolderMemo *memo = pass->memo;
  memo->pending = pass->folder_pending;
  memo->children = arena_push<Str8>(pass->keep, children->node_count);
  for (Str8Node *n = children->first; n; n = n->next) {
    memo->children[memo->child_count++] = str8_copy(pass->keep, n->string);
  }
}

u64 app_scan_pass(Arena *arena, u64 *pending) {
  AppState *state = app_state();
  ScanMemory *memory = &g_scan_memory;
  if (!memory->started) {
    for (u32 g = 0; g < 2; g += 1) memory->arenas[g] = arena_create(mib(64), kib(64));
    memory->started = true;
  }
  if (pending) *pending = 0;

  // the next generation
  u32 last = memory->current, next = last ^ 1;
  arena_reset(memory->arenas[next]);
  ScanPassContext pass = {};
  pass.state = state;
  pass.pending = pending;
  pass.previous = memory->buckets[last];
  pass.keep = memory->arenas[next];
  pass.buckets = memory->buckets[next] = arena_push<ScanFolderMemo *>(pass.keep, ScanMemoBuckets);
  u64 changed = intake_stats().settled_changed;
  pass.relist_all = changed != memory->settled_changed;
  memory->settled_changed = changed;
  pass.now = clock_now_us();

  Str8 skip[3] = {state->out_folder, state->metadatas_folder, instances_folder()};
  // Instances sharing the folder each start from a place of their own in it, so that they
  // seldom reach for the same source (and read it) at once.
  ScanHooks hooks = {app_scan_visit, app_scan_offer, app_scan_listed, instances_scan_rotation()};
  u64 files = app_scan_walk(arena, state->in_folder, skip, 3, &hooks, &pass);
  memory->current = next;
  return files;
}

//~ Entry
static void app_print_help(Arena *arena) {
  printf("Converter - Help -\n");
  printf("\tin:        folder path images to convert\n");
  printf("\tout:       folder path images converted (produced by the program).\n");
  printf("\ttargets:   file path which specify the image details conversion. None will used default targets.\n");
  Str8 read = format_names(arena, false), written = format_names(arena, true);
  printf("\timage types: reads %.*s; writes %.*s.\n", (int)read.size, (char *)read.str, (int)written.size,
         (char *)written.str);
  printf("\tmetadatas: folder path images converted's metadatas. Which can be used to extract informations of "
         "them.\n");
  printf("\torientation: upright (default) turns the outputs as a viewer shows the photo; stored keeps them as "
         "stored.\n");
  printf("\tcolor:     sRGB (default) converts the outputs of a photo with a colour profile to sRGB; stored keeps "
         "its numbers.\n");
  printf("\tpng_level: 1 (fastest) to 12 (smallest, the default): how hard PNG outputs are compressed; their names "
         "do not change.\n");
  printf("\tthread:    how many pictures are converted at once, 1 to %llu; 0 (the default): the number of "
         "processors.\n",
         (unsigned long long)AppMaxThreads);
  printf("\tmax_pixels: pictures with more pixels than this are left in place; 0 (the default): %llu.\n",
         (unsigned long long)AppDefaultMaxPixels);
  printf("\tdrain:     end once every file in the input folder has been converted or tried and left in place.\n");
  printf("\t--quiet:   on a crash, end without the crash report; also turns the progress line off.\n");
  printf("\t--version: print the versions of the program and of its libraries, then end.\n");
}

//~ Options
// Every key the program reads; "quiet" is start-up's, "version" ends the program before it.
static const char *const app_known_keys[] = {"in",    "out",   "metadatas",   "targets", "thread",
                                             "max_pixels", "help", "drain", "quiet",       "orientation",
                                             "color", "png_level", "version"};

static bool app_key_is_known(Str8 key) {
  for (const char *known : app_known_keys) {
    if (str8_equals(key, str8_cstring(known), 0)) return true;
  }
  return false;
}

static u64 app_number_option(Arena *arena, ArgTable *table, const char *key, const char *default_text,
                             Str8List *warnings) {
  u64 value = 0;
  if (!arg_u64_read(table, str8_cstring(key), &value)) {
    str8_list_addf(arena, warnings, "warning: %s value \"%S\" is not a number; using the default (%s)", key,
                   arg_value(table, str8_cstring(key)), default_text);
  }
  return value;
}

// A choice between the sound default and "stored" (any letter case); another value is warned
// about and the default kept.
static bool app_stored_option(Arena *arena, ArgTable *table, const char *key, const char *default_text,
                              Str8List *warnings) {
  Str8 value = arg_value(table, str8_cstring(key));
  if (value.size == 0 || str8_equals(value, str8_cstring(default_text), MatchIgnoreCase)) return false;
  if (str8_equals(value, str8_lit("stored"), MatchIgnoreCase)) return true;
  str8_list_addf(arena, warnings, "warning: %s value \"%S\" is neither %s nor stored; using the default (%s)", key,
                 value, default_text, default_text);
  return false;
}

AppCommandLine app_command_line_read(Arena *arena, ArgTable *table) {
  AppCommandLine line = {};
  line.help = arg_flag(table, str8_lit("help"));
  line.drain = arg_flag(table, str8_lit("drain"));
  AppOptions *options = &line.options;
  options->targets_path = arg_value(table, str8_lit("targets"));
  if (options->targets_path.size > 0) {
    options->targets_path = path_normalize(arena, options->targets_path);
  }
  options->metadatas = arg_value(table, str8_lit("metadatas"));
  options->in = arg_value(table, str8_lit("in"));
  options->out = arg_value(table, str8_lit("out"));

  u64 index = 0;
  for (Str8Node *n = table->keys.first; n; n = n->next, index += 1) {
    if (index >= table->program_key_count && !app_key_is_known(n->string)) {
      str8_list_addf(arena, &line.warnings, "warning: unknown option \"%S\"; it is ignored", n->string);
    }
  }
  options->threads = app_number_option(arena, table, "thread", "the processor count", &line.warnings);
  Str8 max_pixels_default = arena_format(arena, "%llu", (unsigned long long)AppDefaultMaxPixels);
  options->max_pixels =
      app_number_option(arena, table, "max_pixels", (const char *)max_pixels_default.str, &line.warnings);
  // A level outside 1..12 is warned about like a value that is no number.
  options->png_level = app_number_option(arena, table, "png_level", "12", &line.warnings);
  Str8 png_level = arg_value(table, str8_lit("png_level"));
  u64 level = 0;
  bool readable = png_level.size > 0 && arg_u64_read(table, str8_lit("png_level"), &level);
  if (readable && (level == 0 || level > AppDefaultPngLevel)) {
    str8_list_addf(arena, &line.warnings,
                   "warning: png_level value \"%S\" is not between 1 and 12; using the default (12)", png_level);
    options->png_level = 0;
  }
  options->keep_orientation = app_stored_option(arena, table, "orientation", "upright", &line.warnings);
  options->keep_color = app_stored_option(arena, table, "color", "sRGB", &line.warnings);
  return line;
}

//~ Progress and summary
// The status line on a terminal, redrawn at most four times a second; the rate is that of the
// last two seconds or so.
static constexpr u64 ProgressRedrawUs = 250000;
static constexpr u32 ProgressSamples = 8;

struct Progress {
  u64 drawn_us;
  u64 sample_us[ProgressSamples];
  u64 sample_done[ProgressSamples];
  u32 next;
  u32 count;
};

static void progress_draw(Progress *p, Arena *arena, u64 waiting) {
  u64 now = clock_now_us();
  if (p->count > 0 && now - p->drawn_us < ProgressRedrawUs) return;
  OutcomeTally tally = outcome_tally_read(false);
  u64 done = tally.converted + tally.set_aside;
  u32 oldest = p->count < ProgressSamples ? 0 : p->next;
  double rate = 0;
  if (p->count > 0 && now > p->sample_us[oldest]) {
    rate = (double)(done - p->sample_done[oldest]) * 1e6 / (double)(now - p->sample_us[oldest]);
  }
  p->sample_us[p->next] = now;
  p->sample_done[p->next] = done;
  p->next = (p->next + 1) % ProgressSamples;
  p->count = min_of(p->count + 1, ProgressSamples);
  p->drawn_us = now;
  console_status_show(arena_format(arena, "%llu converted, %llu left in place, %llu waiting, %.1f files/s",
                                   (unsigned long long)tally.converted, (unsigned long long)tally.left_total,
                                   (unsigned long long)waiting, rate));
}

static Str8 drain_summary(Arena *arena, u64 elapsed_us, const OutcomeTally *t) {
  auto n = [](u64 v) { return (unsigned long long)v; };
  return arena_format(arena,
                      "[Vantor] drained in %.1f s: %llu converted, %llu left in place (too large %llu, cut short or "
                      "empty %llu, not decodable %llu, unreadable %llu, write failed %llu, could not be deleted "
                      "%llu), %llu unsupported set aside.\n",
                      (double)elapsed_us / 1e6, n(t->converted), n(t->left_total), n(t->left[TallyTooLarge]),
                      n(t->left[TallyCutShortOrEmpty]), n(t->left[TallyNotDecodable]), n(t->left[TallyUnreadable]), n(t->left[TallyWriteFailed]),
                      n(t->left[TallyNotDeleted]), n(t->set_aside));
}

//~ Entry
static void app_print_version() {
  printf("vantor %s\nstb %s\nlibdeflate %s\nlibb2 %s\nlibxxhash %s\nlcms2 %s\nlibheif %s\nlibwebp %s\n",
         VANTOR_VERSION, VANTOR_STB_VERSION, VANTOR_LIBDEFLATE_VERSION, VANTOR_LIBB2_VERSION,
         VANTOR_LIBXXHASH_VERSION, VANTOR_LCMS2_VERSION, VANTOR_LIBHEIF_VERSION, VANTOR_LIBWEBP_VERSION);
}

int app_main(ArgTable *table) {
  // --version (or -version) answers before set-up, which would create the folders
  if (arg_flag(table, str8_lit("version"))) {
    app_print_version();
    fflush(stdout);
    return AppExitDone;
  }

  // options; the targets path lives for the whole run
  Arena *options_arena = arena_create(kib(512), kib(256));
  AppCommandLine line = app_command_line_read(options_arena, table);
  AppOptions options = line.options;
  bool help = line.help, drain = line.drain;

  // what becomes of the sources is counted for the drain's summary and the status line, from
  // before the first worker starts
  bool status_line = !help && console_status_wanted();
  if (drain || status_line) outcome_tally_enable();

  // set-up, then the summary and whatever the user should know about the options
  Str8List problems = {};
  u32 running = app_setup(&options, &problems);
  if (running) {
    AppState *state = app_state();
    Str8 targets_text = state->default_targets ? str8_lit("default") : options.targets_path;
    printf("Options:\n\tin:        %.*s\n\tout:       %.*s\n\tmetadatas: %.*s\n\ttargets:   %.*s\n\tthread:    "
           "%d\n\torientation: %s\n\tcolor:     %s\n\tpng_level: %d\n\nWaiting for PNG/JPEG files...\n",
           (int)state->in_folder.size, (const char *)state->in_folder.str, (int)state->out_folder.size,
           (const char *)state->out_folder.str, (int)state->metadatas_folder.size,
           (const char *)state->metadatas_folder.str, (int)targets_text.size, (const char *)targets_text.str,
           (int)state->thread_count, state->keep_orientation ? "stored" : "upright",
           state->keep_color ? "stored" : "sRGB", (int)state->png_level);
    str8_list_append_list(&problems, &line.warnings);
    for (Str8Node *n = problems.first; n; n = n->next) {
      printf("%.*s\n", (int)n->string.size, (const char *)n->string.str);
    }
    fflush(stdout);
  } else {
    for (Str8Node *n = problems.first; n; n = n->next) {
      printf("%.*s\n", (int)n->string.size, (const char *)n->string.str);
    }
    printf("Unable to run the program, check paramaters.\n");
    fflush(stdout);
  }
  int status = running ? AppExitDone : AppExitUsage;

  // the loop: it ends after the help text, or once a drain is done
  u64 started_us = clock_now_us();
  u64 held_until_us = 0; // a drain that buried an instance goes on at least until then
  Progress progress = {};
  while (running) {
    Scratch scratch = scratch_mark(thread_scratch_arena(nullptr, 0));
    if (help) {
      app_print_help(scratch.arena);
      fflush(stdout);
      running = 0;
    } else {
      // Drain mode ends once nothing is left that a worker could still change: every file in
      // the tree has had an attempt since its last change and no worker is in a cycle. A source
      // that a live instance sharing the folder claimed is that one's (settled for a while);
      // one whose claimer went quiet is not, and is asked about again until it is taken over.
      u64 pending = 0;
      if (instances_bury_gone(false) > 0) held_until_us = clock_now_us() + ElsewhereRecheckUs;
      app_scan_pass(scratch.arena, drain || status_line ? &pending : nullptr);
      if (status_line) progress_draw(&progress, scratch.arena, pending);
      // A settled file that changed a moment ago may not have been looked at yet: all of them
      // are, before the drain ends. A neighbour killed since the last look for gone instances
      // left temporaries that only its burial sweeps, so the drain looks once more and ends
      // only when that look buried no one; the sources that a buried instance held are asked
      // about again first, as they are anyone's now.
      bool idle = drain && pending == 0 && atomic_load_u64(&app_state()->workers_busy) == 0 &&
                  intake_recheck_settled() == 0;
      if (idle && clock_now_us() >= held_until_us) {
        if (instances_bury_gone(true) > 0) {
          held_until_us = clock_now_us() + ElsewhereRecheckUs;
        } else {
          running = 0;
        }
      }
      scratch_restore(scratch);
      if (running) sleep_ms(100);
    }
    sleep_ms(100);
    scratch_restore(scratch);
  }

  if (status == AppExitDone) instances_stop();
  if (status_line) console_status_clear();
  if (drain && status == AppExitDone && !help) {
    Scratch scratch = scratch_mark(thread_scratch_arena(nullptr, 0));
    outcome_tally_report_cut_short();
    OutcomeTally tally = outcome_tally_read(true);
    console_print(drain_summary(scratch.arena, clock_now_us() - started_us, &tally));
    if (tally.left_total > 0) status = AppExitLeftInPlace;
    scratch_restore(scratch);
  }
  console_print(str8_lit("[Vantor] ended.\n"));
  return status;
}

const ProcessHooks *process_hooks() {
  static const ProcessHooks hooks = {content_store_start, intake_start, app_main};
  return &hooks;
}
