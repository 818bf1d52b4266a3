// Fatal report on Windows: an exception that no handler takes, on any thread, ends in one
// report on standard error (exception code, symbolised call stack) and exit code 1.
//
// The debug-help library is loaded by name only when a fault happens, so the program does not
// depend on it at load time. The call stack needs PDB debug information; a build without it
// (MinGW writes DWARF) gets the rebuild notice instead.
#include "os/win32/os_win32_internal.h"

#include <dbghelp.h>
#include <shlwapi.h>

#include <cstdio>
#include <cwchar>

//~ Report state
constexpr u32 FatalMaxFrames = 32;
constexpr int FatalTextCapacity = 4096;

static u32 g_fatal_installed;
static u32 g_report_gate; // 0 → 1 by the one thread that reports
static u32 g_reporter;    // that thread's id

struct ReportText {
  wchar_t text[FatalTextCapacity];
  int count;
};

//~ Text
static void report_append(ReportText *report, const wchar_t *format, ...) {
  int room = FatalTextCapacity - report->count;
  if (room <= 1) {
    return;
  }
  va_list args;
  va_start(args, format);
  int n = wvnsprintfW(report->text + report->count, room, format, args);
  va_end(args);
  if (n > 0) {
    report->count += n;
  } else {
    report->count = (int)wcslen(report->text);
  }
}

//~ Call stack
// Only the library's types come from its header; its functions are looked up at the fault.
static_assert(sizeof(IMAGEHLP_MODULEW64) == 0xCC0, "IMAGEHLP_MODULEW64 is 3264 bytes");
static_assert(sizeof(SYMBOL_INFOW) == 88, "SYMBOL_INFOW is 88 bytes");
static_assert(sizeof(IMAGEHLP_LINEW64) == 40, "IMAGEHLP_LINEW64 is 40 bytes");

typedef DWORD WINAPI SymSetOptionsFn(DWORD options);
typedef BOOL WINAPI SymInitializeWFn(HANDLE process, PCWSTR search_path, BOOL invade);
typedef PVOID WINAPI SymFunctionTableAccess64Fn(HANDLE process, DWORD64 base);
typedef DWORD64 WINAPI SymGetModuleBase64Fn(HANDLE process, DWORD64 address);
typedef BOOL WINAPI StackWalk64Fn(DWORD machine, HANDLE process, HANDLE thread, STACKFRAME64 *frame, PVOID context,
                                  PVOID read_memory, SymFunctionTableAccess64Fn *table_access,
                                  SymGetModuleBase64Fn *module_base, PVOID translate);
typedef BOOL WINAPI SymFromAddrWFn(HANDLE process, DWORD64 address, DWORD64 *displacement, SYMBOL_INFOW *symbol);
typedef BOOL WINAPI SymGetLineFromAddrW64Fn(HANDLE process, DWORD64 address, DWORD *displacement, IMAGEHLP_LINEW64 *line);
typedef BOOL WINAPI SymGetModuleInfoW64Fn(HANDLE process, DWORD64 address, IMAGEHLP_MODULEW64 *info);

struct DebugHelp {
  SymSetOptionsFn *set_options;
  SymInitializeWFn *initialize;
  StackWalk64Fn *stack_walk;
  SymFunctionTableAccess64Fn *function_table_access;
  SymGetModuleBase64Fn *module_base;
  SymFromAddrWFn *from_addr;
  SymGetLineFromAddrW64Fn *line_from_addr;
  SymGetModuleInfoW64Fn *module_info;
};

static bool debug_help_load(DebugHelp *dh) {
  HMODULE lib = LoadLibraryA("dbghelp.dll");
  if (!lib) {
    return false;
  }
  dh->set_options = (SymSetOptionsFn *)(void *)GetProcAddress(lib, "SymSetOptions");
  dh->initialize = (SymInitializeWFn *)(void *)GetProcAddress(lib, "SymInitializeW");
  dh->stack_walk = (StackWalk64Fn *)(void *)GetProcAddress(lib, "StackWalk64");
  dh->function_table_access = (SymFunctionTableAccess64Fn *)(void *)GetProcAddress(lib, "SymFunctionTableAccess64");
  dh->module_base = (SymGetModuleBase64Fn *)(void *)GetProcAddress(lib, "SymGetModuleBase64");
  dh->from_addr = (SymFromAddrWFn *)(void *)GetProcAddress(lib, "SymFromAddrW");
  dh->line_from_addr = (SymGetLineFromAddrW64Fn *)(void *)GetProcAddress(lib, "SymGetLineFromAddrW64");
  dh->module_info = (SymGetModuleInfoW64Fn *)(void *)GetProcAddress(lib, "SymGetModuleInfoW64");
  return dh->set_options && dh->initialize && dh->stack_walk && dh->function_table_access && dh->module_base &&
         dh->from_addr && dh->line_from_addr && dh->module_info;
}

static LONG WINAPI fatal_report_filter(EXCEPTION_POINTERS *info);

static void report_append_call_stack(ReportText *report, CONTEXT *context) {
  DebugHelp dh = {};
  if (!debug_help_load(&dh)) {
    return;
  }
  HANDLE process = GetCurrentProcess();
  HANDLE thread = GetCurrentThread();
  dh.set_options(0x612); // undecorated names, lines, no error dialogs, exact symbols
  if (!dh.initialize(process, L"", TRUE)) {
    return;
  }

  // debug information counts as usable when this module's own symbols are PDB ones
  IMAGEHLP_MODULEW64 self = {};
  self.SizeOfStruct = sizeof(self);
  if (!dh.module_info(process, (DWORD64)(uintptr_t)&fatal_report_filter, &self) || self.SymType != 3) {
    report_append(report, L"\nThe PDB debug information file for this executable is not valid or was not found. "
                          L"Please rebuild binary to get the call stack.\n");
    return;
  }

  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = context->Rip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = context->Rbp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = context->Rsp;
  frame.AddrStack.Mode = AddrModeFlat;

  alignas(8) u8 symbol_area[4088] = {};
  for (u32 number = 0;; number += 1) {
    if (number == FatalMaxFrames) {
      report_append(report, L"...");
      break;
    }
    if (!dh.stack_walk(0x8664, process, thread, &frame, context, nullptr, dh.function_table_access, dh.module_base,
                       nullptr) ||
        frame.AddrPC.Offset == 0) {
      break;
    }
    if (number == 0) {
      report_append(report, L"Call stack:\n");
    }
    DWORD64 pc = frame.AddrPC.Offset;
    report_append(report, L"%u. [0x%I64x]", number + 1, pc);

    memset(symbol_area, 0, sizeof(symbol_area));
    SYMBOL_INFOW *symbol = (SYMBOL_INFOW *)symbol_area;
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = 2000;
    DWORD64 displacement = 0;
    if (dh.from_addr(process, pc, &displacement, symbol)) {
      report_append(report, L" %s +%u", symbol->Name, (u32)displacement);
      IMAGEHLP_LINEW64 line = {};
      line.SizeOfStruct = sizeof(line);
      DWORD line_displacement = 0;
      if (dh.line_from_addr(process, pc, &line_displacement, &line)) {
        report_append(report, L", %s line %u", PathFindFileNameW(line.FileName), (u32)line.LineNumber);
      }
    } else {
      IMAGEHLP_MODULEW64 module = {};
      module.SizeOfStruct = sizeof(module);
      if (dh.module_info(process, pc, &module)) {
        report_append(report, L" %s", module.ModuleName);
      }
    }
    report_append(report, L"\n");
  }
}

//~ Handler
[[noreturn]] static void park_forever() {
  for (;;) {
    Sleep(1000);
  }
}

// Standard error carries bytes, not UTF-16: the report goes out as UTF-8, like all output.
[[noreturn]] static void report_send_and_exit(ReportText *report) {
  static char bytes[FatalTextCapacity * 3 + 1];
  int size = WideCharToMultiByte(CP_UTF8, 0, report->text, report->count, bytes, sizeof(bytes), nullptr, nullptr);
  win32_divert_send_pending();
  console_error_write(str8_lit("\n--- Fatal Exception ---\n"));
  console_error_write(Str8{(u8 *)bytes, size > 0 ? (u64)size : 0});
  console_error_write(str8_lit("\n\n"));
  ExitProcess(1);
}

static LONG WINAPI fatal_report_filter(EXCEPTION_POINTERS *info) {
  if (process_quiet()) {
    ExitProcess(1);
  }
  // The report lives in static memory: the faulting thread's stack may be the thing that
  // overflowed.
  static ReportText report;
  u32 self = (u32)GetCurrentThreadId();
  if (!atomic_cas_u32(&g_report_gate, 0, 1)) {
    // A fault inside the report itself (the debug-help library, say) comes back here on the
    // same thread: what is there is sent, rather than the process hanging.
    if (atomic_load_u32(&g_reporter) == self) {
      report_send_and_exit(&report);
    }
    park_forever();
  }
  atomic_store_u32(&g_reporter, self);

  memset(&report, 0, sizeof(report));
  report_append(&report, L"A fatal exception (code 0x%x) occurred. The process is terminating.\n",
                (u32)info->ExceptionRecord->ExceptionCode);
  report_append_call_stack(&report, info->ContextRecord);
  report_send_and_exit(&report);
}

//~ Installation
void fatal_report_install() {
  fatal_report_thread_init();
  if (atomic_exchange_u32(&g_fatal_installed, 1)) {
    return;
  }
  SetUnhandledExceptionFilter(fatal_report_filter);
}

// A stack overflow leaves the faulting thread little room: each thread keeps some in reserve
// for the filter.
void fatal_report_thread_init() {
  ULONG reserve = 64 * 1024;
  SetThreadStackGuarantee(&reserve);
}
