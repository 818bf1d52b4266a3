// A small program the tests start to watch the OS layer from outside: it crashes in the way
// its first argument names, or runs the process entry and prints what it parsed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <atomic>

#include "os/os.h"

static std::atomic<int> g_ready;

// The faults must reach the OS layer's report, not the sanitizers' own checks.
#define HELPER_FAULT __attribute__((noinline, no_sanitize("undefined")))

HELPER_FAULT static void crash_null_write() {
  volatile int *volatile target = nullptr;
  *target = 1;
}

__attribute__((noinline)) static int crash_after_depth(int depth) {
  if (depth == 0) {
    crash_null_write();
    return 0;
  }
  return crash_after_depth(depth - 1) + 1;
}

__attribute__((noinline)) static int overflow_stack(int depth) {
  volatile char pad[512];
  pad[0] = (char)depth;
  if (depth > 100000000) { // far beyond any stack: the guard page is hit long before
    return 0;
  }
  return overflow_stack(depth + 1) + pad[0];
}

HELPER_FAULT static int divide(int a, int b) { return a / b; }

static void crash_together(u64) {
  g_ready.fetch_add(1);
  while (g_ready.load() < 2) {
  }
  crash_null_write();
}

static void crash_on_worker(u64) { crash_null_write(); }

static void park() {
  for (;;) {
    sleep_ms(1000);
  }
}

static int print_entry(ArgTable *table) {
  Str8 name = thread_get_name(thread_scratch_arena(nullptr, 0));
  Str8 in = arg_value(table, str8_lit("in"));
  printf("name=%.*s in=%.*s thread=%llu help=%d\n", (int)name.size, (const char *)name.str, (int)in.size,
         (const char *)in.str,
         (unsigned long long)arg_u64(table, str8_lit("thread")), (int)arg_flag(table, str8_lit("help")));
  return 0;
}

// What start-up kept of the arguments: the flags say whether the copies have the bytes of
// argv in memory of their own, and whether the count and the closing null were kept.
static void print_arguments(int argc, char **argv) {
  bool copied = process_argc() == argc;
  for (int i = 0; copied && i < argc; i += 1) {
    copied = process_argv()[i] != argv[i] && strcmp(process_argv()[i], argv[i]) == 0;
  }
  printf("quiet=%u copied=%d kept=%d\n", process_quiet(), (int)copied,
         (int)(process_argc() == argc && process_argv()[argc] == nullptr));
  for (int i = 0; i < process_argc(); i += 1) printf("%s\n", process_argv()[i]);
}

int main(int argc, char **argv) {
  process_init(argc, argv);
  const char *mode = argc > 1 ? argv[1] : "";

  if (!strcmp(mode, "segv")) {
    crash_null_write();
  } else if (!strcmp(mode, "taken")) {
    // a library's call in flight prints, then faults: its standard error is the pipe
    static StderrCapture capture;
    stderr_capture_begin(&capture);
    fputs("a library's last words\n", stderr);
    crash_null_write();
  } else if (!strcmp(mode, "deep")) {
    crash_after_depth(40);
  } else if (!strcmp(mode, "overflow")) {
    overflow_stack(0);
  } else if (!strcmp(mode, "abort")) {
    abort();
  } else if (!strcmp(mode, "fpe")) {
    printf("%d\n", divide(1, atoi("0")));
  } else if (!strcmp(mode, "worker")) {
    thread_create(crash_on_worker, 0);
    park();
  } else if (!strcmp(mode, "together")) {
    thread_create(crash_together, 0);
    thread_create(crash_together, 0);
    park();
  } else if (!strcmp(mode, "entry")) {
    process_entry(print_entry, process_argc(), process_argv());
    process_exit(0);
  } else if (!strcmp(mode, "args")) {
    print_arguments(argc, argv);
    return 0;
  } else if (!strcmp(mode, "facts")) {
    ProcInfo *info = proc_info();
    printf("pid=%u\nexe=%.*s\n", info->process_id, (int)info->exe_folder.size, (const char *)info->exe_folder.str);
    return 0;
  } else if (!strcmp(mode, "exit")) {
    // on a pipe standard output is fully buffered: only the exit's flush writes this
    printf("buffered line without newline");
    process_exit(5);
  }
  printf("no crash\n");
  return 0;
}
