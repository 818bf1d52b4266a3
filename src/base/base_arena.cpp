#include <cstdio>
#include <cstdlib>

#include "base/base_arena.h"

//~ Arenas

// The system refused address space or memory: there is no recovery path, callers rely on
// arenas never failing, so the process stops here in order.
[[noreturn]] static void arena_refused(const char *what, u64 size) {
  char line[96];
  int n = snprintf(line, sizeof(line), "fatal: the system refused to %s %llu bytes of memory\n", what,
                   (unsigned long long)size);
  u64 length = (u64)clamp_of(0, n, (int)sizeof(line) - 1);
  if (sys_info()->error_write) {
    sys_info()->error_write(Str8{(u8 *)line, length});
  } else {
    fwrite(line, 1, (size_t)length, stderr);
    fflush(stderr);
  }
  std::_Exit(1);
}

static u64 arena_granule() {
  u64 g = sys_info()->large_page_minimum;
  return g ? g : 4096;
}

Arena *arena_create(u64 reserve_size, u64 commit_size) {
  u64 granule = arena_granule();
  u64 reserved = align_up(max_of<u64>(reserve_size, ArenaHeaderSize), granule);
  u64 committed = min_of(align_up(max_of<u64>(commit_size, ArenaHeaderSize), granule), reserved);
  void *base = mem_reserve(reserved);
  if (!base) arena_refused("reserve", reserved);
  if (!mem_commit(base, committed)) arena_refused("commit", committed);
  ArenaBlock *block = (ArenaBlock *)base;
  block->previous = nullptr;
  block->current = block;
  block->flags = 0;
  // The commit step is a 32-bit field; an oversized block commits everything at creation,
  // so a clamped step only affects how its later (rare) chained blocks commit.
  block->commit_step = (u32)min_of<u64>(commit_size, 0x80000000ull);
  block->reserve_step = reserve_size;
  block->base_offset = 0;
  block->position = ArenaHeaderSize;
  block->committed = committed;
  block->reserved = reserved;
  return block;
}

void arena_destroy(Arena *arena) {
  ArenaBlock *block = arena->current;
  while (block) {
    ArenaBlock *previous = block->previous;
    mem_release(block, block->reserved);
    block = previous;
  }
}

void *arena_alloc(Arena *arena, u64 size, u64 align) {
  ArenaBlock *cur = arena->current;
  u64 start = align_up(cur->position, align);
  u64 end = start + size;

  //- chaining
  if (cur->reserved < end || end < start) {
    u64 reserve = cur->reserve_step;
    u64 commit = cur->commit_step;
    u64 needed = size + ArenaHeaderSize + (align > ArenaHeaderSize ? align : 0);
    if (needed > reserve) {
      reserve = needed;
      commit = reserve;
    }
    ArenaBlock *block = arena_create(reserve, commit);
    block->base_offset = cur->base_offset + cur->reserved;
    block->previous = cur;
    arena->current = block;
    cur = block;
    start = align_up(cur->position, align);
    end = start + size;
  }

  //- committing
  if (cur->committed < end) {
    u64 step = cur->commit_step ? cur->commit_step : arena_granule();
    u64 target = min_of(align_up(end, step), cur->reserved);
    if (!mem_commit((u8 *)cur + cur->committed, target - cur->committed)) {
      arena_refused("commit", target - cur->committed);
    }
    cur->committed = target;
  }
  cur->position = end;
  return (u8 *)cur + start;
}

void *arena_alloc_zero(Arena *arena, u64 size, u64 align) {
  void *p = arena_alloc(arena, size, align);
  memset(p, 0, size);
  return p;
}

u64 arena_offset(Arena *arena) { return arena->current->base_offset + arena->current->position; }

void arena_rewind(Arena *arena, u64 offset) {
  if (offset < ArenaHeaderSize) offset = ArenaHeaderSize;
  ArenaBlock *cur = arena->current;
  while (cur->base_offset >= offset && cur->previous) {
    ArenaBlock *previous = cur->previous;
    mem_release(cur, cur->reserved);
    cur = previous;
  }
  arena->current = cur;
  cur->position = offset - cur->base_offset;
}

void arena_give_back(Arena *arena, u64 amount) {
  u64 old = arena_offset(arena);
  arena_rewind(arena, amount < old ? old - amount : old);
}

void arena_reset(Arena *arena) { arena_rewind(arena, 0); }

//- scratch marks
Scratch scratch_mark(Arena *arena) { return Scratch{arena, arena_offset(arena)}; }

void scratch_restore(Scratch scratch) { arena_rewind(scratch.arena, scratch.offset); }

//~ Per-thread context
static thread_local ThreadContext *t_thread_context;

void thread_context_init(ThreadContext *ctx) {
  memset(ctx, 0, sizeof(*ctx));
  ctx->scratch[0] = arena_create(mib(64), kib(64));
  ctx->scratch[1] = arena_create(mib(64), kib(64));
  t_thread_context = ctx;
}

void thread_context_release() {
  ThreadContext *ctx = t_thread_context;
  if (!ctx) return;
  arena_destroy(ctx->scratch[0]);
  arena_destroy(ctx->scratch[1]);
  ctx->scratch[0] = ctx->scratch[1] = nullptr;
  t_thread_context = nullptr;
}

ThreadContext *thread_context() { return t_thread_context; }

Arena *thread_scratch_arena(Arena **conflicts, u64 count) {
  ThreadContext *ctx = t_thread_context;
  for (u64 i = 0; i < 2; i += 1) {
    Arena *candidate = ctx->scratch[i];
    bool taken = false;
    for (u64 j = 0; j < count; j += 1) {
      if (conflicts[j] == candidate) {
        taken = true;
        break;
      }
    }
    if (!taken) return candidate;
  }
  return nullptr;
}

Scratch scratch_begin(Arena *conflict) {
  Arena *arena = conflict ? thread_scratch_arena(&conflict, 1) : thread_scratch_arena(nullptr, 0);
  return scratch_mark(arena);
}
