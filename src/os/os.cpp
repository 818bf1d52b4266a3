// The OS layer's portable half: the process entry body, the command-line parser, file times,
// the string ring and the message report. Everything below calls only the per-system
// operations of os.h, never the system itself.
#include <cstdio>

#include "os/os.h"

//~ Process start-up and facts
void process_entry(AppEntry *app_entry, int argc, char **argv) {
  thread_set_name("[main thread]");

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
  if (app_entry) {
    app_entry(table);
  }
  scratch_restore(scratch);
}

//~ Command line
Str8List arg_list_from_argv(Arena *arena, int argc, char **argv) {
  Str8List list = {};
  for (int i = 0; i < argc; i += 1) {
    str8_list_add(arena, &list, str8_cstring(argv[i]));
  }
  return list;
}

//- parsing
static bool arg_is_whitespace(u8 c) { return c == ' ' || (c >= 9 && c <= 13); }

// A space or a double quote ends a token (the quote is dropped); after a space any run of
// whitespace is skipped, so an argument that ends in spaces gives no final empty token.
static void arg_tokenize(Arena *arena, Str8List *tokens, Str8 s) {
  u64 start = 0;
  bool skipping = false;
  for (u64 i = 0; i <= s.size; i += 1) {
    if (skipping && i < s.size && !arg_is_whitespace(s.str[i])) {
      skipping = false;
      start = i;
    }
    if (!skipping && (i == s.size || s.str[i] == ' ' || s.str[i] == '"')) {
      str8_list_add(arena, tokens, str8_slice(s, range_make(start, i)));
      start = i + 1;
      if (i < s.size && s.str[i] == ' ') {
        skipping = true;
      }
    }
  }
}

static void arg_table_insert(ArgTable *table, ArgEntry *entry) {
  ArgBucket *bucket = &table->buckets[str8_hash(entry->key) % table->bucket_count];
  if (bucket->last) {
    bucket->last->next = entry;
  } else {
    bucket->first = entry;
  }
  bucket->last = entry;
}

ArgTable *arg_table_parse(Arena *arena, Str8List args) {
  ArgTable *table = arena_push<ArgTable>(arena);
  table->bucket_count = 64;
  table->buckets = arena_push<ArgBucket>(arena, table->bucket_count);

  Scratch scratch = scratch_begin(arena);

  // tokens of every argument, in order
  Str8List tokens = {};
  for (Str8Node *n = args.first; n; n = n->next) {
    arg_tokenize(scratch.arena, &tokens, n->string);
  }

  // entries; a separator with nothing (or a comma) after it lets the next token continue
  // the value
  const u8 comma = ',';
  ArgEntry *pending = nullptr;
  for (Str8Node *n = tokens.first; n; n = n->next) {
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

  scratch_end(scratch);
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
  return (a.flags & FilePropsExists) == (b.flags & FilePropsExists) && a.size == b.size &&
         a.modified_ns == b.modified_ns;
}

//~ String ring
void string_ring_init(StringRing *ring, Arena *arena, u64 capacity) {
  *ring = {};
  ring->capacity = align_up(capacity, 8);
  ring->buffer = arena_push<u8>(arena, ring->capacity);
  ring->cv = cv_create();
  ring->lock = cs_create();
}

bool ring_push(StringRing *ring, Str8 s, u64 deadline) {
  // A record larger than the whole ring would wait forever for room that never comes.
  if (ring->capacity < 8 || s.size > ring->capacity - 8) {
    return false;
  }

  bool pushed = false;
  cs_enter(ring->lock);
  for (;;) {
    u64 free_bytes = ring->capacity - (ring->write_pos - ring->read_pos);
    if (free_bytes >= s.size + 8) {
      u64 length = s.size;
      ring->write_pos += ring_put(ring->buffer, ring->capacity, ring->write_pos, &length, 8);
      ring->write_pos += ring_put(ring->buffer, ring->capacity, ring->write_pos, s.str, s.size);
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
  return pushed;
}

Str8 ring_pop(StringRing *ring, Arena *arena) {
  cs_enter(ring->lock);
  while (ring->write_pos - ring->read_pos < 8) {
    cv_wait_cs(ring->cv, ring->lock, DeadlineNone);
  }
  u64 length = 0;
  ring->read_pos += ring_get(ring->buffer, ring->capacity, ring->read_pos, &length, 8);
  // one zero byte past the view, like every text built in an arena
  u8 *bytes = (u8 *)arena_alloc_zero(arena, length + 1, 8);
  ring->read_pos += ring_get(ring->buffer, ring->capacity, ring->read_pos, bytes, length);
  ring->read_pos = align_up(ring->read_pos, 8);
  cs_leave(ring->lock);

  cv_wake_all(ring->cv);
  return str8(bytes, length);
}

//~ Console messages
Str8 message_label(i32 level) {
  switch (level) {
  case 2:
    return str8_lit("warning");
  case 3:
    return str8_lit("error");
  case 4:
    return str8_lit("fatal error");
  default:
    return str8_lit("");
  }
}

void message_add(Arena *arena, MessageList *list, i32 level, Str8 text) {
  Message *m = arena_push<Message>(arena);
  m->level = level;
  m->text = text;
  if (list->last) {
    list->last->next = m;
  } else {
    list->first = m;
  }
  list->last = m;
  list->count += 1;
  list->worst = max_of(list->worst, level);
}

void message_report(Arena *arena, MessageList *list, Str8List *out, int print) {
  bool printing = print != 0 || out == nullptr;
  for (Message *m = list->first; m; m = m->next) {
    Str8 label = message_label(m->level);
    if (out) {
      str8_list_add(arena, out, label);
      str8_list_add(arena, out, m->text);
    }
    if (printing) {
      printf("%.*s:\n", (int)label.size, (const char *)label.str);
      printf("%.*s\n", (int)m->text.size, (const char *)m->text.str);
    }
  }
}
