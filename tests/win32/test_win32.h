// What the Windows tests share: the system header, text between UTF-8 and UTF-16, and runs
// of a command line written out whole.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "test_process.h"

inline std::wstring wide_from_utf8(const std::string &text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
  std::wstring wide((size_t)n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), wide.data(), n);
  return wide;
}

inline std::string utf8_from_wide(const wchar_t *text, size_t size) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, (int)size, nullptr, 0, nullptr, nullptr);
  std::string out((size_t)n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, (int)size, out.data(), n, nullptr, nullptr);
  return out;
}

// Like run_to_end, with the command line exactly as given: quoting and escapes are the test's.
FinishedRun run_command_line_to_end(const std::wstring &command_line, int seconds = 180);
