// Set-up of AppState: folders, targets, conversion queue, ClaimTable and the workers.
#include <atomic>

#include "app/app.h"
#include "intake/intake.h"
#include "convert/convert.h"
#include "vantor_install.h" // written into the build folder by the build

//~ Targets
static constexpr Target app_builtin_target(u64 width, u64 height, u8 quality, i32 filter) {
  Target t = {};
  t.width = width;
  t.height = height;
  t.quality = quality;
  t.resampling_filter = filter;
  return t;
}

// The first has no size: the source at its own size. Filter 5 is Mitchell. They set no byte
// budget: one would only add notes to the many letterboxed PNGs a budget cannot shrink.
static constexpr Target app_builtin_target_table[] = {
    app_builtin_target(0, 0, 0, 0),
    app_builtin_target(100, 100, 60, 5),
    app_builtin_target(300, 300, 60, 5),
    app_builtin_target(1920, 1080, 80, 5),
};

const Target *app_builtin_targets(u64 *count) {
  *count = sizeof(app_builtin_target_table) / sizeof(app_builtin_target_table[0]);
  return app_builtin_target_table;
}

void target_list_add(Arena *arena, TargetList *list, Target target) {
  Target *copy = arena_push<Target>(arena);
  *copy = target;
  TargetNode *node = arena_push<TargetNode>(arena);
  node->target = copy;
  sll_queue_push(list->first, list->last, node);
  list->count += 1;
}

//- names of the text-valued keys
struct NamedNumber {
  const char *name;
  i32 number;
};

// Image types are the names of the conversion layer's formats; layouts use our own numbers;
// filters and edge modes are the resampler's enumeration values, passed to it unchanged.
static const NamedNumber app_filter_names[] = {
    {"BOX", 1}, {"TRIANGLE", 2}, {"CUBICBSPLINE", 3}, {"CATMULLROM", 4}, {"MITCHELL", 5}, {"POINT_SAMPLE", 6},
};
static const NamedNumber app_edge_names[] = {{"CLAMP", 0}, {"REFLECT", 1}, {"WRAP", 2}, {"ZERO", 3}};
static const NamedNumber app_layout_names[] = {{"RGBA", 4}, {"RGB", 3}};
static const NamedNumber app_fit_names[] = {{"pad", FitPad}, {"inside", FitInside}, {"cover", FitCover}};
static const NamedNumber app_crop_names[] = {{"center", CropCenter}, {"attention", CropAttention}};
static const NamedNumber app_keep_names[] = {{"icc", KeepIcc},   {"exif", KeepExif},
                                             {"gps", KeepGps},   {"xmp", KeepXmp},
                                             {"iptc", KeepIptc}, {"copyright", KeepCopyright},
                                             {"all", KeepAll},   {"none", 0}};

// The names people may write, for a warning: "CLAMP, REFLECT, WRAP or ZERO".
static Str8 app_names_text(Arena *arena, const NamedNumber *names, u64 count) {
  Str8List text = {};
  for (u64 i = 0; i < count; i += 1) {
    if (i > 0) str8_list_add(arena, &text, i + 1 == count ? str8_lit(" or ") : str8_lit(", "));
    str8_list_add(arena, &text, str8_cstring(names[i].name));
  }
  return str8_list_join(arena, &text, nullptr);
}

// Where a target's mistakes are told: the file's text, for lines and columns, and its name.
struct TargetWarnings {
  Arena *arena;
  Str8List *problems;
  Str8 text;
  Str8 path;
};

static void app_target_warn(const TargetWarnings *warn, const DocNode *value, Str8 message) {
  if (!warn || !warn->problems) return;
  DocPosition at = doc_error_position(warn->text, value->offset);
  str8_list_addf(warn->arena, warn->problems, "warning: targets file %S:%llu:%llu: %S", warn->path,
                 (unsigned long long)at.line, (unsigned long long)at.column, message);
}

//- reading targets
static Str8 app_target_number(DocNode *node, const char *key) {
  return doc_child_value(node, str8_cstring(key), MatchIgnoreCase, DocValueNumber);
}

// The value doc_child_value reads for a text-valued key, as a node (for its place in the file);
// null when there is none.
static DocNode *app_target_text_node(DocNode *node, const char *key) {
  for (DocNode *child = node->first; !doc_node_is_nil(child); child = child->next) {
    if (str8_equals(child->text, str8_cstring(key), MatchIgnoreCase) && !doc_node_is_nil(child->first) &&
        child->first->value_type == DocValueString) {
      return child->first;
    }
  }
  return nullptr;
}

// The number of a text-valued key's name; a name not in the list is warned about and leaves 0,
// the key unset.
template <u64 N>
static i32 app_target_named(DocNode *node, const char *key, const NamedNumber (&names)[N], const TargetWarnings *warn) {
  DocNode *value = app_target_text_node(node, key);
  if (!value) return 0;
  for (u64 i = 0; i < N; i += 1) {
    if (str8_equals(value->text, str8_cstring(names[i].name), MatchIgnoreCase)) return names[i].number;
  }
  if (warn && warn->problems) {
    Scratch scratch = scratch_begin(warn->arena);
    app_target_warn(warn, value,
                    arena_format(scratch.arena, "\"%S\" is not a value of %s (%S); it is left unset.", value->text, key,
                                 app_names_text(scratch.arena, names, N)));
    scratch_restore(scratch);
  }
  return 0;
}

static i32 app_target_image_type(DocNode *node, const TargetWarnings *warn) {
  DocNode *value = app_target_text_node(node, "image_type");
  if (!value) return FileTypeNone;
  const ImageFormat *format = format_of_name(value->text);
  if (format && format->encode) return (i32)format->file_type;
  if (warn && warn->problems) {
    Scratch scratch = scratch_begin(warn->arena);
    // the table's "JPEG, PNG, WEBP and AVIF", as a choice
    Str8 names = format_names(scratch.arena, true);
    Str8 choice = names;
    for (u64 at = names.size; at >= 5; at -= 1) {
      if (str8_equals(str8_slice(names, range_make(at - 5, at)), str8_lit(" and "), 0)) {
        choice = arena_format(scratch.arena, "%S or %S", str8_keep_front(names, at - 5), str8_drop_front(names, at));
        break;
      }
    }
    app_target_warn(warn, value,
                    arena_format(scratch.arena, "\"%S\" is not a value of image_type (%S); it is left unset.",
                                 value->text, choice));
    scratch_restore(scratch);
  }
  return FileTypeNone;
}

// "exif, copyright": each name adds its part; one not in the list is warned about and left out.
static u32 app_target_keep(DocNode *node, const TargetWarnings *warn) {
  DocNode *value = app_target_text_node(node, "keep");
  if (!value) return 0;
  u32 keep = 0;
  const u8 separators[] = {',', ' ', '\t'};
  Scratch scratch = scratch_begin(warn ? warn->arena : nullptr);
  Str8List items = str8_split_by(scratch.arena, value->text, separators, sizeof(separators), 0);
  for (Str8Node *item = items.first; item; item = item->next) {
    if (item->string.size == 0) continue;
    bool known = false;
    for (const NamedNumber &name : app_keep_names) {
      if (str8_equals(item->string, str8_cstring(name.name), MatchIgnoreCase)) {
        keep |= (u32)name.number;
        known = true;
        break;
      }
    }
    if (!known && warn && warn->problems) {
      app_target_warn(warn, value,
                      arena_format(scratch.arena, "\"%S\" is not a value of keep (%S); it is left out.", item->string,
                                   app_names_text(scratch.arena, app_keep_names, sizeof(app_keep_names) / sizeof(app_keep_names[0]))));
    }
  }
  scratch_restore(scratch);
  return keep;
}

static Target app_target_from_node(DocNode *node, const TargetWarnings *warn) {
  Target t = {};
  u64 quality = u64_from_str8(app_target_number(node, "quality"), 10);
  t.quality = (u8)min_of<u64>(quality, 100);
  t.lossless = u64_from_str8(app_target_number(node, "lossless"), 10) != 0;
  t.bg_color = (u32)u64_from_str8(app_target_number(node, "bg_color"), 10);
  t.width = u64_from_str8(app_target_number(node, "width"), 10);
  t.height = u64_from_str8(app_target_number(node, "height"), 10);
  t.max_bytes = u64_from_str8(app_target_number(node, "max_bytes"), 10);
  t.image_type = app_target_image_type(node, warn);
  t.resampling_filter = app_target_named(node, "resampling_filter", app_filter_names, warn);
  t.edge_mode = app_target_named(node, "edge_mode", app_edge_names, warn);
  t.pixel_layout = app_target_named(node, "pixel_layout", app_layout_names, warn);
  t.fit = (u8)app_target_named(node, "fit", app_fit_names, warn);
  t.crop = (u8)app_target_named(node, "crop", app_crop_names, warn);
  Str8 enlarge = app_target_number(node, "enlarge");
  t.no_enlarge = enlarge.size > 0 && u64_from_str8(enlarge, 10) == 0;
  t.keep = app_target_keep(node, warn);
  return t;
}

Target target_from_doc_node(DocNode *node) { return app_target_from_node(node, nullptr); }

u64 app_targets_from_text(Arena *arena, TargetList *list, Str8 text, Str8 path, Str8List *problems) {
  Scratch scratch = scratch_begin(arena);
  DocTokenArray tokens = targets_tokenize(scratch.arena, text);
  TargetsDocument doc = targets_parse(scratch.arena, text, tokens);

  // rejected tokens, where the user can find them
  if (problems) {
    for (DocErrorEntry *e = doc.errors.first; e; e = e->next) {
      DocPosition at = doc_error_position(text, e->node ? e->node->offset : 0);
      str8_list_addf(arena, problems, "warning: targets file %S:%llu:%llu: %S", path, (unsigned long long)at.line,
                     (unsigned long long)at.column, e->message);
    }
  }

  // every child of the first "targets" node counts, objects or not
  TargetWarnings warn = {arena, problems, text, path};
  u64 added = 0;
  DocNode *targets = doc_find_by_text(doc.root, str8_lit("targets"), MatchIgnoreCase);
  if (!doc_node_is_nil(targets)) {
    for (DocNode *child = targets->first; !doc_node_is_nil(child); child = child->next) {
      target_list_add(arena, list, app_target_from_node(child, &warn));
      added += 1;
    }
  }

  scratch_restore(scratch);
  return added;
}

// An empty read is either an empty file or one we could not read; only the second is worth
// a "cannot read" line.
static bool app_file_is_readable(Str8 path) {
  FileProps props = file_props_from_path(path);
  if (!(props.flags & FilePropsExists) || (props.flags & FilePropsFolder)) {
    return false;
  }
  FileHandle file = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, path);
  if (!file) {
    return false;
  }
  file_close(file);
  return true;
}

TargetList app_targets_load(Arena *arena, Str8 path, u32 *default_targets, Str8List *problems) {
  TargetList list = {};
  *default_targets = 0;

  bool readable = false;
  if (path.size > 0) {
    Arena *doc_arena = arena_create(kib(32), kib(32));
    Str8 text = file_read_all(doc_arena, path);
    readable = text.size > 0 || app_file_is_readable(path);
    if (readable) {
      app_targets_from_text(arena, &list, text, path, problems);
    } else if (problems) {
      str8_list_addf(arena, problems, "warning: cannot read targets file %S; using the default targets", path);
    }
    arena_destroy(doc_arena);
  }

  if (list.count == 0) {
    *default_targets = 1;
    u64 count = 0;
    const Target *builtin = app_builtin_targets(&count);
    for (u64 i = 0; i < count; i += 1) {
      target_list_add(arena, &list, builtin[i]);
    }
    if (readable && problems) {
      str8_list_addf(arena, problems, "warning: no target in targets file %S; using the default targets", path);
    }
  }
  return list;
}

//~ Folders
bool app_runs_installed() {
  Str8 installed = str8_cstring(VANTOR_INSTALL_BINDIR);
  Str8 exe = proc_info()->exe_folder;
  return installed.size > 1 && (str8_equals(exe, installed, 0) || str8_ends_with(exe, installed, 0));
}

Str8 app_folder_resolve(Arena *arena, Str8 given, Str8 default_name) {
  if (given.size > 0) {
    return path_normalize(arena, given);
  }
  if (app_runs_installed()) {
    return path_normalize(arena, default_name);
  }
  Scratch scratch = scratch_begin(arena);
  Str8 joined = arena_format(scratch.arena, "%S/%S", proc_info()->exe_folder, default_name);
  Str8 result = path_normalize(arena, joined);
  scratch_restore(scratch);
  return result;
}

//~ Set-up
// Published before the workers start; atomic because a test process may set up more than once
// while earlier workers still read it.
static std::atomic<AppState *> app_state_pointer{nullptr};

AppState *app_state() { return app_state_pointer.load(std::memory_order_acquire); }

u64 app_thread_count(u64 threads, u64 processor_count) {
  u64 t = threads ? threads : processor_count;
  return clamp_of<u64>(1, t, AppMaxThreads);
}

// A working folder on disk, made when missing, that can be used for what it is for: the input
// listed, the output and metadata folders written. False, with one "error:" line naming the
// folder, its use and the system's reason, when it cannot.
static bool app_folder_ready(Arena *arena, Str8 folder, Str8 use, bool listed, Str8List *problems) {
  FileProps props = file_props_from_path(folder);
  Str8 failure = {};
  if ((props.flags & FilePropsExists) && !(props.flags & FilePropsFolder)) {
    failure = str8_lit("is not a folder");
  } else if (!folder_make_chain(folder)) {
    failure = arena_format(arena, "cannot be created: %S", file_last_error_text(arena));
  } else if (listed && !folder_can_list(folder)) {
    failure = arena_format(arena, "cannot be listed: %S", file_last_error_text(arena));
  } else if (!listed && !folder_can_take(folder, 0)) {
    failure = arena_format(arena, "cannot be written: %S", file_last_error_text(arena));
  }
  if (failure.size == 0) return true;
  if (problems) str8_list_addf(arena, problems, "error: the %S folder %S %S", use, folder, failure);
  return false;
}

u32 app_setup(const AppOptions *options, Str8List *problems) {
  // the state, in an arena that lives as long as the process
  Arena *arena = arena_create(mib(2), kib(16));
  AppState *state = arena_push<AppState>(arena);
  state->arena = arena;
  state->max_pixels = options->max_pixels ? options->max_pixels : AppDefaultMaxPixels;
  state->png_level = options->png_level ? options->png_level : AppDefaultPngLevel;
  state->keep_orientation = options->keep_orientation;
  state->keep_color = options->keep_color;

  // folders
  state->in_folder = app_folder_resolve(arena, options->in, str8_lit("in"));
  state->out_folder = app_folder_resolve(arena, options->out, str8_lit("out"));
  state->metadatas_folder = app_folder_resolve(arena, options->metadatas, str8_lit("metadatas"));
  state->unsupported_folder = arena_format(arena, "%S/unsupported", state->out_folder);

  // targets
  state->targets = app_targets_load(arena, options->targets_path, &state->default_targets, problems);

  // folders on disk, each usable for what it is for, or the run ends here
  Str8 same_as = str8_equals(state->in_folder, state->out_folder, 0)         ? str8_lit("output")
                 : str8_equals(state->in_folder, state->metadatas_folder, 0) ? str8_lit("metadata")
                                                                               : Str8{};
  if (same_as.size > 0) {
    if (problems) {
      str8_list_addf(arena, problems, "error: the input folder %S is also the %S folder; nothing in it could be converted",
                     state->in_folder, same_as);
    }
    return 0;
  }
  if (!app_folder_ready(arena, state->in_folder, str8_lit("input"), true, problems) ||
      !app_folder_ready(arena, state->out_folder, str8_lit("output"), false, problems) ||
      !app_folder_ready(arena, state->metadatas_folder, str8_lit("metadata"), false, problems)) {
    return 0;
  }
  // the workers' watch, and the metrics server when asked for: its socket before anything is
  // started or written, so that an address it cannot use ends the run with nothing changed
  state->thread_count = app_thread_count(options->threads, sys_info()->processor_count);
  state->watch = arena_push<WorkerWatch>(arena, state->thread_count);
  for (u64 i = 0; i < state->thread_count; i += 1) state->watch[i].lock = cs_create();
  if (options->metrics.size > 0) {
    MetricsWatched watched = {state->out_folder,   state->metadatas_folder, state->watch,
                              state->thread_count, &state->workers_busy,    &state->sources_waiting};
    Str8List refused = {};
    if (!metrics_start(arena, options->metrics, &watched, &state->metrics_url, &refused)) {
      if (problems) str8_list_append_list(problems, &refused);
      return 0;
    }
  }
  // This instance's heartbeat in the shared input folder, before it claims or writes anything;
  // then what killed runs left where outputs are written goes, never a live instance's.
  instances_start(arena, state->in_folder, problems);
  InstanceFolders written = {state->in_folder, state->out_folder, state->unsupported_folder, state->metadatas_folder};
  instances_sweep_start(arena, &written);

  // conversion queue and claim table
  string_ring_init(&state->conversion_queue, arena, AppConversionQueueBytes, true);
  claim_table_init(&state->claims, arena, state->thread_count);

  // the encoder's one shared setting, before any worker can encode
  codec_set_png_compression_level((int)state->png_level);

  // published complete; the workers read it from their first step on
  ConvertShared *shared = &state->shared;
  shared->targets = state->targets;
  shared->in_folder = state->in_folder;
  shared->out_folder = state->out_folder;
  shared->metadatas_folder = state->metadatas_folder;
  shared->unsupported_folder = state->unsupported_folder;
  shared->max_pixels = state->max_pixels;
  shared->keep_orientation = state->keep_orientation;
  shared->keep_color = state->keep_color;
  shared->queue = &state->conversion_queue;
  shared->claims = &state->claims;
  shared->workers_busy = &state->workers_busy;
  shared->watch = state->watch;
  convert_share(shared);
  // the streamers leave alone what another instance sharing the input folder works on
  intake_set_read_gate(convert_source_held);
  app_state_pointer.store(state, std::memory_order_release);
  state->workers = arena_push<OsObject *>(arena, state->thread_count);
  for (u64 i = 0; i < state->thread_count; i += 1) {
    state->workers[i] = thread_create(conversion_worker, i);
  }
  return 1;
}
