// What became of the sources: a path's latest reason to stay, kept until it leaves the input.
#include "convert/convert_internal.h"

//~ What became of the sources
struct TallyPath {
  TallyPath *next;
  Str8 path;
  u32 reason; // TallyReason; TallyNone once the path was converted or set aside
};

static constexpr u64 TallyBuckets = 4096;

struct Tally {
  OsObject *lock;
  Arena *arena;
  TallyPath **buckets;
  OutcomeTally counts;
  bool enabled; // written once, before the workers start
};
static Tally g_tally;

Str8 tally_reason_word(u32 reason) {
  switch (reason) {
  case TallyTooLarge: return str8_lit("too_large");
  case TallyCutShortOrEmpty: return str8_lit("cut_short_or_empty");
  case TallyNotDecodable: return str8_lit("not_decodable");
  case TallyUnreadable: return str8_lit("unreadable");
  case TallyWriteFailed: return str8_lit("write_failed");
  case TallyNotDeleted: return str8_lit("not_deleted");
  default: return Str8{};
  }
}

void outcome_tally_enable() {
  Tally *t = &g_tally;
  t->lock = cs_create();
  t->arena = arena_create(mib(256), kib(64));
  t->buckets = arena_push<TallyPath *>(t->arena, TallyBuckets);
  t->enabled = true;
}

// Under the lock. The path's node, made when make is true.
static TallyPath *tally_find(Tally *t, Str8 path, bool make) {
  TallyPath **bucket = &t->buckets[str8_hash(path) % TallyBuckets];
  for (TallyPath *n = *bucket; n; n = n->next) {
    if (str8_equals(n->path, path, 0)) return n;
  }
  if (!make) return nullptr;
  TallyPath *n = arena_push<TallyPath>(t->arena);
  n->path = str8_copy(t->arena, path);
  sll_stack_push(*bucket, n);
  return n;
}

static void tally_set_reason(Tally *t, TallyPath *n, u32 reason) {
  if (n->reason != TallyNone) t->counts.left[n->reason] -= 1, t->counts.left_total -= 1;
  n->reason = reason;
  if (reason != TallyNone) t->counts.left[reason] += 1, t->counts.left_total += 1;
}

void tally_left(Str8 path, u32 reason) {
  Tally *t = &g_tally;
  if (!t->enabled) return;
  cs_enter(t->lock);
  tally_set_reason(t, tally_find(t, path, true), reason);
  cs_leave(t->lock);
}

void tally_gone(Str8 path, bool converted) {
  Tally *t = &g_tally;
  if (!t->enabled) return;
  cs_enter(t->lock);
  if (TallyPath *n = tally_find(t, path, false)) tally_set_reason(t, n, TallyNone);
  if (converted) t->counts.converted += 1;
  else t->counts.set_aside += 1;
  cs_leave(t->lock);
}

OutcomeTally outcome_tally_read(bool recount) {
  Tally *t = &g_tally;
  if (!t->enabled) return OutcomeTally{};
  cs_enter(t->lock);
  OutcomeTally counts = t->counts;
  if (recount) {
    counts.left_total = 0;
    for (u32 r = 0; r < TallyReasonCount; r += 1) counts.left[r] = 0;
    for (u64 b = 0; b < TallyBuckets; b += 1) {
      for (TallyPath *n = t->buckets[b]; n; n = n->next) {
        if (n->reason == TallyNone || !props_is_file(file_props_from_path(n->path))) continue;
        counts.left[n->reason] += 1;
        counts.left_total += 1;
      }
    }
  }
  cs_leave(t->lock);
  return counts;
}

// Files left in place as empty or cut short said nothing when they were met: their writer may
// not have been done. Once a drain ends they are final, and each still there is named.

void outcome_tally_report_cut_short() {
  Tally *t = &g_tally;
  if (!t->enabled) return;
  Scratch scratch = scratch_begin(nullptr);
  Str8List names = {};
  cs_enter(t->lock);
  for (u64 b = 0; b < TallyBuckets; b += 1) {
    for (TallyPath *n = t->buckets[b]; n; n = n->next) {
      if (n->reason == TallyCutShortOrEmpty) str8_list_add(scratch.arena, &names, n->path);
    }
  }
  cs_leave(t->lock);
  for (Str8Node *n = names.first; n; n = n->next) {
    if (!props_is_file(file_props_from_path(n->string))) continue;
    ConvertShared *shared = convert_shared();
    Str8 source = shared ? source_below_input(shared->in_folder, n->string) : str8_file_name(n->string);
    warn(scratch.arena,
         arena_format(scratch.arena, "File is empty or cut short, %S was left in place.",
                      str8_escape_line(scratch.arena, str8_file_name(n->string))),
         source);
  }
  scratch_restore(scratch);
}
