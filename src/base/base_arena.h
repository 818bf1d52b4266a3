// Arenas: chains of reserved virtual-memory blocks handed out by bumping a position.
//
// An arena belongs to one thread at a time; a shared arena is used only under its owner's
// lock. Memory goes back only by rewinding to an earlier offset or destroying the arena.
// Offsets are arena-wide: a block's base offset plus its position, so they keep growing
// across chained blocks. When the system refuses address space or memory, the process stops
// with one line on standard error naming the size asked for and exit code 1: no caller ever
// sees a null arena or a null allocation.
#pragma once

#include "base/base_core.h"

//~ Virtual memory (written per operating system, in src/os/<system>/)
void *mem_reserve(u64 size);           // null when refused
bool mem_commit(void *ptr, u64 size);  // read/write access
bool mem_release(void *ptr, u64 size); // the whole reservation that starts at ptr

//~ Arenas
// The header at the start of every block; 64 bytes, so the lowest position in a block is 64.
struct ArenaBlock {
  ArenaBlock *previous; // next older block; null in the first block
  ArenaBlock *current;  // newest block; kept up to date in the first block only
  u32 flags;            // always 0 here
  u32 commit_step;      // commit size as passed at creation; granule of later commits
  u64 reserve_step;     // reserve size as passed at creation; reserve of chained blocks
  u64 base_offset;      // arena-wide offset at which this block starts
  u64 position;         // bytes of this block in use, header included
  u64 committed;        // bytes committed from the block's start
  u64 reserved;         // bytes reserved
};
static_assert(sizeof(ArenaBlock) == 64, "the arena header is 64 bytes");

// An Arena is the header of its first block.
typedef ArenaBlock Arena;

constexpr u64 ArenaHeaderSize = 64;

Arena *arena_create(u64 reserve_size, u64 commit_size);
void arena_destroy(Arena *arena);
void *arena_alloc(Arena *arena, u64 size, u64 align); // not cleared
void *arena_alloc_zero(Arena *arena, u64 size, u64 align);
u64 arena_offset(Arena *arena);
void arena_rewind(Arena *arena, u64 offset);
void arena_give_back(Arena *arena, u64 amount);
void arena_reset(Arena *arena);

// Typed helpers; every allocation in the system is 8-byte aligned.
template <typename T> T *arena_push(Arena *arena, u64 count = 1) {
  return (T *)arena_alloc_zero(arena, sizeof(T) * count, max_of<u64>(8, alignof(T)));
}
template <typename T> T *arena_push_uninit(Arena *arena, u64 count = 1) {
  return (T *)arena_alloc(arena, sizeof(T) * count, max_of<u64>(8, alignof(T)));
}

//- scratch marks
struct Scratch {
  Arena *arena;
  u64 offset;
};

Scratch scratch_mark(Arena *arena);
void scratch_restore(Scratch scratch);

//~ Per-thread context
// Each thread owns two scratch arenas (64 MiB reserved, 64 KiB committed each), reached
// through a thread-local pointer set by thread_context_init.
struct ThreadContext {
  Arena *scratch[2];
};

void thread_context_init(ThreadContext *ctx);
void thread_context_release();
ThreadContext *thread_context();

// One of the calling thread's scratch arenas that is not among the conflicts; null only
// when both are.
Arena *thread_scratch_arena(Arena **conflicts, u64 count);

// The usual pattern: a scratch region on the arena that is not `conflict` (which may be null),
// given back with scratch_restore.
Scratch scratch_begin(Arena *conflict);
