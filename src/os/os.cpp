// The OS layer's portable half: the argument copies, the process entry body, the
// command-line parser, file times, whole-file reads, folder chains, temporary-file names, the
// string ring and the message report. Everything below calls only the per-system operations
// of os.h, never the system itself.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "os/os.h"

//~ Process start-up and facts
// Written by process_init on the main thread before any other thread exists; read-only after.
static u32 g_quiet;
static int g_argc;
static char **g_argv;
static ThreadContext g_main_thread_context;
static ProcInfo g_proc_info;

ProcInfo *proc_info() { return &g_proc_info; }

u32 process_quiet() { return g_quiet; }
int process_argc() { return g_argc; }
char **process_argv() { return g_argv; }

// Copied so they outlive whatever the caller does with argv.
void process_args_keep(int argc, char **argv) {
  Arena *args = arena_create(mib(1), kib(32));
  char **copies = arena_push<char *>(args, (u64)max_of(argc, 0) + 1);
  for (int i = 0; i < argc; i += 1) {
    Str8 arg = str8_copy(args, str8_cstring(argv[i]));
    copies[i] = (char *)arg.str;
    if (str8_equals(arg, str8_lit("--quiet"), MatchIgnoreCase)) g_quiet = 1;
  }
  g_argc = max_of(argc, 0);
  g_argv = copies;
}

void process_init_facts() {
  process_init_system(&g_proc_info);
  thread_context_init(&g_main_thread_context);

  // process facts, kept for the whole run
  Arena *startup = arena_create(mib(64), kib(64));
  sys_info()->machine_name = machine_name_query(startup);
  g_proc_info.exe_folder = exe_folder_query(startup);
  g_proc_info.current_folder = current_directory(startup);
  g_proc_info.user_data_folder = user_data_folder_query(startup);
  environment_query(startup, &g_proc_info.environment);

  sync_pool_init();
  sync_threads_start();
}

void process_init(int argc, char **argv) {
  process_init_facts();
  process_args_keep(argc, argv);
}

int process_startup(int argc, char **argv) {
  process_init(argc, argv);
  return process_entry(process_hooks()->app_main, process_argc(), process_argv());
}

int process_entry(AppEntry *app_entry, int argc, char **argv) {
  thread_set_main_name("[main thread]");

  // The table stays live in this region until the application entry returns; the entry's
  // own scratch regions nest above it.
  Scratch scratch = scratch_mark(thread_scratch_arena(nullptr, 0));
  Str8List args = arg_list_from_argv(scratch.arena, argc, argv);
  ArgTable *table = arg_table_parse(scratch.arena, args);

  const ProcessHooks *hooks = process_hooks();
  if (hooks && hooks->content_store_start) {
    hooks->content_store_start();
  }
  if (hooks && hooks->intake_start) {
    hooks->intake_start();
  }
  int status = app_entry ? app_entry(table) : 0;
  scratch_restore(scratch);
  return status;
}

//~ Command line
Str8List arg_list_from_argv(Arena *arena, int argc, char **argv) {
  Str8List list = {};
  for (int i = 0; i < argc; i += 1) {
    str8_list_add(arena, &list, str8_cstring(argv[i]));
  }
  return list;
}

//- splitting a command line
static bool arg_is_blank(u8 c) { return c == ' ' || c == '\t'; }

// The program's path ends at the first space or tab, or, when it starts with a double quote,
// at the next one; it has no escapes. Every further argument ends at a space or tab outside
// double quotes, which group and are dropped: 2n backslashes and a quote give n backslashes
// and open or close the quoting, 2n + 1 backslashes and a quote give n backslashes and a
// literal quote, other backslashes stay as they are, and two quotes inside quotes give one.
// Only ASCII bytes are looked at, so UTF-8 splits as its UTF-16 would.
Str8List arg_list_from_command_line(Arena *arena, Str8 line) {
  Str8List list = {};
  // Each argument comes out no longer than the stretch of the line it was read from, and its
  // terminating zero takes the place of the blank (or the line's end) after it.
  u8 *out = arena_push<u8>(arena, line.size + 1);
  u64 i = 0, n = line.size;

  // the program's path
  u8 *start = out;
  if (n > 0 && line.str[0] == '"') {
    for (i = 1; i < n && line.str[i] != '"'; i += 1) *out++ = line.str[i];
    if (i < n) i += 1;
  } else {
    for (; i < n && !arg_is_blank(line.str[i]); i += 1) *out++ = line.str[i];
  }
  *out++ = 0;
  str8_list_add(arena, &list, str8(start, (u64)(out - 1 - start)));

  // the arguments
  for (;;) {
    while (i < n && arg_is_blank(line.str[i])) i += 1;
    if (i == n) break;
    start = out;
    bool quoted = false;
    while (i < n && (quoted || !arg_is_blank(line.str[i]))) {
      u64 slashes = 0;
      while (i < n && line.str[i] == '\\') {
        slashes += 1;
        i += 1;
      }
      bool quote = i < n && line.str[i] == '"';
      for (u64 k = 0; k < (quote ? slashes / 2 : slashes); k += 1) *out++ = '\\';
      if (!quote) {
        if (slashes == 0) *out++ = line.str[i++];
      } else if (slashes % 2 == 1) {
        *out++ = '"';
        i += 1;
      } else if (quoted && i + 1 < n && line.str[i + 1] == '"') {
        *out++ = '"';
        i += 2;
      } else {
        quoted = !quoted;
        i += 1;
      }
    }
    *out++ = 0;
    str8_list_add(arena, &list, str8(start, (u64)(out - 1 - start)));
  }
  return list;
}

//- parsing
static void arg_table_insert(ArgTable *table, ArgEntry *entry) {
  ArgBucket *bucket = &table->buckets[str8_hash(entry->key) % table->bucket_count];
  sll_queue_push(bucket->first, bucket->last, entry);
}

ArgTable *arg_table_parse(Arena *arena, Str8List args) {
  ArgTable *table = arena_push<ArgTable>(arena);
  table->bucket_count = 64;
  table->buckets = arena_push<ArgBucket>(arena, table->bucket_count);

  // entries: every argument is one token, whatever spaces or quotes it holds; a separator with
  // nothing (or a comma) after it lets the next argument continue the value
  const u8 comma = ',';
  ArgEntry *pending = nullptr;
  for (Str8Node *n = args.first; n; n = n->next) {
    Str8 token = str8_trim_space(n->string);
    if (pending) {
      Str8List pieces = str8_split_by(arena, token, &comma, 1, SplitKeepEmpty);
      str8_list_append_list(&pending->values, &pieces);
      if (!str8_ends_with(token, str8_lit(","), 0)) {
        pending = nullptr;
      }
      continue;
    }

    u64 dashes = 0;
    if (str8_starts_with(token, str8_lit("-"), 0)) {
      dashes += 1;
    }
    if (str8_starts_with(token, str8_lit("--"), 0)) {
      dashes += 1;
    }
    Str8 rest = str8_drop_front(token, dashes);
    u64 colon = str8_find(rest, str8_lit(":"), 0, 0);
    u64 equals = str8_find(rest, str8_lit("="), 0, 0);
    u64 split = min_of(colon, equals);

    ArgEntry *entry = arena_push<ArgEntry>(arena);
    entry->key = str8_keep_front(rest, split);
    arg_table_insert(table, entry);
    str8_list_add(arena, &table->keys, entry->key);
    if (n == args.first) table->program_key_count = 1;

    Str8 inline_value = split + 1 < rest.size ? str8_drop_front(rest, split + 1) : Str8{};
    if (inline_value.size > 0) {
      str8_list_add(arena, &entry->values, inline_value);
    }
    if (split < rest.size && (inline_value.size == 0 || str8_ends_with(inline_value, str8_lit(","), 0))) {
      pending = entry;
    }
  }

  // joined values
  JoinParams join = {};
  join.separator = str8_lit(",");
  for (u64 b = 0; b < table->bucket_count; b += 1) {
    for (ArgEntry *e = table->buckets[b].first; e; e = e->next) {
      e->value = str8_list_join(arena, &e->values, &join);
    }
  }
  return table;
}

//- lookups
static ArgEntry *arg_table_find(ArgTable *table, Str8 key) {
  if (!table || table->bucket_count == 0) {
    return nullptr;
  }
  ArgBucket *bucket = &table->buckets[str8_hash(key) % table->bucket_count];
  for (ArgEntry *e = bucket->first; e; e = e->next) {
    if (str8_equals(e->key, key, 0)) {
      return e;
    }
  }
  return nullptr;
}

Str8 arg_value(ArgTable *table, Str8 key) {
  ArgEntry *entry = arg_table_find(table, key);
  return entry ? entry->value : Str8{};
}

bool arg_flag(ArgTable *table, Str8 key) {
  ArgEntry *entry = arg_table_find(table, key);
  if (!entry) {
    return false;
  }
  return entry->value.size == 0 || str8_equals(entry->value, str8_lit("true"), MatchIgnoreCase) ||
         str8_equals(entry->value, str8_lit("1"), MatchIgnoreCase);
}

u64 arg_u64(ArgTable *table, Str8 key) { return u64_from_str8(arg_value(table, key), 10); }

bool arg_u64_read(ArgTable *table, Str8 key, u64 *value) {
  Str8 text = arg_value(table, key);
  *value = 0;
  u64 number = 0;
  for (u64 i = 0; i < text.size; i += 1) {
    u8 c = text.str[i];
    if (!char_is_digit(c) || number > (~0ull - (c - '0')) / 10) return false;
    number = number * 10 + (c - '0');
  }
  *value = number;
  return true;
}

//~ Files and folders
DenseTime dense_time_from_date_time(DateTime dt) {
  u64 t = dt.year;
  t = t * 12 + dt.month;
  t = t * 31 + dt.day;
  t = t * 24 + dt.hour;
  t = t * 60 + dt.minute;
  t = t * 61 + dt.second;
  t = t * 1000 + dt.millisecond;
  return t;
}

// Days run 1..31 under a factor of 31, so day 31 of a month packs like a day 0 of the next:
// a zero day remainder is borrowed back from the month.
DateTime date_time_from_dense_time(DenseTime t) {
  DateTime dt = {};
  dt.millisecond = (u16)(t % 1000);
  t /= 1000;
  dt.second = (u8)(t % 61);
  t /= 61;
  dt.minute = (u8)(t % 60);
  t /= 60;
  dt.hour = (u8)(t % 24);
  t /= 24;
  u64 day = t % 31;
  t /= 31;
  if (day == 0 && t > 0) {
    day = 31;
    t -= 1;
  }
  dt.day = (u8)day;
  dt.month = (u8)(t % 12);
  dt.year = (u16)(t / 12);

  // week day (0 = Sunday) of the Gregorian date
  static const u8 month_offsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  u64 y = dt.year;
  if (dt.month < 2 && y > 0) {
    y -= 1;
  }
  dt.week_day = (u8)((y + y / 4 - y / 100 + y / 400 + month_offsets[dt.month] + dt.day) % 7);
  return dt;
}

bool file_props_same_version(FileProps a, FileProps b) {
  u32 kind = FilePropsExists | FilePropsUnreachable;
  return (a.flags & kind) == (b.flags & kind) && a.size == b.size &&
         a.modified_ns == b.modified_ns;
}

//- reading
// The allocation is sized by the range cut to the file's current length, so a wide range
// (say [0, ~0)) never asks the arena for more than the file holds.
Str8 file_read_into_arena(Arena *arena, FileHandle file, RangeU64 range) {
  if (file == 0 || range.max <= range.min) return Str8{};
  FileProps props = file_props_from_handle(file);
  u64 end = min_of(range.max, props.size);
  u64 first = min_of(range.min, end);
  u64 capacity = end - first;
  if (capacity == 0) return Str8{};
  u8 *buffer = (u8 *)arena_alloc(arena, capacity, 8);
  u64 got = file_read_range(file, RangeU64{first, end}, buffer);
  arena_give_back(arena, capacity - got);
  return got ? str8(buffer, got) : Str8{};
}

Str8 file_read_all(Arena *arena, Str8 path) {
  FileHandle file = file_open(FileOpenRead | FileShareRead, path);
  if (file == 0) return Str8{};
  FileProps props = file_props_from_handle(file);
  Str8 data = file_read_into_arena(arena, file, RangeU64{0, props.size});
  file_close(file);
  return data;
}

//- whole-file writes
bool file_write_all(Str8 path, Str8 data, u32 flags) {
  Scratch scratch = scratch_begin(nullptr);
  PendingWrite write = {};
  bool ok = file_write_begin(scratch.arena, path, data, flags, &write);
  if (ok) file_write_commit(&write, 1, &ok);
  scratch_restore(scratch);
  return ok && data.size > 0;
}

//- moving aside
// Numbered names end somewhere: a folder holding a million files of the same name is a
// failure, not a loop.
static constexpr u64 MoveNumberedNames = 1000000;

Str8 file_numbered_name(Arena *arena, Str8 path, u64 number) {
  Str8 folder = str8_parent_folder(path);
  Str8 name = str8_file_name(path);
  Str8 stem = str8_drop_extension(name);
  // a leading dot starts a name, not an extension
  if (stem.size == 0) stem = name;
  Str8 extension = str8_drop_front(name, stem.size);
  return folder.size < path.size ? arena_format(arena, "%S/%S.%I64u%S", folder, stem, number, extension)
                                 : arena_format(arena, "%S.%I64u%S", stem, number, extension);
}

Str8 file_move_to_free_name(Arena *arena, Str8 from, Str8 to) {
  if (!folder_make_parents(to)) return Str8{};
  Str8 candidate = to;
  for (u64 number = 1;; number += 1) {
    FileMoveResult moved = file_move_no_replace(from, candidate);
    if (moved == FileMoveDone) return candidate;
    if (moved == FileMoveFailed || number > MoveNumberedNames) return Str8{};
    candidate = file_numbered_name(arena, to, number);
  }
}

//- writes that keep other bytes
// Whether the file at `path` is a file of `size` bytes whose every chunk `same` accepts, given
// the chunk's offset, its bytes and their count.
template <typename F> static bool file_compare(Str8 path, u64 size, F same) {
  FileProps props = file_props_from_path(path);
  if (!(props.flags & FilePropsExists) || (props.flags & FilePropsFolder) || props.size != size) return false;
  FileHandle file = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, path);
  if (!file) return false;
  Scratch scratch = scratch_begin(nullptr);
  constexpr u64 Chunk = mib(1);
  u8 *buffer = arena_push_uninit<u8>(scratch.arena, Chunk);
  bool equal = true;
  for (u64 at = 0; equal && at < size; at += Chunk) {
    u64 count = min_of(size - at, Chunk);
    equal = file_read_range(file, RangeU64{at, at + count}, buffer) == count && same(at, buffer, count);
  }
  scratch_restore(scratch);
  file_close(file);
  return equal;
}

bool file_holds(Str8 path, Str8 bytes) {
  return file_compare(path, bytes.size, [&](u64 at, const u8 *chunk, u64 count) {
    return memcmp(chunk, bytes.str + at, count) == 0;
  });
}

bool file_same_bytes(Str8 a, Str8 b) {
  FileProps pb = file_props_from_path(b);
  if (!(pb.flags & FilePropsExists) || (pb.flags & FilePropsFolder)) return false;
  FileHandle other = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, b);
  if (!other) return false;
  Scratch scratch = scratch_begin(nullptr);
  u8 *buffer = arena_push_uninit<u8>(scratch.arena, mib(1));
  bool same = file_compare(a, pb.size, [&](u64 at, const u8 *chunk, u64 count) {
    return file_read_range(other, RangeU64{at, at + count}, buffer) == count && memcmp(chunk, buffer, count) == 0;
  });
  scratch_restore(scratch);
  file_close(other);
  return same;
}

bool file_place_keeping_other(PendingWrite *write) {
  Str8 wanted = write->path;
  Str8 candidate = wanted;
  for (u64 number = 1;; number += 1) {
    FileMoveResult moved = file_rename_no_replace(write->temp, candidate);
    if (moved == FileMoveFailed) return false;
    if (moved == FileMoveDone || file_same_bytes(write->temp, candidate)) {
      if (moved != FileMoveDone) file_delete(write->temp);
      write->path = candidate;
      return true;
    }
    if (number > MoveNumberedNames) return false;
    candidate = file_numbered_name(write->arena, wanted, number);
  }
}

//- temporaries
static const Str8 TempPrefix = str8_lit(".vantor-");
static const Str8 TempSuffix = str8_lit(".tmp");
static std::atomic<u64> g_temp_counter;

// Unique per run, process and thread; the counter keeps one thread's writes apart.
Str8 file_temp_path(Arena *arena, Str8 path, u64 instance_id, u32 process_id, u32 thread_id) {
  u64 cut = path.size;
  for (u64 i = 0; i < path.size; i += 1) {
    if (char_is_slash(path.str[i])) cut = i;
  }
  Str8 folder = cut < path.size ? str8_keep_front(path, cut + 1) : Str8{};
  u64 counter = g_temp_counter.fetch_add(1);
  return arena_format(arena, "%S%S%016llx-%u-%u-%llu%S", folder, TempPrefix, (unsigned long long)instance_id,
                      process_id, thread_id, (unsigned long long)counter, TempSuffix);
}

bool file_is_temp_name(Str8 name, u64 *instance_id) {
  if (name.size <= TempPrefix.size + TempSuffix.size) return false;
  if (!str8_starts_with(name, TempPrefix, 0) || !str8_ends_with(name, TempSuffix, 0)) return false;
  Str8 middle = str8_slice(name, RangeU64{TempPrefix.size, name.size - TempSuffix.size});
  // the instance's 16 hex digits first, except in the names of earlier versions
  constexpr u64 InstanceDigits = 16;
  bool instance = middle.size > InstanceDigits && middle.str[InstanceDigits] == '-';
  for (u64 i = 0; instance && i < InstanceDigits; i += 1) {
    instance = char_is_digit(middle.str[i]) || (middle.str[i] >= 'a' && middle.str[i] <= 'f');
  }
  u64 writer = TempNoInstance;
  if (instance) {
    writer = 0;
    for (u64 i = 0; i < InstanceDigits; i += 1) {
      u8 c = middle.str[i];
      writer = writer * 16 + (char_is_digit(c) ? u64(c - '0') : u64(c - 'a' + 10));
    }
    middle = str8_drop_front(middle, InstanceDigits + 1);
  }
  u32 numbers = 0;
  u64 digits = 0;
  for (u64 i = 0; i <= middle.size; i += 1) {
    if (i == middle.size || middle.str[i] == '-') {
      if (digits == 0) return false;
      numbers += 1;
      digits = 0;
    } else if (char_is_digit(middle.str[i])) {
      digits += 1;
    } else {
      return false;
    }
  }
  if (numbers != 3) return false;
  if (instance_id) *instance_id = writer;
  return true;
}

// Without `gone`, meant for start-up before this process writes into the folder: a temporary
// of a write in progress matches the same pattern.
u64 folder_remove_stale_temporaries(Str8 folder, TempWriterGone *gone, void *context) {
  if (folder.size == 0) return 0;
  Scratch scratch = scratch_begin(nullptr);
  u64 removed = 0;
  DirIter *iter = dir_iter_open(scratch.arena, folder, DirSkipFolders | DirTypesOnly);
  DirEntry entry;
  while (dir_iter_next(scratch.arena, iter, &entry)) {
    u64 writer = 0;
    if (!file_is_temp_name(entry.name, &writer)) continue;
    Str8 path = arena_format(scratch.arena, "%S/%S", folder, entry.name);
    if (gone && !gone(context, writer, path)) continue;
    if (file_delete(path)) removed += 1;
  }
  dir_iter_close(iter);
  scratch_restore(scratch);
  return removed;
}

//- folder chains
// Separators cut pieces (a backslash only where the system takes it for one), and empty
// pieces count. The first piece of a rooted path (the empty piece before its leading
// "/") or a drive such as "E:" is never made; a relative path's first piece is a real folder
// and is made like the others. A zero byte anywhere fails before anything is made.
static bool os_make_folders(Str8 path, bool include_last) {
  if (path.size && memchr(path.str, 0, path.size)) return false;
  Scratch scratch = scratch_begin(nullptr);
  Str8 chain = str8_copy(scratch.arena, path);
  for (u64 i = 0; i < chain.size; i += 1) {
    chain.str[i] = char_fold_slash(chain.str[i]);
  }
  // The deepest folder asked for is nearly always there already: one look at it instead of one
  // at every folder on the way.
  u64 deepest = chain.size;
  if (!include_last) {
    while (deepest > 0 && chain.str[deepest - 1] != '/') deepest -= 1;
    deepest = deepest > 0 ? deepest - 1 : 0;
  }
  if (deepest > 0 && (file_props_from_path(str8_keep_front(chain, deepest)).flags & FilePropsFolder)) {
    scratch_restore(scratch);
    return true;
  }
  bool drive_first = chain.size >= 2 && chain.str[1] == ':' && char_is_alpha(chain.str[0]);
  bool first = true;
  bool ok = true;
  for (u64 i = 0; ok && i <= chain.size; i += 1) {
    if (i < chain.size && chain.str[i] != '/') continue;
    bool is_last = i == chain.size;
    bool skip_first = first && (i == 0 || drive_first);
    first = false;
    if (skip_first || (is_last && !include_last)) continue;
    ok = folder_ensure(str8_keep_front(chain, i));
  }
  scratch_restore(scratch);
  return ok;
}

bool folder_make_chain(Str8 path) { return os_make_folders(path, true); }
bool folder_make_parents(Str8 path) { return os_make_folders(path, false); }

//- sync threads
// Four: on a busy disk, a batch's syncs from four threads at once took a twelfth of the time
// they took one after the other.
static constexpr u64 SyncThreadCount = 4;

struct SyncGroup {
  u64 left; // its jobs not done yet, under the queue's lock
};

// A file's or a folder's sync; lives on its caller's scratch until the caller's wait ends.
struct SyncJob {
  SyncJob *next;
  SyncGroup *group;
  FileHandle file; // closed after its sync; 0 for a folder
  Str8 folder;
  bool ok;
  u32 error; // file_last_error_code on the sync thread, when not ok
};

struct SyncThreads {
  OsObject *lock; // the queue and every group's count; taken alone
  OsObject *work; // woken when jobs are queued
  OsObject *done; // woken when a group's last job is done
  SyncJob *first;
  SyncJob *last;
};
static SyncThreads g_sync_threads;
SyncTestHook *sync_test_hook;

// A failure's reason is taken before the close, which may change the thread's last error.
static void sync_job_run(SyncJob *job) {
  SyncTestHook *hook = sync_test_hook;
  bool ok = !hook || hook(SyncBefore, job->file, job->folder);
  if (ok) ok = job->file ? file_sync(job->file) : folder_sync(job->folder);
  u32 error = ok ? 0 : file_last_error_code();
  if (hook) hook(SyncAfter, job->file, job->folder);
  if (job->file && !file_close(job->file) && ok) {
    ok = false;
    error = file_last_error_code();
  }
  job->ok = ok;
  job->error = error;
}

static void sync_thread(u64 index) {
  thread_set_name("[VANTOR] Sync #%I64u", index);
  SyncThreads *t = &g_sync_threads;
  for (;;) {
    cs_enter(t->lock);
    while (!t->first) cv_wait_cs(t->work, t->lock, DeadlineNone);
    SyncJob *job = sll_stack_pop(t->first);
    if (!t->first) t->last = nullptr;
    cs_leave(t->lock);

    SyncGroup *group = job->group;
    sync_job_run(job);
    // the job belongs to its caller again once its group's count drops
    cs_enter(t->lock);
    group->left -= 1;
    bool last = group->left == 0;
    cs_leave(t->lock);
    if (last) cv_wake_all(t->done);
  }
}

void sync_threads_start() {
  SyncThreads *t = &g_sync_threads;
  if (t->lock) return;
  t->lock = cs_create();
  t->work = cv_create();
  t->done = cv_create();
  for (u64 i = 1; i <= SyncThreadCount; i += 1) thread_create(sync_thread, i);
}

// Returns once every job is done. Without the threads (a program that never started them)
// the caller runs its jobs itself.
static void sync_jobs_run(SyncJob *jobs, u64 count) {
  SyncThreads *t = &g_sync_threads;
  if (count == 0) return;
  if (!t->lock) {
    for (u64 i = 0; i < count; i += 1) sync_job_run(&jobs[i]);
    return;
  }
  SyncGroup group = {count};
  cs_enter(t->lock);
  for (u64 i = 0; i < count; i += 1) {
    jobs[i].group = &group;
    sll_queue_push(t->first, t->last, &jobs[i]);
  }
  cs_leave(t->lock);
  cv_wake_all(t->work);
  cs_enter(t->lock);
  while (group.left > 0) cv_wait_cs(t->done, t->lock, DeadlineNone);
  cs_leave(t->lock);
}

void file_write_sync(PendingWrite **writes, u64 count) {
  Scratch scratch = scratch_begin(nullptr);
  SyncJob *jobs = arena_push<SyncJob>(scratch.arena, max_of(count, (u64)1));
  u64 open = 0;
  for (u64 i = 0; i < count; i += 1) {
    if (writes[i]->file) jobs[open++].file = writes[i]->file;
  }
  sync_jobs_run(jobs, open);
  // the jobs are in the order of the writes still open
  SyncJob *job = jobs;
  for (u64 i = 0; i < count; i += 1) {
    PendingWrite *w = writes[i];
    if (!w->file) continue;
    w->file = 0;
    w->durable = job->ok;
    w->error = job->error;
    job += 1;
  }
  scratch_restore(scratch);
}

bool folder_sync_many(Str8 *folders, u64 count) {
  Scratch scratch = scratch_begin(nullptr);
  SyncJob *jobs = arena_push<SyncJob>(scratch.arena, max_of(count, (u64)1));
  for (u64 i = 0; i < count; i += 1) jobs[i].folder = folders[i];
  sync_jobs_run(jobs, count);
  bool ok = true;
  for (u64 i = 0; i < count && ok; i += 1) {
    ok = jobs[i].ok;
    if (!ok && jobs[i].error) file_last_error_set(jobs[i].error);
  }
  scratch_restore(scratch);
  return ok;
}

//~ Process usage and listening sockets
bool net_address_split(Str8 address, Str8 *host, u32 *port, bool *ipv6) {
  u64 colon = address.size;
  for (u64 i = address.size; i > 0; i -= 1) {
    if (address.str[i - 1] == ':') {
      colon = i - 1;
      break;
    }
  }
  if (colon == address.size || colon + 1 == address.size || address.size - colon - 1 > 5) return false;
  u64 value = 0;
  for (u64 i = colon + 1; i < address.size; i += 1) {
    if (address.str[i] < '0' || address.str[i] > '9') return false;
    value = value * 10 + (address.str[i] - '0');
  }
  if (value > 65535) return false;
  Str8 name = str8_keep_front(address, colon);
  *ipv6 = name.size >= 2 && name.str[0] == '[' && name.str[name.size - 1] == ']';
  if (*ipv6) name = str8_slice(name, {1, name.size - 1});
  // the system's parser says whether the rest is an address; no name is looked up
  if (name.size == 0 || name.size > 45) return false;
  for (u64 i = 0; i < name.size; i += 1) {
    if (name.str[i] == '[' || name.str[i] == ']' || (!*ipv6 && name.str[i] == ':')) return false;
  }
  *host = name;
  *port = (u32)value;
  return true;
}

//~ String ring
void string_ring_init(StringRing *ring, Arena *arena, u64 capacity, bool each_once) {
  *ring = {};
  ring->capacity = align_up(capacity, 8);
  ring->buffer = arena_push<u8>(arena, ring->capacity);
  ring->cv = cv_create();
  ring->lock = cs_create();
  if (each_once) {
    // A record takes 16 bytes at least, so the table is never more than half full.
    u64 slots = 16;
    while (slots < ring->capacity / 8) slots *= 2;
    ring->waiting = arena_push<u64>(arena, slots);
    ring->waiting_mask = slots - 1;
  }
}

// The set of waiting strings: open addressing by their digests, removal by shifting back.
static u64 string_ring_digest(const u8 *str, u64 size) {
  u64 digest = xxh3_128(str, size).u64s[0];
  return digest != 0 ? digest : 1;
}

static u64 *string_ring_slot(StringRing *ring, u64 digest) {
  u64 at = digest & ring->waiting_mask;
  while (ring->waiting[at] != 0 && ring->waiting[at] != digest) at = (at + 1) & ring->waiting_mask;
  return &ring->waiting[at];
}

static void string_ring_forget(StringRing *ring, u64 digest) {
  u64 mask = ring->waiting_mask;
  u64 hole = (u64)(string_ring_slot(ring, digest) - ring->waiting);
  if (ring->waiting[hole] == 0) return;
  ring->waiting[hole] = 0;
  for (u64 at = (hole + 1) & mask; ring->waiting[at] != 0; at = (at + 1) & mask) {
    u64 home = ring->waiting[at] & mask;
    // an entry moves into the hole unless its home lies after the hole, up to where it is
    bool stays = hole <= at ? (home > hole && home <= at) : (home > hole || home <= at);
    if (stays) continue;
    ring->waiting[hole] = ring->waiting[at];
    ring->waiting[at] = 0;
    hole = at;
  }
}

bool string_ring_push(StringRing *ring, Str8 s, u64 deadline) {
  // A record larger than the whole ring would wait forever for room that never comes.
  if (ring->capacity < 8 || s.size > ring->capacity - 8) {
    return false;
  }

  bool pushed = false, waiting = false;
  u64 digest = ring->waiting ? string_ring_digest(s.str, s.size) : 0;
  cs_enter(ring->lock);
  for (;;) {
    u64 *slot = ring->waiting ? string_ring_slot(ring, digest) : nullptr;
    if (slot && *slot != 0) {
      waiting = true;
      break;
    }
    u64 free_bytes = ring->capacity - (ring->write_pos - ring->read_pos);
    if (free_bytes >= s.size + 8) {
      if (slot) *slot = digest;
      u64 length = s.size;
      ring->write_pos += byte_ring_write(ring->buffer, ring->capacity, ring->write_pos, &length, 8);
      ring->write_pos += byte_ring_write(ring->buffer, ring->capacity, ring->write_pos, s.str, s.size);
      ring->write_pos = align_up(ring->write_pos, 8);
      pushed = true;
      break;
    }
    // The wait itself carries the deadline, so a push nobody makes room for still returns.
    if (clock_now_us() >= deadline) {
      break;
    }
    cv_wait_cs(ring->cv, ring->lock, deadline);
  }
  cs_leave(ring->lock);

  if (pushed) {
    cv_wake_all(ring->cv);
  }
  return pushed || waiting;
}

Str8 string_ring_pop(StringRing *ring, Arena *arena) { return string_ring_pop_until(ring, arena, DeadlineNone); }

Str8 string_ring_pop_until(StringRing *ring, Arena *arena, u64 deadline) {
  cs_enter(ring->lock);
  while (ring->write_pos - ring->read_pos < 8) {
    if (clock_now_us() >= deadline) {
      cs_leave(ring->lock);
      return Str8{};
    }
    cv_wait_cs(ring->cv, ring->lock, deadline);
  }
  u64 length = 0;
  ring->read_pos += byte_ring_read(ring->buffer, ring->capacity, ring->read_pos, &length, 8);
  // one zero byte past the view, like every text built in an arena
  u8 *bytes = (u8 *)arena_alloc_zero(arena, length + 1, 8);
  ring->read_pos += byte_ring_read(ring->buffer, ring->capacity, ring->read_pos, bytes, length);
  ring->read_pos = align_up(ring->read_pos, 8);
  if (ring->waiting) string_ring_forget(ring, string_ring_digest(bytes, length));
  cs_leave(ring->lock);

  cv_wake_all(ring->cv);
  return str8(bytes, length);
}

bool string_ring_is_empty(StringRing *ring) {
  cs_enter(ring->lock);
  bool empty = ring->write_pos - ring->read_pos < 8;
  cs_leave(ring->lock);
  return empty;
}

//~ Console messages
Str8 message_label(i32 level) {
  switch (level) {
  case MessageWarning:
    return str8_lit("warning");
  case MessageError:
    return str8_lit("error");
  case MessageFatalError:
    return str8_lit("fatal error");
  default:
    return str8_lit("");
  }
}

void message_add(Arena *arena, MessageList *list, i32 level, Str8 text) {
  Message *m = arena_push<Message>(arena);
  m->level = level;
  m->text = text;
  sll_queue_push(list->first, list->last, m);
  list->count += 1;
  list->worst = max_of(list->worst, level);
}

void message_report(Arena *arena, MessageList *list, Str8List *out, int print) {
  message_report_named(arena, list, out, print, Str8{});
}

// The JSON log's line for one message: its level is its event too.
static Str8 message_json_line(Arena *arena, Message *m, Str8 source) {
  const char *level = m->level == MessageNote ? "note" : m->level == MessageWarning ? "warning" : "error";
  JsonLine line = json_line_begin(arena, clock_wall_us(), level, level);
  if (source.size > 0) json_add_string(&line, "source", source);
  json_add_string(&line, "message", m->text);
  return json_line_end(&line);
}

void message_report_named(Arena *arena, MessageList *list, Str8List *out, int print, Str8 name, Str8 source) {
  bool printing = print != 0 || out == nullptr;
  bool json = printing && console_json();
  Str8 shown_name = printing && !json && name.size > 0 && list->first ? str8_escape_line(arena, name) : Str8{};
  Str8List lines = {};
  for (Message *m = list->first; m; m = m->next) {
    Str8 label = message_label(m->level);
    if (out) {
      str8_list_add(arena, out, label);
      str8_list_add(arena, out, m->text);
    }
    Str8 shown = m->level == MessageNote && shown_name.size > 0 ? shown_name : label;
    if (json) str8_list_add(arena, &lines, message_json_line(arena, m, source));
    else if (printing) str8_list_addf(arena, &lines, "%S:\n%S\n", shown, m->text);
  }
  if (lines.node_count > 0) console_print(str8_list_join(arena, &lines, nullptr));
}

//~ Console
// Written once at set-up, before any other thread prints.
static bool g_console_json;

void console_json_set(bool json) { g_console_json = json; }
bool console_json() { return g_console_json; }

struct ConsoleStatus {
  OsObject *lock;
  u8 line[256]; // the status line now drawn, when shown
  u64 size;
  bool shown;
};

static ConsoleStatus *console_status() {
  static ConsoleStatus status = [] {
    ConsoleStatus made = {};
    made.lock = cs_create();
    return made;
  }();
  return &status;
}

// Under the lock: a carriage return, the text, spaces over the rest of the last line, and a
// carriage return again when the text is empty, so that what comes next starts the line. It
// goes to the real standard error, never into a library's capture.
static void console_status_draw(ConsoleStatus *status, Str8 text) {
  u8 line[sizeof(status->line) * 2 + 2];
  u64 blank = status->size > text.size ? status->size - text.size : 0;
  u64 size = 0;
  line[size++] = '\r';
  memcpy(line + size, text.str, (size_t)text.size);
  size += text.size;
  memset(line + size, ' ', (size_t)blank);
  size += blank;
  if (text.size == 0) line[size++] = '\r';
  console_error_write(str8(line, size));
}

void console_print(Str8 text) {
  ConsoleStatus *status = console_status();
  cs_enter(status->lock);
  if (status->shown) console_status_draw(status, str8_lit(""));
  fwrite(text.str, 1, (size_t)text.size, stdout);
  fflush(stdout);
  if (status->shown) console_status_draw(status, str8(status->line, status->size));
  cs_leave(status->lock);
}

bool console_status_wanted() { return !process_quiet() && console_error_is_terminal(); }

void console_status_show(Str8 text) {
  ConsoleStatus *status = console_status();
  text = str8_keep_front(text, sizeof(status->line));
  cs_enter(status->lock);
  if (!status->shown) status->size = 0;
  console_status_draw(status, text);
  memcpy(status->line, text.str, (size_t)text.size);
  status->size = text.size;
  status->shown = true;
  cs_leave(status->lock);
}

void console_status_clear() {
  ConsoleStatus *status = console_status();
  cs_enter(status->lock);
  if (status->shown) console_status_draw(status, str8_lit(""));
  status->shown = false;
  status->size = 0;
  cs_leave(status->lock);
}

//~ Libraries' standard error
struct StderrCaptures {
  OsObject *lock;       // the calls in flight, their count and the turns of the stream; taken alone
  StderrCapture *first; // the calls in flight
  u64 in_flight;
  u32 state; // StderrUntried, StderrTaking or StderrUntakeable
};
enum : u32 {
  StderrUntried = 0,
  StderrTaking = 1,
  StderrUntakeable = 2,
};

static StderrCaptures *stderr_captures() {
  static StderrCaptures captures = [] {
    StderrCaptures made = {};
    made.lock = cs_create();
    return made;
  }();
  return &captures;
}

static void stderr_capture_keep(u8 *buffer, u64 *size, const u8 *text, u64 count) {
  u64 room = StderrCaptureMax - *size;
  u64 kept = min_of(room, count);
  memcpy(buffer + *size, text, (size_t)kept);
  *size += kept;
}

// Under the lock. Every begin and end drains, and a library writes before its call returns, so
// what is read now was written by one of the calls in flight now. With one, it is that call's.
// With several, it could be any of theirs: each of them gets it, apart from what was its own
// alone, so that nothing a library said is lost (with several workers the calls overlap most of
// the time, and dropping such text would drop nearly all of it) while the caller can still say
// that the text may be another's. The C library may still hold some of it in the stream's
// buffer (Windows buffers stderr when it is not a console): that goes into the pipe first.
static void stderr_captures_drain(StderrCaptures *c) {
  fflush(stderr);
  u8 chunk[kib(4)];
  for (u64 got; (got = stderr_divert_read(chunk, sizeof(chunk))) > 0;) {
    for (StderrCapture *k = c->first; k; k = k->next) {
      if (c->in_flight == 1) {
        stderr_capture_keep(k->own, &k->own_size, chunk, got);
      } else {
        stderr_capture_keep(k->shared, &k->shared_size, chunk, got);
      }
    }
  }
}

void stderr_capture_begin(StderrCapture *capture) {
  capture->next = nullptr;
  capture->taken = false;
  capture->own_size = 0;
  capture->shared_size = 0;
  StderrCaptures *c = stderr_captures();
  cs_enter(c->lock);
  if (c->state == StderrUntried) c->state = stderr_divert_open() ? StderrTaking : StderrUntakeable;
  if (c->state == StderrTaking) {
    // what the calls already in flight printed is theirs, not this one's
    if (c->in_flight == 0) {
      stderr_divert(true);
    } else {
      stderr_captures_drain(c);
    }
    capture->next = c->first;
    c->first = capture;
    c->in_flight += 1;
    capture->taken = true;
  }
  cs_leave(c->lock);
}

void stderr_capture_end(StderrCapture *capture) {
  if (!capture->taken) return;
  StderrCaptures *c = stderr_captures();
  cs_enter(c->lock);
  // The last call gives the stream back before the pipe's last drain, so nothing more can come in.
  if (c->in_flight == 1) stderr_divert(false);
  stderr_captures_drain(c);
  StderrCapture **link = &c->first;
  while (*link && *link != capture) link = &(*link)->next;
  if (*link) *link = capture->next;
  c->in_flight -= 1;
  cs_leave(c->lock);
  capture->next = nullptr;
  capture->taken = false;
}
