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
static void posix_error_keep(); // with the libraries' standard error, below

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
  posix_error_keep();
  sys_info()->error_write = console_error_write;
  fatal_report_install();

  // a backslash is a byte like any other in a name here: only "/" separates
  path_set_backslash_separates(false);

  // The image libraries' buffers are the only large heap memory. Those a worker's next file
  // can use again are kept by the libraries' own heap (image_heap); beyond that, a fixed
  // threshold maps each buffer of 32 MiB or more (a decoded photo of 12 megapixels and up) on
  // its own and returns it to the system when freed, where the allocator's moving threshold
  // would keep such buffers in each thread's heap. Smaller ones come from the thread's heap and
  // are used again: for each full-HD picture, the AV1 and WebP encoders allocate and free tens
  // of megabytes in blocks of up to 16 MB, and were those mapped anew each time, their pages
  // would cost a fault each: 7% of the CPU time of a photo made into AVIF targets.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);

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

bool console_error_is_terminal() { return isatty(posix_error_fd()) == 1; }

//~ Libraries' standard error
// The real standard error, apart from descriptor 2, which a library call may find turned into
// the pipe; -1 when the process started without one. Written by start-up before any other
// thread exists. The pipe's ends, made on first use under the capture lock, are both
// non-blocking.
static int g_error_fd = -1;
static int g_divert_read = -1;
static int g_divert_write = -1;

// Above the standard descriptors: with one of them closed at start, a new descriptor would
// otherwise take its place and catch the program's own output. -1 when that fails.
static int posix_fd_above_standard(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

static void posix_error_keep() {
  if (fcntl(STDERR_FILENO, F_GETFD) < 0) return;
  g_error_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

int posix_error_fd() { return g_error_fd >= 0 ? g_error_fd : STDERR_FILENO; }

void console_error_write(Str8 text) {
  int fd = posix_error_fd();
  while (text.size > 0) {
    ssize_t n = write(fd, text.str, (size_t)text.size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text = str8_drop_front(text, (u64)n);
  }
}

void posix_divert_send_pending() {
  if (g_divert_read < 0) return;
  u8 chunk[4096];
  for (u64 got; (got = stderr_divert_read(chunk, sizeof(chunk))) > 0;) console_error_write(str8(chunk, got));
}

bool stderr_divert_open() {
  if (g_error_fd < 0) return false;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  int read_end = posix_fd_above_standard(ends[0]);
  int write_end = posix_fd_above_standard(ends[1]);
  if (read_end < 0 || write_end < 0) {
    if (read_end >= 0) close(read_end);
    if (write_end >= 0) close(write_end);
    return false;
  }
  g_divert_read = read_end;
  g_divert_write = write_end;
  return true;
}

// What the C library's stream holds goes out before the descriptor changes (glibc's stderr is
// unbuffered: nothing), and an error met on a full pipe is not left on it for the real stream.
void stderr_divert(bool into_pipe) {
  fflush(stderr);
  int from = into_pipe ? g_divert_write : g_error_fd;
  while (dup2(from, STDERR_FILENO) < 0 && (errno == EINTR || errno == EBUSY)) {
  }
  if (!into_pipe) clearerr(stderr);
}

u64 stderr_divert_read(u8 *buffer, u64 capacity) {
  for (;;) {
    ssize_t n = read(g_divert_read, buffer, (size_t)capacity);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? (u64)n : 0;
  }
}
