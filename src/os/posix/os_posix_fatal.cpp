// Fatal report on POSIX: the fault signals of every thread end in one report on standard
// error (signal number, symbolised call stack) and exit code 1.
//
// The handler runs on a per-thread alternate stack, so a stack overflow still reports. It
// formats into one static buffer with its own number printing and leaves with write(2) and
// _exit(1). Symbols and lines come from GCC's libbacktrace when the build found it (its
// memory comes from mmap, never from the heap); otherwise from backtrace() and dladdr(),
// which give symbol names without lines. Only the demangler touches the heap: a watchdog
// alarm sends whatever text is ready if the report ever hangs.
#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#if VANTOR_HAVE_LIBBACKTRACE
#include <backtrace.h>
#else
#include <execinfo.h>
#endif

#include "os/posix/os_posix_internal.h"

//~ Report state
static const int fatal_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

constexpr u64 FatalAltStackSize = kib(256);
constexpr u32 FatalMaxFrames = 32;
constexpr u32 FatalWatchdogSeconds = 10;

static u32 g_fatal_installed;
static u32 g_report_gate;           // 0 → 1 by the one thread that reports
static std::atomic<i32> g_reporter; // that thread's id, to tell a fault inside the report
static char g_report_text[16384];
static u64 g_report_size;

static thread_local u8 *t_alt_stack; // mapping base (guard page first); null when none

#if VANTOR_HAVE_LIBBACKTRACE
static backtrace_state *g_backtrace;
#endif

//~ Text
static void report_append(const char *s, u64 size) {
  u64 room = sizeof(g_report_text) - g_report_size;
  u64 n = size < room ? size : room;
  memcpy(g_report_text + g_report_size, s, n);
  g_report_size += n;
}

static void report_append_cstr(const char *s) { report_append(s, s ? strlen(s) : 0); }

static void report_append_u64(u64 v, u32 base) {
  char digits[24];
  u32 n = 0;
  do {
    digits[sizeof(digits) - 1 - n] = "0123456789abcdef"[v % base];
    v /= base;
    n += 1;
  } while (v != 0);
  report_append(digits + sizeof(digits) - n, n);
}

static const char *bare_file_name(const char *path) {
  const char *name = path;
  for (const char *p = path; *p; p += 1) {
    if (*p == '/') {
      name = p + 1;
    }
  }
  return name;
}

static void write_all(int fd, const char *s, u64 size) {
  while (size > 0) {
    ssize_t n = write(fd, s, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    s += n;
    size -= (u64)n;
  }
}

[[noreturn]] static void report_send_and_exit() {
  static const char header[] = "\n--- Fatal Exception ---\n";
  posix_divert_send_pending();
  write_all(posix_error_fd(), header, sizeof(header) - 1);
  write_all(posix_error_fd(), g_report_text, g_report_size);
  write_all(posix_error_fd(), "\n\n", 2);
  _exit(1);
}

// " name +displacement", demangled when the name is a C++ one.
static void report_append_symbol(const char *name, u64 displacement) {
  report_append_cstr(" ");
  char *readable = nullptr;
  if (name[0] == '_' && name[1] == 'Z') {
    int status = -1;
    readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0) {
      readable = nullptr;
    }
  }
  report_append_cstr(readable ? readable : name);
  report_append_cstr(" +");
  report_append_u64((u32)displacement, 10);
}

//~ Call stack
static uintptr_t fault_address_of(void *context) {
  ucontext_t *uc = (ucontext_t *)context;
#if defined(__x86_64__)
  return (uintptr_t)uc->uc_mcontext.gregs[REG_RIP];
#elif defined(__aarch64__)
  return (uintptr_t)uc->uc_mcontext.pc;
#else
  (void)uc;
  return 0;
#endif
}

struct FramePcs {
  uintptr_t pcs[FatalMaxFrames + 48];
  u32 count;
};

// The walk starts inside this handler and crosses the signal frame: the frames the report
// lists begin at the faulting instruction. Frames after it are return addresses; each is
// looked up one byte earlier, inside its call instruction, so the line is the call's.
static u32 frames_skip_to_fault(FramePcs *frames, uintptr_t fault_pc) {
  for (u32 i = 0; i < frames->count; i += 1) {
    if (frames->pcs[i] == fault_pc) {
      return i;
    }
  }
  return 0;
}

// The frames from the faulting one on, numbered from 1, at most FatalMaxFrames. Each address
// is shown as the walk gave it (a return address after the first) and described at its
// lookup address, one byte earlier after the first.
typedef void FrameDescribe(uintptr_t lookup, uintptr_t shown);

static void report_append_frames(const FramePcs *frames, u32 first, FrameDescribe *describe) {
  for (u32 i = first; i < frames->count; i += 1) {
    u32 number = i - first + 1;
    if (number > FatalMaxFrames) {
      report_append_cstr("...");
      break;
    }
    if (number == 1) {
      report_append_cstr("Call stack:\n");
    }
    uintptr_t shown = frames->pcs[i];
    uintptr_t lookup = i == first ? shown : shown - 1;
    report_append_u64(number, 10);
    report_append_cstr(". [0x");
    report_append_u64(shown, 16);
    report_append_cstr("]");
    describe(lookup, shown);
    report_append_cstr("\n");
  }
}

static void report_append_module(uintptr_t pc) {
  Dl_info info = {};
  if (dladdr((void *)pc, &info) && info.dli_fname && info.dli_fname[0]) {
    report_append_cstr(" ");
    report_append_cstr(bare_file_name(info.dli_fname));
  }
}

#if VANTOR_HAVE_LIBBACKTRACE
static void bt_ignore_error(void *, const char *, int) {}

static int bt_collect(void *data, uintptr_t pc) {
  FramePcs *frames = (FramePcs *)data;
  if (pc == 0 || pc == ~(uintptr_t)0) {
    return 1;
  }
  frames->pcs[frames->count++] = pc;
  return frames->count == sizeof(frames->pcs) / sizeof(frames->pcs[0]) ? 1 : 0;
}

struct SymbolFound {
  const char *name;
  uintptr_t start;
};

static void bt_symbol(void *data, uintptr_t, const char *name, uintptr_t start, uintptr_t) {
  SymbolFound *found = (SymbolFound *)data;
  if (name) {
    found->name = name;
    found->start = start;
  }
}

struct LineFound {
  const char *file;
  int line;
  bool seen;
};

// With inlining the callback runs once per inlined level, innermost first: keep the first.
static int bt_line(void *data, uintptr_t, const char *file, int line, const char *) {
  LineFound *found = (LineFound *)data;
  if (!found->seen) {
    found->seen = true;
    found->file = file;
    found->line = line;
  }
  return 0;
}

static void bt_describe(uintptr_t lookup, uintptr_t shown) {
  SymbolFound symbol = {};
  backtrace_syminfo(g_backtrace, lookup, bt_symbol, bt_ignore_error, &symbol);
  if (!symbol.name) {
    report_append_module(lookup);
    return;
  }
  report_append_symbol(symbol.name, shown - symbol.start);
  LineFound line = {};
  backtrace_pcinfo(g_backtrace, lookup, bt_line, bt_ignore_error, &line);
  if (line.file) {
    report_append_cstr(", ");
    report_append_cstr(bare_file_name(line.file));
    report_append_cstr(" line ");
    report_append_u64((u32)line.line, 10);
  }
}

static void fatal_report_handler(int sig, siginfo_t *info, void *context);

static void report_append_call_stack(void *context) {
  if (!g_backtrace) {
    return;
  }

  // debug information counts as usable when this handler's own address has a source line
  LineFound self = {};
  backtrace_pcinfo(g_backtrace, (uintptr_t)&fatal_report_handler, bt_line, bt_ignore_error, &self);
  if (!self.file) {
    report_append_cstr("\nThe debug information file for this executable is not valid or was not found. "
                       "Please rebuild binary to get the call stack.\n");
    return;
  }

  FramePcs frames = {};
  backtrace_simple(g_backtrace, 0, bt_collect, bt_ignore_error, &frames);
  u32 first = frames_skip_to_fault(&frames, fault_address_of(context));
  // the walk gives the frames after the fault already inside their call instructions
  for (u32 i = first + 1; i < frames.count; i += 1) frames.pcs[i] += 1;
  report_append_frames(&frames, first, bt_describe);
}
#else
static void dl_describe(uintptr_t lookup, uintptr_t shown) {
  Dl_info info = {};
  if (dladdr((void *)lookup, &info) && info.dli_sname) {
    report_append_symbol(info.dli_sname, shown - (uintptr_t)info.dli_saddr);
  } else {
    report_append_module(lookup);
  }
}

static void report_append_call_stack(void *context) {
  FramePcs frames = {};
  void *pcs[sizeof(frames.pcs) / sizeof(frames.pcs[0])];
  int count = backtrace(pcs, (int)(sizeof(pcs) / sizeof(pcs[0])));
  for (int i = 0; i < count; i += 1) {
    frames.pcs[frames.count++] = (uintptr_t)pcs[i];
  }
  report_append_frames(&frames, frames_skip_to_fault(&frames, fault_address_of(context)), dl_describe);
}
#endif

//~ Handler
static void fatal_report_watchdog(int) { report_send_and_exit(); }

static void park_forever() {
  for (;;) {
    timespec second = {1, 0};
    nanosleep(&second, nullptr);
  }
}

static void fatal_report_handler(int sig, siginfo_t *, void *context) {
  if (process_quiet()) {
    _exit(1);
  }

  i32 self = (i32)gettid();
  if (!atomic_cas_u32(&g_report_gate, 0, 1)) {
    // A fault while this thread was reporting: send what is there.
    if (g_reporter.load() == self) {
      report_send_and_exit();
    }
    park_forever();
  }
  g_reporter.store(self);

  struct sigaction watchdog = {};
  watchdog.sa_handler = fatal_report_watchdog;
  sigemptyset(&watchdog.sa_mask);
  sigaction(SIGALRM, &watchdog, nullptr);
  alarm(FatalWatchdogSeconds);

  report_append_cstr("A fatal exception (code 0x");
  report_append_u64((u32)sig, 16);
  report_append_cstr(") occurred. The process is terminating.\n");
  report_append_call_stack(context);
  report_send_and_exit();
}

//~ Installation
void fatal_report_thread_init() {
  if (t_alt_stack) {
    return;
  }
  u64 page = (u64)sysconf(_SC_PAGESIZE);
  void *base = mmap(nullptr, FatalAltStackSize + page, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) {
    return;
  }
  mprotect(base, page, PROT_NONE); // overrunning the signal stack faults instead of corrupting
  stack_t stack = {};
  stack.ss_sp = (u8 *)base + page;
  stack.ss_size = FatalAltStackSize;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(base, FatalAltStackSize + page);
    return;
  }
  t_alt_stack = (u8 *)base;
}

void fatal_report_thread_release() {
  if (!t_alt_stack) {
    return;
  }
  stack_t off = {};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(t_alt_stack, FatalAltStackSize + (u64)sysconf(_SC_PAGESIZE));
  t_alt_stack = nullptr;
}

void fatal_report_install() {
  fatal_report_thread_init();
  if (atomic_exchange_u32(&g_fatal_installed, 1)) {
    return;
  }

  // Everything that may load code or allocate happens now rather than in the handler.
#if VANTOR_HAVE_LIBBACKTRACE
  g_backtrace = backtrace_create_state(nullptr, 1, bt_ignore_error, nullptr);
#else
  void *warm[1];
  backtrace(warm, 1);
#endif

  struct sigaction action = {};
  action.sa_sigaction = fatal_report_handler;
  // SA_NODEFER: a fault inside the report reaches the handler again and sends what is there.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int sig : fatal_signals) {
    sigaction(sig, &action, nullptr);
  }
}
