// Test support on Windows: the counterpart of tests/test_process.cpp, built only into the
// Windows test runner. The program runs with its standard output on an anonymous pipe.
#include "test_process.h"

#include <gtest/gtest.h>

#include "win32/test_win32.h"

#include <io.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;

//~ File times
// Through SetFileTime: the C++ library's own setter keeps whole seconds only.
bool set_mtime(const std::string &path, long long seconds, long long nanoseconds) {
  HANDLE h = CreateFileW(wide_from_utf8(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  // 100 ns ticks since 1601-01-01
  unsigned long long ticks = (unsigned long long)(seconds + 11644473600LL) * 10000000ULL + (unsigned long long)(nanoseconds / 100);
  FILETIME ft = {(DWORD)ticks, (DWORD)(ticks >> 32)};
  bool ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
  CloseHandle(h);
  return ok;
}

// Unprivileged creation needs developer mode on Windows 10 and later; wine always allows it.
bool make_folder_link(const std::string &target, const std::string &link) {
  std::wstring wtarget = wide_from_utf8(target), wlink = wide_from_utf8(link);
  std::replace(wtarget.begin(), wtarget.end(), L'/', L'\\');
  std::replace(wlink.begin(), wlink.end(), L'/', L'\\');
  return CreateSymbolicLinkW(wlink.c_str(), wtarget.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
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
  std::wstring wide = wide_from_utf8(arg);
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

static std::wstring command_line_of(const std::string &binary, const std::vector<std::string> &args) {
  std::wstring command = quote_argument(binary);
  for (const std::string &a : args) command += L" " + quote_argument(a);
  return command;
}

// Starts the command line with the test's standard input and the given output handles, which
// the child inherits.
static bool start_child(std::wstring command, HANDLE out, HANDLE err, PROCESS_INFORMATION *info) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  return CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, info) != 0;
}

Program::Program(const std::vector<std::string> &args, const std::string &binary) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  PROCESS_INFORMATION info = {};
  if (start_child(command_line_of(binary, args), write_end, GetStdHandle(STD_ERROR_HANDLE), &info)) {
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

//~ Runs to the end
// Both streams go to files of their own: a pipe left unread could stall the child.
static HANDLE inheritable_file(const std::string &path) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return CreateFileW(wide_from_utf8(path).c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

FinishedRun run_to_end(const std::vector<std::string> &args, const std::string &binary, int seconds) {
  return run_command_line_to_end(command_line_of(binary, args), seconds);
}

FinishedRun run_command_line_to_end(const std::wstring &command_line, int seconds) {
  static std::atomic<int> runs;
  FinishedRun run;
  std::string temp = fs::temp_directory_path().generic_string();
  while (!temp.empty() && temp.back() == '/') temp.pop_back();
  std::string dir =
      temp + "/vantor-run-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(runs.fetch_add(1));
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  std::string out_path = dir + "/out", err_path = dir + "/err";

  HANDLE out = inheritable_file(out_path), err = inheritable_file(err_path);
  PROCESS_INFORMATION info = {};
  if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE && start_child(command_line, out, err, &info)) {
    CloseHandle(info.hThread);
    if (WaitForSingleObject(info.hProcess, (DWORD)seconds * 1000) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(info.hProcess, &code);
      run.ended = true;
      run.exit_code = (int)code;
    } else {
      TerminateProcess(info.hProcess, 1);
      WaitForSingleObject(info.hProcess, INFINITE);
    }
    CloseHandle(info.hProcess);
  }
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (err != INVALID_HANDLE_VALUE) CloseHandle(err);

  std::ifstream out_file(out_path, std::ios::binary), err_file(err_path, std::ios::binary);
  run.out.assign(std::istreambuf_iterator<char>(out_file), std::istreambuf_iterator<char>());
  run.err.assign(std::istreambuf_iterator<char>(err_file), std::istreambuf_iterator<char>());
  out_file.close();
  err_file.close();
  fs::remove_all(dir, ec);
  return run;
}
