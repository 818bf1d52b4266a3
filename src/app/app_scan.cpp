// The scan: the walk over a folder tree, and the main loop's pass over the input tree.
#include <algorithm>

#include "app/app.h"
#include "intake/intake.h"
#include "convert/convert.h"

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

// A name's place in the order `order`: a 64-bit mix of its hash with the order's key.
struct ScanRank {
  u64 rank;
  Str8 name;
};

static u64 scan_rank_of(Str8 name, u64 order) {
  u64 x = xxh3_128(name.str, name.size).u64s[0] ^ order;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

static bool scan_rank_less(const ScanRank &x, const ScanRank &y) {
  if (x.rank != y.rank) return x.rank < y.rank;
  int bytes = memcmp(x.name.str, y.name.str, min_of(x.name.size, y.name.size));
  return bytes != 0 ? bytes < 0 : x.name.size < y.name.size;
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
        if (hooks->offer && hooks->order == 0) {
          hooks->offer(context, app_scan_child_path(scratch.arena, folder->path, entry.name));
        } else if (hooks->offer) {
          str8_list_add(scratch.arena, &names, str8_copy(scratch.arena, entry.name));
        }
        files += 1;
      }
    }
    if (iter) dir_iter_close(iter);
    if (names.node_count > 0) {
      ScanRank *ranks = arena_push<ScanRank>(scratch.arena, names.node_count);
      u64 count = 0;
      for (Str8Node *n = names.first; n; n = n->next) ranks[count++] = ScanRank{scan_rank_of(n->string, hooks->order), n->string};
      std::sort(ranks, ranks + count, scan_rank_less);
      for (u64 i = 0; i < count; i += 1) hooks->offer(context, app_scan_child_path(scratch.arena, folder->path, ranks[i].name));
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
// With other instances on the folder, only the next few sources in this instance's order are
// read ahead, per worker: any source read further ahead may be claimed by another first, and
// its read and hash were for nothing.
static constexpr u64 ScanReadAheadSharedPerWorker = 16;

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
  u64 order;           // the order the last pass offered files in
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
  u64 read_ahead_left;       // pending files still to be read ahead in this pass
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
  if (pass->read_ahead_left > 0) {
    pass->read_ahead_left -= 1;
    if (scan_may_read_ahead()) intake_request(path, 0);
  }
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
  // a file closed in it from now on ends the main loop's pause early
  folder_watch_add(folder);
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
  // Instances sharing the folder each go through it in an order of their own, so that they
  // seldom reach for the same source (and read it) at once.
  ScanHooks hooks = {app_scan_visit, app_scan_offer, app_scan_listed, instances_scan_order()};
  pass.read_ahead_left = hooks.order != 0 ? ScanReadAheadSharedPerWorker * state->thread_count : ~0ull;
  // A new order (another instance seen, or the last other one gone) holds at once: the paths
  // queued in the old one leave the queue, and this pass queues them again in the new one.
  if (hooks.order != memory->order) {
    Scratch scratch = scratch_begin(arena);
    while (string_ring_pop_until(&state->conversion_queue, scratch.arena, 0).size > 0) {
    }
    scratch_restore(scratch);
    memory->order = hooks.order;
    pass.relist_all = true;
  }
  u64 files = app_scan_walk(arena, state->in_folder, skip, 3, &hooks, &pass);
  memory->current = next;
  return files;
}
