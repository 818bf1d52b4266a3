// Process start-up and facts on POSIX. Everything here runs on the main thread before any
// other thread exists; the records it fills are read-only afterwards.
#include <fcntl.h>
#include <sched.h>
#include <sys/random.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "os/posix/os_posix_internal.h"

//~ Process start-up and facts
//- machine facts
static u32 posix_processor_count() {
  // The CPUs this process may run on, which is less than the machine's count under taskset
  // or a container's CPU set.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return (u32)count;
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? (u32)online : 1;
}

// Runs before any arena exists, so the file goes through a stack buffer.
static u64 posix_huge_page_size() {
  char buffer[16384];
  u64 used = 0;
  int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  while (used < sizeof(buffer) - 1) {
    ssize_t n = read(fd, buffer + used, sizeof(buffer) - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += (u64)n;
  }
  close(fd);
  Str8 text = str8(buffer, used);
  Str8 key = str8_lit("\nHugepagesize:");
  u64 at = str8_find(text, key, 0, 0);
  if (at == text.size) return 0;
  u64 i = at + key.size;
  while (i < text.size && (text.str[i] == ' ' || text.str[i] == '\t')) i += 1;
  u64 value = 0;
  while (i < text.size && char_is_digit(text.str[i])) {
    value = value * 10 + (text.str[i] - '0');
    i += 1;
  }
  while (i < text.size && text.str[i] == ' ') i += 1;
  u64 unit = 1;
  if (i < text.size && text.str[i] == 'k') unit = kib(1);
  if (i < text.size && text.str[i] == 'M') unit = mib(1);
  return value * unit;
}

Str8 machine_name_query(Arena *arena) {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof(buffer) - 1) != 0) return Str8{};
  Str8 name = str8_cstring(buffer);
  return str8_copy(arena, str8_keep_front(name, 15));
}

//- process facts
Str8 exe_folder_query(Arena *arena) {
  Scratch scratch = scratch_begin(arena);
  u64 capacity = 32768;
  char *buffer = arena_push_uninit<char>(scratch.arena, capacity);
  ssize_t n = readlink("/proc/self/exe", buffer, capacity);
  Str8 folder = {};
  if (n > 0) {
    Str8 path = str8(buffer, (u64)n);
    u64 slash = str8_find(path, str8_lit("/"), 0, MatchLast);
    folder = str8_copy(arena, slash < path.size ? str8_keep_front(path, slash) : path);
  }
  scratch_restore(scratch);
  return folder;
}

Str8 user_data_folder_query(Arena *arena) {
  const char *config = getenv("XDG_CONFIG_HOME");
  if (config && config[0]) return str8_copy(arena, str8_cstring(config));
  const char *home = getenv("HOME");
  if (home && home[0]) return str8_concat(arena, str8_cstring(home), str8_lit("/.config"));
  return Str8{};
}

Str8 current_directory(Arena *arena) {
  Scratch scratch = scratch_begin(arena);
  Str8 result = {};
  for (u64 capacity = 4096; capacity <= mib(1); capacity *= 2) {
    char *buffer = arena_push_uninit<char>(scratch.arena, capacity);
    if (getcwd(buffer, capacity)) {
      result = str8_copy(arena, str8_cstring(buffer));
      break;
    }
    if (errno != ERANGE) break;
  }
  scratch_restore(scratch);
  return result;
}

//- start-up
// Eight bytes of the kernel's random source; should it have none to give, the clock's
// nanoseconds and the process id stand in.
static u64 posix_instance_id() {
  u64 id = 0;
  if (getrandom(&id, sizeof(id), 0) == (ssize_t)sizeof(id)) return id;
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return ((u64)now.tv_sec * 1000000000ull + (u64)now.tv_nsec) ^ ((u64)getpid() << 40);
}

void process_init_system(ProcInfo *info) {
  fatal_report_install();

  // a backslash is a byte like any other in a name here: only "/" separates
  path_set_backslash_separates(false);

  // The image libraries' buffers are the only large heap memory. Those a worker's next file
  // can use again are kept by the libraries' own heap (convert_heap); beyond that, a fixed
  // threshold maps every large one on its own and returns it to the system when freed, where
  // the allocator's moving threshold would keep freed buffers in each thread's heap.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);

  // machine facts, before the first arena: arenas size their reservations by the huge page
  SysInfo *sys = sys_info();
  sys->processor_count = posix_processor_count();
  long page = sysconf(_SC_PAGESIZE);
  sys->page_size = page > 0 ? (u64)page : 4096;
  sys->allocation_granularity = sys->page_size;
  sys->large_page_minimum = posix_huge_page_size();
  info->process_id = (u32)getpid();
  info->instance_id = posix_instance_id();
}

void environment_query(Arena *arena, Str8List *out) {
  for (char **entry = environ; entry && *entry; entry += 1) {
    str8_list_add(arena, out, str8_copy(arena, str8_cstring(*entry)));
  }
}

void process_exit(int code) {
  fflush(stdout);
  _exit(code);
}

bool console_error_is_terminal() { return isatty(STDERR_FILENO) == 1; }
