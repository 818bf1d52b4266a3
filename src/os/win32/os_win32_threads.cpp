// Threads, locks and clocks on Windows: system threads, critical sections, slim reader/writer
// locks and condition variables, the performance counter for the clock.
#include <cstdarg>

#include "os/win32/os_win32_internal.h"

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
      HANDLE handle; // null when the thread could not be started
      DWORD id;
    } thread;
    CRITICAL_SECTION cs;
    SRWLOCK srw;
    CONDITION_VARIABLE cv;
  };
};

struct SyncPool {
  SRWLOCK lock; // a slim lock needs no initialisation call, so the pool is usable at any time
  Arena *arena;
};

static SyncPool g_sync_pool = {SRWLOCK_INIT, nullptr};

void sync_pool_init() {
  AcquireSRWLockExclusive(&g_sync_pool.lock);
  if (!g_sync_pool.arena) {
    g_sync_pool.arena = arena_create(mib(64), kib(64));
  }
  ReleaseSRWLockExclusive(&g_sync_pool.lock);
}

static OsObject *os_object_alloc(OsObjectKind kind) {
  AcquireSRWLockExclusive(&g_sync_pool.lock);
  if (!g_sync_pool.arena) {
    g_sync_pool.arena = arena_create(mib(64), kib(64));
  }
  OsObject *object = arena_push<OsObject>(g_sync_pool.arena);
  ReleaseSRWLockExclusive(&g_sync_pool.lock);
  object->kind = kind;
  return object;
}

//~ Threads
static DWORD WINAPI thread_start(void *param) {
  OsObject *thread = (OsObject *)param;
  ThreadContext context = {};
  thread_context_init(&context);
  fatal_report_thread_init();

  thread->thread.entry(thread->thread.arg);

  thread_context_release();
  return 0;
}

OsObject *thread_create(ThreadEntry *entry, u64 arg) {
  OsObject *thread = os_object_alloc(OsObjectThread);
  thread->thread.entry = entry;
  thread->thread.arg = arg;
  thread->thread.handle = CreateThread(nullptr, 0, thread_start, thread, 0, &thread->thread.id);
  return thread;
}

//- naming
// The debugger's naming exception is swallowed by a handler of our own when no debugger took
// it first; it answers only while this thread is raising one, so it can never hide a fault.
constexpr DWORD NameThreadException = 0x406D1388;
static thread_local u32 t_naming;
static u32 g_naming_handler_added;

static LONG WINAPI naming_exception_handler(EXCEPTION_POINTERS *info) {
  if (t_naming && info->ExceptionRecord->ExceptionCode == NameThreadException) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

#pragma pack(push, 8)
struct ThreadNameInfo {
  DWORD type; // 0x1000
  LPCSTR name;
  DWORD thread_id;
  DWORD flags;
};
#pragma pack(pop)

void thread_set_name(const char *format, ...) {
  Scratch scratch = scratch_begin(nullptr);
  va_list args;
  va_start(args, format);
  Str8 name = arena_format_v(scratch.arena, format, args);
  va_end(args);

  SetThreadDescriptionFn *describe = win32_set_thread_description();
  if (describe) {
    Str16 wide = str16_from_str8(scratch.arena, name);
    describe(GetCurrentThread(), (PCWSTR)wide.str);
  }

  if (!atomic_exchange_u32(&g_naming_handler_added, 1)) {
    AddVectoredExceptionHandler(1, naming_exception_handler);
  }
  ThreadNameInfo info = {0x1000, (LPCSTR)name.str, GetCurrentThreadId(), 0};
  t_naming = 1;
  RaiseException(NameThreadException, 0, sizeof(info) / sizeof(ULONG_PTR), (const ULONG_PTR *)&info);
  t_naming = 0;
  scratch_restore(scratch);
}

// GetThreadDescription is looked up on first use: older systems have none, and the name is
// then unknown.
typedef HRESULT WINAPI GetThreadDescriptionFn(HANDLE thread, PWSTR *name);

Str8 thread_get_name(Arena *arena) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  GetThreadDescriptionFn *describe =
      kernel ? (GetThreadDescriptionFn *)(void *)GetProcAddress(kernel, "GetThreadDescription") : nullptr;
  PWSTR wide = nullptr;
  if (!describe || FAILED(describe(GetCurrentThread(), &wide)) || !wide) return Str8{};
  Str8 name = str8_from_str16(arena, str16_from_wcstr((u16 *)wide));
  LocalFree(wide);
  return name;
}

// The process keeps its image name whatever its threads are called.
void thread_set_main_name(const char *name) { thread_set_name("%s", name); }

//~ Critical sections
OsObject *cs_create() {
  OsObject *cs = os_object_alloc(OsObjectCriticalSection);
  InitializeCriticalSection(&cs->cs);
  return cs;
}

void cs_enter(OsObject *cs) { EnterCriticalSection(&cs->cs); }
void cs_leave(OsObject *cs) { LeaveCriticalSection(&cs->cs); }

//~ SRW locks
// As with any slim lock, a thread must not take the same lock shared twice.
OsObject *srw_create() {
  OsObject *srw = os_object_alloc(OsObjectSrwLock);
  InitializeSRWLock(&srw->srw);
  return srw;
}

void srw_lock_shared(OsObject *srw) { AcquireSRWLockShared(&srw->srw); }
void srw_unlock_shared(OsObject *srw) { ReleaseSRWLockShared(&srw->srw); }
void srw_lock_exclusive(OsObject *srw) { AcquireSRWLockExclusive(&srw->srw); }
void srw_unlock_exclusive(OsObject *srw) { ReleaseSRWLockExclusive(&srw->srw); }

//~ Condition variables
OsObject *cv_create() {
  OsObject *cv = os_object_alloc(OsObjectConditionVariable);
  InitializeConditionVariable(&cv->cv);
  return cv;
}

bool cv_wait_cs(OsObject *cv, OsObject *cs, u64 deadline) {
  u32 ms = deadline_to_ms(deadline);
  if (ms == 0) {
    return false;
  }
  return SleepConditionVariableCS(&cv->cv, &cs->cs, ms) != 0;
}

bool cv_wait_srw_shared(OsObject *cv, OsObject *srw, u64 deadline) {
  u32 ms = deadline_to_ms(deadline);
  if (ms == 0) {
    return false;
  }
  return SleepConditionVariableSRW(&cv->cv, &srw->srw, ms, CONDITION_VARIABLE_LOCKMODE_SHARED) != 0;
}

void cv_wake_all(OsObject *cv) { WakeAllConditionVariable(&cv->cv); }

//~ Clock
// Whole seconds and the remainder apart: counter × 1 000 000 would wrap after some days of
// uptime at a 10 MHz counter.
u64 clock_now_us() {
  LARGE_INTEGER counter;
  if (!QueryPerformanceCounter(&counter)) {
    return 0;
  }
  u64 frequency = win32_counter_frequency();
  u64 ticks = (u64)counter.QuadPart;
  return (ticks / frequency) * 1000000ull + (ticks % frequency) * 1000000ull / frequency;
}

u64 clock_wall_us() {
  FILETIME now; // 100 ns steps since 1601-01-01 UTC
  GetSystemTimePreciseAsFileTime(&now);
  u64 ticks = ((u64)now.dwHighDateTime << 32) | now.dwLowDateTime;
  const u64 unix_epoch = 116444736000000000ull;
  return ticks > unix_epoch ? (ticks - unix_epoch) / 10 : 0;
}

// A finite deadline never turns into the endless wait: far deadlines stop one short of it.
u32 deadline_to_ms(u64 deadline) {
  if (deadline == DeadlineNone) {
    return INFINITE;
  }
  u64 now = clock_now_us();
  if (now >= deadline) {
    return 0;
  }
  u64 ms = (deadline - now) / 1000 + ((deadline - now) % 1000 != 0);
  return (u32)min_of<u64>(ms, 0xFFFFFFFEull);
}

void sleep_ms(u32 ms) { Sleep(ms); }
