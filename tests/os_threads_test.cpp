// Threads, locks, condition variables, the clock and the string ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

#include "os/os.h"
#include "test_text.h"

namespace {


// Polls until the condition holds or the generous deadline passes.
bool wait_until(const std::function<bool()> &done, u64 seconds = 60) {
  u64 deadline = clock_now_us() + seconds * 1000000;
  while (!done()) {
    if (clock_now_us() > deadline) {
      return false;
    }
    sleep_ms(1);
  }
  return true;
}

std::string thread_name() {
  Scratch scratch = scratch_begin(nullptr);
  Str8 name = thread_get_name(scratch.arena);
  std::string s((const char *)name.str, name.size);
  scratch_restore(scratch);
  return s;
}

struct RingFixture : testing::Test {
  Arena *arena = nullptr;
  void SetUp() override { arena = arena_create(mib(8), kib(64)); }
  void TearDown() override { arena_destroy(arena); }
};

//~ String ring
using StringRingTest = RingFixture;

TEST_F(StringRingTest, RecordsTakeLengthPlusBytesRoundedToEight) {
  StringRing ring;
  string_ring_init(&ring, arena, 128);
  const u64 sizes[] = {0, 1, 7, 8, 9};
  const u64 taken[] = {8, 16, 16, 16, 24};
  const char *bytes = "abcdefghi";
  for (u64 i = 0; i < 5; i += 1) {
    u64 before = ring.write_pos;
    ASSERT_TRUE(string_ring_push(&ring, str8(bytes, sizes[i]), 0));
    EXPECT_EQ(ring.write_pos - before, taken[i]) << sizes[i];
  }
  for (u64 i = 0; i < 5; i += 1) {
    Str8 s = string_ring_pop(&ring, arena);
    EXPECT_EQ(text_of(s), std::string(bytes, sizes[i]));
    EXPECT_EQ(s.str[s.size], 0);
  }
  EXPECT_EQ(ring.read_pos, ring.write_pos);
  // empty: a pop with a deadline gives up at it, one with a record takes it at once
  u64 deadline = clock_now_us() + 30000;
  EXPECT_EQ(string_ring_pop_until(&ring, arena, deadline).size, 0u);
  EXPECT_GE(clock_now_us(), deadline);
  ASSERT_TRUE(string_ring_push(&ring, str8_lit("ab"), 0));
  EXPECT_EQ(text_of(string_ring_pop_until(&ring, arena, 0)), "ab");
}

TEST_F(StringRingTest, FitsOnlyWhenLengthPlusEightIsFree) {
  StringRing ring;
  string_ring_init(&ring, arena, 0x80000);
  u8 *big = arena_push<u8>(arena, 0x80000);
  for (u64 i = 0; i < 0x80000; i += 1) {
    big[i] = (u8)(i * 7 + 3);
  }

  // one byte too many is refused at once and leaves the ring as it was
  EXPECT_FALSE(string_ring_push(&ring, str8(big, 0x80000 - 7), 0));
  EXPECT_EQ(ring.write_pos, 0u);
  // a record that can never fit is refused even without a deadline, instead of waiting forever
  EXPECT_FALSE(string_ring_push(&ring, str8(big, 0x80000), DeadlineNone));

  ASSERT_TRUE(string_ring_push(&ring, str8(big, 0x80000 - 8), 0));
  EXPECT_EQ(ring.write_pos, 0x80000u);
  // full: even an empty string does not fit, and a finite deadline nobody meets returns
  EXPECT_FALSE(string_ring_push(&ring, str8_lit(""), 0));
  u64 deadline = clock_now_us() + 30000;
  EXPECT_FALSE(string_ring_push(&ring, str8_lit(""), deadline));
  EXPECT_GE(clock_now_us(), deadline);

  Str8 back = string_ring_pop(&ring, arena);
  ASSERT_EQ(back.size, 0x80000u - 8);
  EXPECT_EQ(memcmp(back.str, big, back.size), 0);
}

// Pushed and popped at random against a model, in a ring small enough that the digests'
// slots collide and wrap: a waiting string is never pushed twice, every other one is.
TEST_F(StringRingTest, EachOnceKeepsAWaitingStringOnce) {
  StringRing ring;
  string_ring_init(&ring, arena, 512, true);
  std::deque<std::string> model;
  u32 seed = 7;
  for (u64 round = 0; round < 20000; round += 1) {
    seed = seed * 1103515245 + 12345;
    if ((seed >> 16) % 3 != 0 && ring.write_pos - ring.read_pos + 24 <= ring.capacity) {
      std::string s = "p" + std::to_string((seed >> 8) % 40);
      bool waiting = std::find(model.begin(), model.end(), s) != model.end();
      u64 before = ring.write_pos;
      ASSERT_TRUE(string_ring_push(&ring, str8(s.data(), s.size()), 0)) << round;
      ASSERT_EQ(ring.write_pos == before, waiting) << round << " " << s;
      if (!waiting) model.push_back(s);
    } else if (!model.empty()) {
      ASSERT_EQ(text_of(string_ring_pop(&ring, arena)), model.front()) << round;
      model.pop_front();
    }
  }
}

TEST_F(StringRingTest, RecordsStraddlingTheEndComeBackWhole) {
  StringRing ring;
  string_ring_init(&ring, arena, 64);
  // every length up to the largest that fits, at every starting position of the ring
  u32 seed = 1;
  for (u64 round = 0; round < 400; round += 1) {
    u64 size = round % 57;
    char data[64];
    for (u64 i = 0; i < size; i += 1) {
      seed = seed * 1103515245 + 12345;
      data[i] = (char)(seed >> 16);
    }
    u64 start = ring.write_pos % 64;
    ASSERT_TRUE(string_ring_push(&ring, str8(data, size), 0)) << round;
    Str8 back = string_ring_pop(&ring, arena);
    ASSERT_EQ(text_of(back), std::string(data, size)) << "size " << size << " start " << start;
  }
  EXPECT_GT(ring.read_pos, 64u * 100);
  EXPECT_EQ(ring.read_pos % 8, 0u);
}

struct PopOnce {
  StringRing *ring;
  std::atomic<int> done;
  std::string got;
};

void pop_once(u64 arg) {
  PopOnce *p = (PopOnce *)arg;
  Scratch scratch = scratch_begin(nullptr);
  p->got = text_of(string_ring_pop(p->ring, scratch.arena));
  scratch_restore(scratch);
  p->done.store(1);
}

TEST_F(StringRingTest, PopBlocksUntilAPushArrives) {
  StringRing ring;
  string_ring_init(&ring, arena, 256);
  PopOnce p{&ring, {0}, {}};
  thread_create(pop_once, (u64)&p);
  sleep_ms(20);
  EXPECT_EQ(p.done.load(), 0);
  ASSERT_TRUE(string_ring_push(&ring, str8_lit("C:/in/a picture.png"), 0));
  ASSERT_TRUE(wait_until([&] { return p.done.load() == 1; }));
  EXPECT_EQ(p.got, "C:/in/a picture.png");
}

struct Traffic {
  StringRing *ring;
  u32 producer;
  u32 count;
  std::atomic<u32> *finished;
};

void produce(u64 arg) {
  Traffic *t = (Traffic *)arg;
  char line[64];
  for (u32 i = 0; i < t->count; i += 1) {
    int n = snprintf(line, sizeof(line), "%u:%u:%.*s", t->producer, i, (int)(i % 23), "xxxxxxxxxxxxxxxxxxxxxxx");
    string_ring_push(t->ring, str8(line, (u64)n), DeadlineNone);
  }
  t->finished->fetch_add(1);
}

// Producers block on a ring far too small for their output; a lost wake-up hangs the test.
TEST_F(StringRingTest, ProducersAndConsumerThroughASmallRing) {
  StringRing ring;
  string_ring_init(&ring, arena, 96);
  const u32 per_producer = 3000;
  std::atomic<u32> finished{0};
  Traffic a{&ring, 0, per_producer, &finished};
  Traffic b{&ring, 1, per_producer, &finished};
  thread_create(produce, (u64)&a);
  thread_create(produce, (u64)&b);

  u32 next[2] = {0, 0};
  for (u32 n = 0; n < 2 * per_producer; n += 1) {
    Scratch scratch = scratch_begin(arena);
    std::string s = text_of(string_ring_pop(&ring, scratch.arena));
    scratch_restore(scratch);
    unsigned producer = 9, index = 0;
    ASSERT_EQ(sscanf(s.c_str(), "%u:%u:", &producer, &index), 2) << s;
    ASSERT_LT(producer, 2u);
    ASSERT_EQ(index, next[producer]) << "strings of one producer arrive in order";
    ASSERT_EQ(s.size(), s.find(':', s.find(':') + 1) + 1 + index % 23);
    next[producer] += 1;
  }
  EXPECT_TRUE(wait_until([&] { return finished.load() == 2; }));
  EXPECT_EQ(ring.read_pos, ring.write_pos);
}

//~ Locks and condition variables
struct Counting {
  OsObject *cs;
  OsObject *srw;
  u64 counter;
  std::atomic<u32> finished;
};

void count_under_cs(u64 arg) {
  Counting *c = (Counting *)arg;
  for (int i = 0; i < 20000; i += 1) {
    cs_enter(c->cs);
    c->counter += 1;
    cs_leave(c->cs);
  }
  c->finished.fetch_add(1);
}

void count_under_srw(u64 arg) {
  Counting *c = (Counting *)arg;
  for (int i = 0; i < 20000; i += 1) {
    srw_lock_exclusive(c->srw);
    c->counter += 1;
    srw_unlock_exclusive(c->srw);
    srw_lock_shared(c->srw);
    volatile u64 seen = c->counter;
    (void)seen;
    srw_unlock_shared(c->srw);
  }
  c->finished.fetch_add(1);
}

TEST(OsLocks, ExclusiveSectionsDoNotOverlap) {
  Counting c{cs_create(), srw_create(), 0, {0}};
  for (int i = 0; i < 3; i += 1) {
    thread_create(count_under_cs, (u64)&c);
  }
  ASSERT_TRUE(wait_until([&] { return c.finished.load() == 3; }));
  EXPECT_EQ(c.counter, 60000u);

  c.counter = 0;
  c.finished.store(0);
  for (int i = 0; i < 3; i += 1) {
    thread_create(count_under_srw, (u64)&c);
  }
  ASSERT_TRUE(wait_until([&] { return c.finished.load() == 3; }));
  EXPECT_EQ(c.counter, 60000u);
}

TEST(OsConditionVariable, DeadlinesWithEitherLock) {
  OsObject *cv = cv_create();
  OsObject *cs = cs_create();
  OsObject *srw = srw_create();

  // a deadline already past returns false without waiting, the lock still held
  cs_enter(cs);
  EXPECT_FALSE(cv_wait_cs(cv, cs, 0));
  EXPECT_FALSE(cv_wait_cs(cv, cs, clock_now_us() - 1));
  u64 deadline = clock_now_us() + 20000;
  EXPECT_FALSE(cv_wait_cs(cv, cs, deadline));
  EXPECT_GE(clock_now_us(), deadline);
  cs_leave(cs);

  srw_lock_shared(srw);
  EXPECT_FALSE(cv_wait_srw_shared(cv, srw, 0));
  deadline = clock_now_us() + 20000;
  EXPECT_FALSE(cv_wait_srw_shared(cv, srw, deadline));
  EXPECT_GE(clock_now_us(), deadline);
  srw_unlock_shared(srw);

  // the shared lock is held again after the wait: a writer cannot get in until it is left
  srw_lock_exclusive(srw);
  srw_unlock_exclusive(srw);
}

struct Gate {
  OsObject *cv;
  OsObject *cs;
  OsObject *srw;
  u32 open; // guarded by cs for cs waiters, by srw for srw waiters
  u32 open_srw;
  u32 waiting; // guarded by cs
  u32 waiting_srw;
  std::atomic<u32> passed;
  std::atomic<u32> woken_true;
};

void wait_gate_cs(u64 arg) {
  Gate *g = (Gate *)arg;
  cs_enter(g->cs);
  g->waiting += 1;
  while (!g->open) {
    if (cv_wait_cs(g->cv, g->cs, clock_now_us() + 120 * 1000000ull)) {
      g->woken_true.fetch_add(1);
    }
  }
  cs_leave(g->cs);
  g->passed.fetch_add(1);
}

void wait_gate_srw(u64 arg) {
  Gate *g = (Gate *)arg;
  srw_lock_shared(g->srw);
  std::atomic_ref<u32>(g->waiting_srw).fetch_add(1);
  while (!std::atomic_ref<u32>(g->open_srw).load()) {
    if (cv_wait_srw_shared(g->cv, g->srw, DeadlineNone)) {
      g->woken_true.fetch_add(1);
    }
  }
  srw_unlock_shared(g->srw);
  g->passed.fetch_add(1);
}

// Waiters of both lock kinds on one condition variable: one wake-all after the condition is
// set under the lock releases all of them, and each reports that it was woken.
TEST(OsConditionVariable, WakeAllReleasesEveryWaiter) {
  Gate g{cv_create(), cs_create(), srw_create(), 0, 0, 0, 0, {0}, {0}};
  for (int i = 0; i < 3; i += 1) {
    thread_create(wait_gate_cs, (u64)&g);
  }
  for (int i = 0; i < 2; i += 1) {
    thread_create(wait_gate_srw, (u64)&g);
  }
  // Once a waiter has counted itself under the lock and we hold that lock, it is inside its
  // wait (or about to read the sequence under the lock we now hold): no wake can be missed.
  ASSERT_TRUE(wait_until([&] {
    cs_enter(g.cs);
    bool all = g.waiting == 3;
    cs_leave(g.cs);
    return all;
  }));
  ASSERT_TRUE(wait_until([&] { return std::atomic_ref<u32>(g.waiting_srw).load() == 2; }));
  sleep_ms(10);
  EXPECT_EQ(g.passed.load(), 0u);

  cs_enter(g.cs);
  g.open = 1;
  cs_leave(g.cs);
  srw_lock_exclusive(g.srw);
  std::atomic_ref<u32>(g.open_srw).store(1);
  srw_unlock_exclusive(g.srw);
  cv_wake_all(g.cv);

  ASSERT_TRUE(wait_until([&] { return g.passed.load() == 5; }));
  EXPECT_GE(g.woken_true.load(), 5u);
}

//~ Threads
struct Named {
  std::atomic<int> done;
  std::string long_name;
  std::string short_name;
  bool has_context;
  u64 arg;
};

void name_self(u64 arg) {
  Named *n = (Named *)arg;
  thread_set_name("[VANTOR] Convert #%I64u", (u64)7);
  n->long_name = thread_name();
  thread_set_name("[fs] detector");
  n->short_name = thread_name();
  n->has_context = thread_context() != nullptr && thread_scratch_arena(nullptr, 0) != nullptr;
  n->done.store(1);
}

TEST(OsThreads, StartedThreadsAreNamedAndEquipped) {
  Named n{{0}, {}, {}, false, 0};
  thread_create(name_self, (u64)&n);
  ASSERT_TRUE(wait_until([&] { return n.done.load() == 1; }));
  // Linux keeps the first 15 bytes, Windows the whole name
  std::string full = "[VANTOR] Convert #7";
  EXPECT_GE(n.long_name.size(), 15u);
  EXPECT_EQ(full.substr(0, n.long_name.size()), n.long_name);
  EXPECT_EQ(n.short_name, "[fs] detector");
  EXPECT_TRUE(n.has_context);
}

//~ Clock
TEST(OsClock, DeadlinesToMilliseconds) {
  EXPECT_EQ(deadline_to_ms(DeadlineNone), 0xFFFFFFFFu);
  EXPECT_EQ(deadline_to_ms(0), 0u);
  EXPECT_EQ(deadline_to_ms(clock_now_us() - 1), 0u);
  // rounded up: a deadline 1 µs ahead is at most 1 ms, 1.5 s ahead is 1500 ms at most
  EXPECT_LE(deadline_to_ms(clock_now_us() + 1), 1u);
  // bounded by the clock read before and after the call, however long this thread waited
  u64 deadline = clock_now_us() + 1500000;
  u32 ms = deadline_to_ms(deadline);
  u64 after = clock_now_us();
  EXPECT_LE(ms, 1500u);
  EXPECT_GE((u64)ms, deadline > after ? (deadline - after) / 1000 : 0u);
  // a far finite deadline never becomes the endless wait
  EXPECT_EQ(deadline_to_ms(DeadlineNone - 1), 0xFFFFFFFEu);

  u64 before = clock_now_us();
  sleep_ms(15);
  EXPECT_GE(clock_now_us() - before, 15000u);
}

//~ File times
TEST(OsTime, DenseTimeRoundTripsAndOrders) {
  DateTime last_of_year = {2023, 11, 0, 31, 23, 59, 60, 999};
  DateTime first_of_year = {2024, 0, 0, 1, 0, 0, 0, 0};
  DenseTime a = dense_time_from_date_time(last_of_year);
  DenseTime b = dense_time_from_date_time(first_of_year);
  EXPECT_LT(a, b);

  DateTime back = date_time_from_dense_time(a);
  EXPECT_EQ(back.year, 2023);
  EXPECT_EQ(back.month, 11);
  EXPECT_EQ(back.day, 31);
  EXPECT_EQ(back.hour, 23);
  EXPECT_EQ(back.minute, 59);
  EXPECT_EQ(back.second, 60);
  EXPECT_EQ(back.millisecond, 999);
  EXPECT_EQ(back.week_day, 0); // a Sunday

  // day 31 of January comes before day 1 of February and unpacks as itself
  DateTime jan31 = {2024, 0, 0, 31, 12, 0, 0, 0};
  DateTime feb1 = {2024, 1, 0, 1, 0, 0, 0, 0};
  EXPECT_LT(dense_time_from_date_time(jan31), dense_time_from_date_time(feb1));
  DateTime j = date_time_from_dense_time(dense_time_from_date_time(jan31));
  EXPECT_EQ(j.month, 0);
  EXPECT_EQ(j.day, 31);
  EXPECT_EQ(j.week_day, 3); // a Wednesday
  DateTime f = date_time_from_dense_time(dense_time_from_date_time(feb1));
  EXPECT_EQ(f.month, 1);
  EXPECT_EQ(f.day, 1);

  EXPECT_EQ(dense_time_from_date_time(first_of_year),
            ((((((2024ull * 12 + 0) * 31 + 1) * 24 + 0) * 60 + 0) * 61 + 0) * 1000 + 0));
}

TEST(OsTime, SameVersionComparesExistenceSizeAndFullTime) {
  FileProps a = {FilePropsExists, 10, 5, 5, 1000};
  FileProps b = a;
  EXPECT_TRUE(file_props_same_version(a, b));
  b.modified_ns += 1;
  EXPECT_FALSE(file_props_same_version(a, b));
  b = a;
  b.size = 11;
  EXPECT_FALSE(file_props_same_version(a, b));
  b = a;
  b.flags = 0;
  EXPECT_FALSE(file_props_same_version(a, b));
  EXPECT_TRUE(file_props_same_version(FileProps{}, FileProps{}));
}

} // namespace
