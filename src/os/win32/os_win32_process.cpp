// Process start-up and facts on Windows. Everything here runs on the main thread before any
// other thread exists; the records it fills are read-only afterwards.
#include "os/win32/os_win32_internal.h"

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <cstdio>

//~ Process start-up and facts
static u64 g_counter_frequency = 1;
static SetThreadDescriptionFn *g_set_thread_description;

SetThreadDescriptionFn *win32_set_thread_description() { return g_set_thread_description; }
u64 win32_counter_frequency() { return g_counter_frequency; }

//- machine facts
// The processors this process may run on: fewer than the machine has under an affinity mask.
static u32 win32_processor_count(const SYSTEM_INFO *info) {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask) {
    u32 count = (u32)__builtin_popcountll((u64)process_mask);
    if (count > 0) return count;
  }
  return info->dwNumberOfProcessors > 0 ? (u32)info->dwNumberOfProcessors : 1;
}

Str8 machine_name_query(Arena *arena) {
  char buffer[16] = {};
  DWORD size = sizeof(buffer);
  if (!GetComputerNameA(buffer, &size)) return Str8{};
  return str8_copy(arena, str8((u8 *)buffer, min_of<u64>(size, 15)));
}

//- process facts
Str8 exe_folder_query(Arena *arena) {
  Scratch scratch = scratch_begin(arena);
  const DWORD capacity = 32768;
  wchar_t *buffer = arena_push<wchar_t>(scratch.arena, capacity);
  DWORD n = GetModuleFileNameW(nullptr, buffer, capacity);
  Str8 folder = {};
  if (n > 0) {
    Str8 path = str8_from_str16(scratch.arena, str16((u16 *)buffer, min_of<u64>(n, capacity)));
    u64 cut = path.size;
    for (u64 i = 0; i < path.size; i += 1) {
      if (path.str[i] == '/' || path.str[i] == '\\') cut = i;
    }
    folder = str8_copy(arena, str8_keep_front(path, cut));
  }
  scratch_restore(scratch);
  return folder;
}

Str8 user_data_folder_query(Arena *arena) {
  Scratch scratch = scratch_begin(arena);
  wchar_t *buffer = arena_push<wchar_t>(scratch.arena, 32768);
  Str8 folder = {};
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    folder = str8_from_str16(arena, str16_from_wcstr((u16 *)buffer));
  }
  scratch_restore(scratch);
  return folder;
}

// Asked twice: the first call gives the length, which may grow before the second; a second
// call that no longer fits gives nothing rather than a cut path.
Str8 current_directory(Arena *arena) {
  Scratch scratch = scratch_begin(arena);
  Str8 result = {};
  DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed > 0) {
    wchar_t *buffer = arena_push<wchar_t>(scratch.arena, (u64)needed + 1);
    DWORD n = GetCurrentDirectoryW(needed + 1, buffer);
    if (n > 0 && n <= needed) result = str8_from_str16(arena, str16((u16 *)buffer, n));
  }
  scratch_restore(scratch);
  return result;
}

void environment_query(Arena *arena, Str8List *out) {
  wchar_t *block = GetEnvironmentStringsW();
  if (!block) return;
  for (wchar_t *entry = block; *entry;) {
    Str16 wide = str16_from_wcstr((u16 *)entry);
    str8_list_add(arena, out, str8_from_str16(arena, wide));
    entry += wide.size + 1;
  }
  FreeEnvironmentStringsW(block);
}

//- start-up
// Eight bytes of the system's random source; should it have none to give, the performance
// counter and the process id stand in.
static u64 win32_instance_id() {
  u64 id = 0;
  if (BCryptGenRandom(nullptr, (PUCHAR)&id, sizeof(id), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0) return id;
  LARGE_INTEGER now = {};
  QueryPerformanceCounter(&now);
  return (u64)now.QuadPart ^ ((u64)GetCurrentProcessId() << 40);
}

static void win32_error_keep(); // with the libraries' standard error, below

void process_init_system(ProcInfo *proc) {
  fatal_report_install();

  // the system takes a backslash and "/" alike as separators, and so does every path we read
  path_set_backslash_separates(true);

  // The console and any pipe get the same bytes as on every other system: "\n" stays one
  // byte (the console starts a new line on it all the same).
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  win32_error_keep();
  sys_info()->error_write = console_error_write;

  HMODULE kernel = LoadLibraryA("kernel32.dll");
  if (kernel) {
    g_set_thread_description = (SetThreadDescriptionFn *)(void *)GetProcAddress(kernel, "SetThreadDescription");
    FreeLibrary(kernel); // kernel32 stays loaded in every process, so the address stays valid
  }

  SYSTEM_INFO info = {};
  GetSystemInfo(&info);
  LARGE_INTEGER frequency;
  if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
    g_counter_frequency = (u64)frequency.QuadPart;
  }

  // machine facts, before the first arena: arenas size their reservations by the large page
  SysInfo *sys = sys_info();
  sys->processor_count = win32_processor_count(&info);
  sys->page_size = info.dwPageSize;
  sys->large_page_minimum = GetLargePageMinimum();
  sys->allocation_granularity = info.dwAllocationGranularity;

  proc->process_id = GetCurrentProcessId();
  proc->instance_id = win32_instance_id();
}

// The program's start-up: the UTF-16 command line becomes UTF-8, then its arguments.
void process_init_command_line(const wchar_t *command_line) {
  process_init_facts();
  Scratch scratch = scratch_begin(nullptr);
  Str8 line = str8_from_str16(scratch.arena, str16_from_wcstr((u16 *)command_line));
  Str8List args = arg_list_from_command_line(scratch.arena, line);
  char **argv = arena_push<char *>(scratch.arena, args.node_count + 1);
  int argc = 0;
  for (Str8Node *n = args.first; n; n = n->next) argv[argc++] = (char *)n->string.str;
  process_args_keep(argc, argv);
  scratch_restore(scratch);
}

void process_exit(int code) {
  fflush(stdout);
  fflush(stderr);
  ExitProcess((UINT)code);
}

// A console window answers GetConsoleMode; a pipe, a file or wine's redirected output does not.
bool console_error_is_terminal() {
  DWORD mode = 0;
  HANDLE handle = win32_error_handle();
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

//~ Libraries' standard error
// The real standard error as a descriptor of the C runtime, apart from descriptor 2, which a
// library call may find turned into the pipe (the runtime then also makes the pipe the
// process's standard error handle); -1 when the process started without one. The libraries are
// linked statically against the same runtime DLL, so their stderr is the program's, on
// descriptor 2. Written by start-up before any other thread exists; the pipe's ends are made on
// first use, under the capture lock.
static int g_error_fd = -1;
static int g_divert_read = -1;
static int g_divert_write = -1;

// After standard error was made binary: the copy keeps that mode.
static void win32_error_keep() {
  g_error_fd = _dup(_fileno(stderr));
  if (g_error_fd >= 0) _setmode(g_error_fd, _O_BINARY);
}

HANDLE win32_error_handle() {
  return g_error_fd >= 0 ? (HANDLE)_get_osfhandle(g_error_fd) : GetStdHandle(STD_ERROR_HANDLE);
}

void console_error_write(Str8 text) {
  int fd = g_error_fd >= 0 ? g_error_fd : _fileno(stderr);
  while (text.size > 0) {
    int n = _write(fd, text.str, (unsigned)min_of(text.size, (u64)1 << 30));
    if (n <= 0) return;
    text = str8_drop_front(text, (u64)n);
  }
}

// The runtime buffers stderr when it is not a console: those bytes go first, wherever descriptor
// 2 points now.
void win32_divert_send_pending() {
  fflush(stderr);
  if (g_divert_read < 0) return;
  static u8 chunk[4096]; // the faulting thread's stack may be what overflowed
  for (u64 got; (got = stderr_divert_read(chunk, sizeof(chunk))) > 0;) console_error_write(str8(chunk, got));
}

// An anonymous pipe waits when full unless told not to: its writing end is set to PIPE_NOWAIT,
// so a library's write takes what fits and returns. A pipe end among the standard descriptors
// (one of them was missing at start) would catch the program's own output: nothing is taken then.
bool stderr_divert_open() {
  if (g_error_fd < 0) return false;
  int ends[2];
  if (_pipe(ends, 64 * 1024, _O_BINARY | _O_NOINHERIT) != 0) return false;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if (ends[0] <= 2 || ends[1] <= 2 ||
      !SetNamedPipeHandleState((HANDLE)_get_osfhandle(ends[1]), &mode, nullptr, nullptr)) {
    _close(ends[0]);
    _close(ends[1]);
    return false;
  }
  g_divert_read = ends[0];
  g_divert_write = ends[1];
  return true;
}

// What the runtime's stream holds (it buffers stderr when that is not a console) goes out
// before the descriptor changes, so it lands where it was printed; an error met on a full pipe
// is not left on the stream for the real one.
void stderr_divert(bool into_pipe) {
  fflush(stderr);
  _dup2(into_pipe ? g_divert_write : g_error_fd, _fileno(stderr));
  if (!into_pipe) clearerr(stderr);
}

// Only what the pipe holds: a read of an empty pipe would wait.
u64 stderr_divert_read(u8 *buffer, u64 capacity) {
  HANDLE pipe = (HANDLE)_get_osfhandle(g_divert_read);
  DWORD available = 0, got = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) return 0;
  if (!ReadFile(pipe, buffer, (DWORD)min_of<u64>(capacity, available), &got, nullptr)) return 0;
  return got;
}
