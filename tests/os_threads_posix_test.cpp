// Threads on POSIX only: a started thread carries the alternate signal stack the fatal report
// runs on when the thread's own stack has overflowed. Windows has no such stack to check.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>

#include "os/os.h"
#include "test_process.h"

namespace {

struct Stacked {
  std::atomic<int> done;
  bool has_signal_stack;
};

void look_at_stack(u64 arg) {
  Stacked *s = (Stacked *)arg;
  stack_t stack = {};
  s->has_signal_stack = sigaltstack(nullptr, &stack) == 0 && !(stack.ss_flags & SS_DISABLE);
  s->done.store(1);
}

TEST(OsThreadsPosix, StartedThreadsHaveTheirSignalStack) {
  Stacked s{{0}, false};
  thread_create(look_at_stack, (u64)&s);
  ASSERT_TRUE(wait_until([&] { return s.done.load() == 1; }));
  EXPECT_TRUE(s.has_signal_stack);
}

} // namespace
