// Start-up on POSIX (minimal for now: process facts and the main thread's context).
#include <unistd.h>

#include "os/os.h"

static ThreadContext g_main_thread_context;
static ProcInfo g_proc_info;
static int g_argc;
static char **g_argv;

ProcInfo *proc_info() { return &g_proc_info; }
u32 process_quiet() { return 0; }
int process_argc() { return g_argc; }
char **process_argv() { return g_argv; }

void process_init(int argc, char **argv) {
  SysInfo *info = sys_info();
  info->processor_count = (u32)sysconf(_SC_NPROCESSORS_ONLN);
  info->page_size = (u64)sysconf(_SC_PAGESIZE);
  info->allocation_granularity = info->page_size;
  info->large_page_minimum = 0;
  thread_context_init(&g_main_thread_context);
  g_argc = argc;
  g_argv = argv;
}
