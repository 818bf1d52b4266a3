#include <gtest/gtest.h>

#include "base/base.h"

// Every arena test runs with a known granule and restores the machine's afterwards.
struct GranuleGuard {
  u64 saved;
  explicit GranuleGuard(u64 granule) : saved(sys_info()->large_page_minimum) { sys_info()->large_page_minimum = granule; }
  ~GranuleGuard() { sys_info()->large_page_minimum = saved; }
};

TEST(Arena, GranuleRoundsReserveAndCommit) {
  {
    GranuleGuard g(0);
    Arena *a = arena_create(kib(512), kib(256) + 1);
    EXPECT_EQ(a->reserved, kib(512));
    EXPECT_EQ(a->committed, kib(256) + 4096);
    EXPECT_EQ(a->position, 64u);
    EXPECT_EQ(arena_offset(a), 64u);
    arena_destroy(a);
  }
  {
    GranuleGuard g(mib(2));
    Arena *a = arena_create(kib(512), kib(256));
    EXPECT_EQ(a->reserved, mib(2));
    EXPECT_EQ(a->committed, mib(2));
    Arena *b = arena_create(mib(64), kib(64));
    EXPECT_EQ(b->reserved, mib(64));
    EXPECT_EQ(b->committed, mib(2));
    // Later commits go in steps of the commit size as passed, never past the reservation.
    u8 *p = (u8 *)arena_alloc(b, mib(5), 8);
    memset(p, 0xAB, mib(5));
    EXPECT_GE(b->committed, mib(5) + 64);
    EXPECT_LE(b->committed, b->reserved);
    arena_destroy(a);
    arena_destroy(b);
  }
}

TEST(Arena, AllocationAlignsAndZeroSizeOnlyAligns) {
  GranuleGuard g(0);
  Arena *a = arena_create(kib(64), kib(4));
  u8 *p1 = (u8 *)arena_alloc(a, 3, 8);
  EXPECT_EQ((u64)(p1 - (u8 *)a), 64u);
  u64 before = arena_offset(a);
  EXPECT_EQ(before, 67u);
  u8 *p2 = (u8 *)arena_alloc(a, 0, 8);
  EXPECT_EQ((u64)(p2 - (u8 *)a), 72u);
  EXPECT_EQ(arena_offset(a), 72u);
  // Growing past the first commit commits in steps and the bytes are writable.
  u8 *big = (u8 *)arena_alloc(a, kib(40), 8);
  memset(big, 1, kib(40));
  EXPECT_GE(a->committed, arena_offset(a));
  EXPECT_LE(a->committed, a->reserved);
  arena_destroy(a);
}

TEST(Arena, ChainingKeepsOffsetsGrowingAndRewindReleasesNewerBlocks) {
  GranuleGuard g(0);
  Arena *a = arena_create(kib(64), kib(4));
  arena_alloc(a, kib(60), 8);
  u64 before_chain = arena_offset(a);
  ArenaBlock *first = a->current;

  // Does not fit the first block's reservation: a second block of the same steps.
  u8 *p = (u8 *)arena_alloc(a, kib(8), 8);
  ArenaBlock *second = a->current;
  ASSERT_NE(second, first);
  EXPECT_EQ(second->previous, first);
  EXPECT_EQ(second->base_offset, kib(64));
  EXPECT_EQ(second->reserved, kib(64));
  EXPECT_EQ((u64)(p - (u8 *)second), 64u);
  EXPECT_GE(arena_offset(a), kib(64) + 64 + kib(8));
  memset(p, 7, kib(8));

  // Larger than the reserve step: a block of its own, reserved and committed whole.
  u64 huge = kib(200);
  u8 *q = (u8 *)arena_alloc(a, huge, 8);
  ArenaBlock *third = a->current;
  EXPECT_EQ(third->previous, second);
  EXPECT_EQ(third->reserved, align_up(huge + 64, 4096));
  EXPECT_EQ(third->committed, third->reserved);
  EXPECT_EQ(third->base_offset, kib(128));
  memset(q, 9, huge);

  // The next allocation that does not fit chains with the steps copied from that block.
  arena_alloc(a, kib(16), 8);
  ArenaBlock *fourth = a->current;
  EXPECT_EQ(fourth->previous, third);
  EXPECT_EQ(fourth->reserve_step, huge + 64);

  // Rewinding to an offset taken before the chaining releases every newer block.
  arena_rewind(a, before_chain);
  EXPECT_EQ(a->current, first);
  EXPECT_EQ(arena_offset(a), before_chain);

  // Rewinding below 64 leaves the first block at 64.
  arena_alloc(a, kib(100), 8);
  EXPECT_NE(a->current, first);
  arena_rewind(a, 3);
  EXPECT_EQ(a->current, first);
  EXPECT_EQ(arena_offset(a), 64u);
  arena_alloc(a, 10, 8);
  arena_reset(a);
  EXPECT_EQ(arena_offset(a), 64u);
  arena_destroy(a);
}

TEST(Arena, GiveBackAndScratchMarks) {
  GranuleGuard g(0);
  Arena *a = arena_create(kib(64), kib(4));
  arena_alloc(a, 100, 8);
  u64 off = arena_offset(a);
  arena_give_back(a, 36);
  EXPECT_EQ(arena_offset(a), off - 36);
  arena_give_back(a, arena_offset(a));
  EXPECT_EQ(arena_offset(a), off - 36);
  arena_give_back(a, arena_offset(a) + 1000);
  EXPECT_EQ(arena_offset(a), off - 36);

  Scratch s1 = scratch_mark(a);
  arena_alloc(a, 500, 8);
  Scratch s2 = scratch_mark(a);
  arena_alloc(a, kib(200), 8);
  scratch_restore(s2);
  EXPECT_EQ(arena_offset(a), s2.offset);
  scratch_restore(s1);
  EXPECT_EQ(arena_offset(a), s1.offset);
  arena_destroy(a);
}

TEST(Arena, ThreadScratchAvoidsConflicts) {
  ThreadContext *ctx = thread_context();
  ASSERT_NE(ctx, nullptr);
  Arena *first = ctx->scratch[0];
  Arena *second = ctx->scratch[1];
  EXPECT_EQ(thread_scratch_arena(nullptr, 0), first);
  EXPECT_EQ(thread_scratch_arena(&first, 1), second);
  EXPECT_EQ(thread_scratch_arena(&second, 1), first);
  Arena *both[2] = {first, second};
  EXPECT_EQ(thread_scratch_arena(both, 2), nullptr);

  // A scratch region taken against one scratch arena never lands in it.
  Scratch s = scratch_begin(first);
  EXPECT_EQ(s.arena, second);
  scratch_restore(s);
}

TEST(ArenaDeathTest, RefusedReservationStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Far more address space than any machine can reserve.
  EXPECT_EXIT(arena_create(~0ull >> 2, kib(64)), testing::ExitedWithCode(1), "refused to reserve .* bytes");
}
