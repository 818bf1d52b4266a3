// Threads on POSIX only: a started thread carries the alternate signal stack the fatal report
// runs on when the thread's own stack has overflowed, and leaves stop requests (SIGTERM,
// SIGINT) to the main thread. Windows has neither to check.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>

#include "os/os.h"
#include "test_process.h"

namespace {

struct Stacked {
  std::atomic<int> done;
  bool has_signal_stack;
  bool blocks_stops;
};

void look_at_stack(u64 arg) {
  Stacked *s = (Stacked *)arg;
  stack_t stack = {};
  s->has_signal_stack = sigaltstack(nullptr, &stack) == 0 && !(stack.ss_flags & SS_DISABLE);
  sigset_t mask;
  s->blocks_stops = pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, SIGTERM) == 1 &&
                    sigismember(&mask, SIGINT) == 1;
  s->done.store(1);
}

TEST(OsThreadsPosix, StartedThreadsHaveTheirSignalStackAndLeaveStopsToTheMainThread) {
  Stacked s{{0}, false, false};
  thread_create(look_at_stack, (u64)&s);
  ASSERT_TRUE(wait_until([&] { return s.done.load() == 1; }));
  EXPECT_TRUE(s.has_signal_stack);
  EXPECT_TRUE(s.blocks_stops);
  // the thread that started it keeps taking them
  sigset_t mask;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
  EXPECT_EQ(sigismember(&mask, SIGTERM), 0);
}

} // namespace
