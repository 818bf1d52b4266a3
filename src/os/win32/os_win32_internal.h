// Backend-private declarations shared by the Windows files of the OS layer.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "os/os.h"

//~ Process start-up and facts
// The program's start-up: the command line, converted to UTF-8, is split into the arguments
// as CommandLineToArgvW splits it.
void process_init_command_line(const wchar_t *command_line);
// SetThreadDescription when the system has it (Windows 10 1607 and later), else null.
typedef HRESULT WINAPI SetThreadDescriptionFn(HANDLE thread, PCWSTR name);
SetThreadDescriptionFn *win32_set_thread_description();
u64 win32_counter_frequency();

//~ Libraries' standard error
// The real standard error's handle, also while a library call has descriptor 2.
HANDLE win32_error_handle();
// Sends what the pipe holds to the real standard error: a library's last words before a fault
// (an assertion's line) come before the report.
void win32_divert_send_pending();

//~ Files and folders
// The path as zero-terminated UTF-16 in the arena; null when it holds a zero byte, which
// would silently name a shorter path.
wchar_t *win32_path(Arena *arena, Str8 path);
DenseTime dense_time_from_filetime(FILETIME ft);

