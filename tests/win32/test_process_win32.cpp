// Test support on Windows: the counterpart of tests/test_process.cpp, built only into the
// Windows test runner. The program runs with its standard output on an anonymous pipe.
#include "test_process.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <psapi.h>

#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;

//~ File times
// Through SetFileTime: the C++ library's own setter keeps whole seconds only.
bool set_mtime(const std::string &path, long long seconds, long long nanoseconds) {
  int n = MultiByteToWideChar(CP_UTF8, 0, path.data(), (int)path.size(), nullptr, 0);
  std::wstring wide((size_t)n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.data(), (int)path.size(), wide.data(), n);
  HANDLE h = CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  // 100 ns ticks since 1601-01-01
  unsigned long long ticks = (unsigned long long)(seconds + 11644473600LL) * 10000000ULL + (unsigned long long)(nanoseconds / 100);
  FILETIME ft = {(DWORD)ticks, (DWORD)(ticks >> 32)};
  bool ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
  CloseHandle(h);
  return ok;
}

//~ Temporary folders
TempFolder::TempFolder(const std::string &prefix) {
  const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
  std::string temp = fs::temp_directory_path().generic_string();
  while (!temp.empty() && temp.back() == '/') temp.pop_back();
  path = temp + "/vantor-" + prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" + (info ? info->name() : "x");
  std::error_code ec;
  fs::remove_all(path, ec);
  fs::create_directories(path);
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::string TempFolder::write(const std::string &name, const std::string &text) const {
  fs::create_directories(fs::path(at(name)).parent_path());
  std::ofstream(at(name), std::ios::binary) << text;
  return at(name);
}

//~ Programs
// The record keeps a process id and a C runtime descriptor; the process handles behind the
// ids live here.
static std::mutex g_handles_lock;
static std::vector<std::pair<pid_t, HANDLE>> g_handles;

static HANDLE program_handle(pid_t pid) {
  std::lock_guard<std::mutex> hold(g_handles_lock);
  for (auto &entry : g_handles) {
    if (entry.first == pid) return entry.second;
  }
  return nullptr;
}

static void program_forget(pid_t pid) {
  std::lock_guard<std::mutex> hold(g_handles_lock);
  for (size_t i = 0; i < g_handles.size(); i += 1) {
    if (g_handles[i].first == pid) {
      CloseHandle(g_handles[i].second);
      g_handles.erase(g_handles.begin() + (long)i);
      return;
    }
  }
}

// Quoted so that the child's runtime hands every argument back whole.
static std::wstring quote_argument(const std::string &arg) {
  int n = MultiByteToWideChar(CP_UTF8, 0, arg.data(), (int)arg.size(), nullptr, 0);
  std::wstring wide((size_t)n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, arg.data(), (int)arg.size(), wide.data(), n);
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : wide) {
    if (c == L'\\') {
      slashes += 1;
      continue;
    }
    if (c == L'"') out.append(slashes * 2 + 1, L'\\');
    else out.append(slashes, L'\\');
    slashes = 0;
    out.push_back(c);
  }
  out.append(slashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

Program::Program(const std::vector<std::string> &args, const std::string &binary) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  std::wstring command = quote_argument(binary);
  for (const std::string &a : args) command += L" " + quote_argument(a);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    pid = (pid_t)info.dwProcessId;
    std::lock_guard<std::mutex> hold(g_handles_lock);
    g_handles.push_back({pid, info.hProcess});
  }
  CloseHandle(write_end);
  out_fd = _open_osfhandle((intptr_t)read_end, 0);
}

Program::~Program() {
  HANDLE process = program_handle(pid);
  if (process && exit_code < 0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
  }
  program_forget(pid);
  if (out_fd >= 0) _close(out_fd);
}

bool Program::pump(int ms) {
  HANDLE pipe = (HANDLE)_get_osfhandle(out_fd);
  DWORD start = GetTickCount();
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false; // writer gone
    if (available > 0) break;
    if ((int)(GetTickCount() - start) >= ms) return true;
    Sleep(10);
  }
  char buffer[4096];
  DWORD n = 0;
  if (!ReadFile(pipe, buffer, sizeof(buffer), &n, nullptr)) return false;
  out.append(buffer, n);
  return n != 0;
}

bool Program::wait_for_output(const std::string &text, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (out.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (!pump(100)) break;
  }
  return out.find(text) != std::string::npos;
}

bool Program::wait_for_exit(int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!pump(100)) break;
  }
  HANDLE process = program_handle(pid);
  if (!process) return false;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (WaitForSingleObject(process, (DWORD)std::max<long long>(0, left.count())) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  exit_code = (int)code;
  return true;
}

bool Program::running() {
  HANDLE process = program_handle(pid);
  return process && exit_code < 0 && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

long Program::peak_rss_kib() {
  HANDLE process = program_handle(pid);
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!process || !GetProcessMemoryInfo(process, &counters, sizeof(counters))) return 0;
  return (long)(counters.PeakWorkingSetSize / 1024);
}
