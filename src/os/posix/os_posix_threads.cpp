// Threads, locks and clocks on POSIX: pthreads for threads, mutexes and reader/writer locks,
// a futex on a sequence counter for condition variables, CLOCK_MONOTONIC for the clock.
#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>

#include "os/posix/os_posix_internal.h"

//~ Sync pool
enum OsObjectKind : i32 {
  OsObjectThread = 1,
  OsObjectCriticalSection = 2,
  OsObjectSrwLock = 3,
  OsObjectConditionVariable = 4,
};

struct OsObject {
  i32 kind;
  union {
    struct {
      ThreadEntry *entry;
      u64 arg;
      pthread_t handle; // 0 when the thread could not be started
      u32 id;           // kernel thread id, written by the thread itself
    } thread;
    pthread_mutex_t mutex;
    pthread_rwlock_t rwlock;
    // Bumped by every wake-all; a waiter sleeps only while it still holds the value it read
    // under the caller's lock, so a wake between unlock and sleep is never lost.
    u32 sequence;
  };
};

struct SyncPool {
  pthread_mutex_t lock;
  Arena *arena;
};

static SyncPool g_sync_pool = {PTHREAD_MUTEX_INITIALIZER, nullptr};

void sync_pool_init() {
  pthread_mutex_lock(&g_sync_pool.lock);
  if (!g_sync_pool.arena) {
    g_sync_pool.arena = arena_create(mib(64), kib(64));
  }
  pthread_mutex_unlock(&g_sync_pool.lock);
}

static OsObject *os_object_alloc(OsObjectKind kind) {
  pthread_mutex_lock(&g_sync_pool.lock);
  if (!g_sync_pool.arena) {
    g_sync_pool.arena = arena_create(mib(64), kib(64));
  }
  OsObject *object = arena_push<OsObject>(g_sync_pool.arena);
  pthread_mutex_unlock(&g_sync_pool.lock);
  object->kind = kind;
  return object;
}

//~ Threads
static void *thread_start(void *param) {
  OsObject *thread = (OsObject *)param;
  ThreadContext context = {};
  thread_context_init(&context);
  fatal_report_thread_init();
  atomic_store_u32(&thread->thread.id, (u32)gettid());

  thread->thread.entry(thread->thread.arg);

  fatal_report_thread_release();
  thread_context_release();
  return nullptr;
}

OsObject *thread_create(ThreadEntry *entry, u64 arg) {
  OsObject *thread = os_object_alloc(OsObjectThread);
  thread->thread.entry = entry;
  thread->thread.arg = arg;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // The thread is born with SIGTERM and SIGINT blocked: only the main thread takes a stop
  // request, so that no other thread's system call is cut short by one.
  sigset_t stops, kept;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, &kept);
  pthread_t handle;
  if (pthread_create(&handle, &attr, thread_start, thread) == 0) {
    thread->thread.handle = handle;
  }
  pthread_sigmask(SIG_SETMASK, &kept, nullptr);
  pthread_attr_destroy(&attr);
  return thread;
}

void thread_set_name(const char *format, ...) {
  Scratch scratch = scratch_begin(nullptr);
  va_list args;
  va_start(args, format);
  Str8 name = arena_format_v(scratch.arena, format, args);
  va_end(args);

  // The kernel keeps 15 bytes and refuses longer names outright.
  char cut[16];
  u64 size = min_of<u64>(name.size, 15);
  memcpy(cut, name.str, size);
  cut[size] = 0;
  pthread_setname_np(pthread_self(), cut);
  scratch_restore(scratch);
}

Str8 thread_get_name(Arena *arena) {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof(name)) != 0) return Str8{};
  return str8_copy(arena, str8_cstring(name));
}

// The kernel's name of the main thread is the process's own: renamed, the program would be
// lost to ps, top, pgrep -x and killall. Threads started later keep the names they give.
void thread_set_main_name(const char *) {}

//~ Critical sections
OsObject *cs_create() {
  OsObject *cs = os_object_alloc(OsObjectCriticalSection);
  pthread_mutex_init(&cs->mutex, nullptr);
  return cs;
}

void cs_enter(OsObject *cs) { pthread_mutex_lock(&cs->mutex); }
void cs_leave(OsObject *cs) { pthread_mutex_unlock(&cs->mutex); }

//~ SRW locks
// Writers are preferred, so a steady stream of readers cannot starve an insertion; as with
// any slim lock, a thread must not take the same lock shared twice.
OsObject *srw_create() {
  OsObject *srw = os_object_alloc(OsObjectSrwLock);
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&srw->rwlock, &attr);
  pthread_rwlockattr_destroy(&attr);
  return srw;
}

void srw_lock_shared(OsObject *srw) { pthread_rwlock_rdlock(&srw->rwlock); }
void srw_unlock_shared(OsObject *srw) { pthread_rwlock_unlock(&srw->rwlock); }
void srw_lock_exclusive(OsObject *srw) { pthread_rwlock_wrlock(&srw->rwlock); }
void srw_unlock_exclusive(OsObject *srw) { pthread_rwlock_unlock(&srw->rwlock); }

//~ Condition variables
OsObject *cv_create() { return os_object_alloc(OsObjectConditionVariable); }

// Called with the caller's lock held; returns with it held again. The sequence is read under
// that lock, before it is released.
static bool cv_sleep(OsObject *cv, u32 seen, u32 ms) {
  timespec timeout = {};
  timespec *timeout_ptr = nullptr;
  if (ms != 0xFFFFFFFFu) {
    timeout.tv_sec = ms / 1000;
    timeout.tv_nsec = (long)(ms % 1000) * 1000000;
    timeout_ptr = &timeout;
  }
  long r = syscall(SYS_futex, &cv->sequence, FUTEX_WAIT_PRIVATE, seen, timeout_ptr, nullptr, 0);
  return !(r == -1 && errno == ETIMEDOUT);
}

bool cv_wait_cs(OsObject *cv, OsObject *cs, u64 deadline) {
  u32 ms = deadline_to_ms(deadline);
  if (ms == 0) {
    return false;
  }
  u32 seen = atomic_load_u32(&cv->sequence);
  pthread_mutex_unlock(&cs->mutex);
  bool woken = cv_sleep(cv, seen, ms);
  pthread_mutex_lock(&cs->mutex);
  return woken;
}

bool cv_wait_srw_shared(OsObject *cv, OsObject *srw, u64 deadline) {
  u32 ms = deadline_to_ms(deadline);
  if (ms == 0) {
    return false;
  }
  u32 seen = atomic_load_u32(&cv->sequence);
  pthread_rwlock_unlock(&srw->rwlock);
  bool woken = cv_sleep(cv, seen, ms);
  pthread_rwlock_rdlock(&srw->rwlock);
  return woken;
}

void cv_wake_all(OsObject *cv) {
  std::atomic_ref<u32>(cv->sequence).fetch_add(1);
  syscall(SYS_futex, &cv->sequence, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

//~ Clock
u64 clock_now_us() {
  timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    return 0;
  }
  return (u64)now.tv_sec * 1000000ull + (u64)now.tv_nsec / 1000;
}

u64 clock_wall_us() {
  timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0;
  return (u64)now.tv_sec * 1000000ull + (u64)now.tv_nsec / 1000;
}

// A finite deadline never turns into the endless wait: far deadlines stop one short of it.
u32 deadline_to_ms(u64 deadline) {
  if (deadline == DeadlineNone) {
    return 0xFFFFFFFFu;
  }
  u64 now = clock_now_us();
  if (now >= deadline) {
    return 0;
  }
  u64 ms = (deadline - now) / 1000 + ((deadline - now) % 1000 != 0);
  return (u32)min_of<u64>(ms, 0xFFFFFFFEull);
}

void sleep_ms(u32 ms) {
  timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}
