// Process facts as Windows gives them, asked through other calls than the backend's own
// where there are any: the known-folder call for the roaming folder, the environment
// variable call, the native system information.
#include <gtest/gtest.h>

#include "win32/test_win32.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "os/os.h"
#include "test_process.h"
#include "test_text.h"

namespace {

namespace fs = std::filesystem;


TEST(Win32Process, MachineFacts) {
  SysInfo *sys = sys_info();
  SYSTEM_INFO info = {};
  GetNativeSystemInfo(&info);
  EXPECT_EQ(sys->page_size, (u64)info.dwPageSize);
  EXPECT_EQ(sys->allocation_granularity, (u64)info.dwAllocationGranularity);
  EXPECT_EQ(sys->large_page_minimum, (u64)GetLargePageMinimum());

  // the processors this process may use: never more than the machine has
  DWORD_PTR process_mask = 0, system_mask = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask));
  EXPECT_EQ(sys->processor_count, (u32)__builtin_popcountll((unsigned long long)process_mask));
  EXPECT_LE(sys->processor_count, (u32)info.dwNumberOfProcessors);

  // the NetBIOS name, at most 15 bytes
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof(name);
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(text_of(sys->machine_name), std::string(name, size).substr(0, 15));
}

TEST(Win32Process, ProcessFacts) {
  ProcInfo *info = proc_info();
  EXPECT_EQ(info->process_id, (u32)GetCurrentProcessId());

  // the executable's folder as the system names it, backslashes and all, without the last one
  std::wstring module(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, module.data(), (DWORD)module.size());
  ASSERT_GT(n, 0u);
  module.resize(n);
  size_t cut = module.find_last_of(L"\\/");
  ASSERT_NE(cut, std::wstring::npos);
  EXPECT_EQ(text_of(info->exe_folder), utf8_from_wide(module.data(), cut));
  EXPECT_EQ(fs::path(module).stem(), fs::path(process_argv()[0]).stem());

  // the roaming application-data folder
  PWSTR roaming = nullptr;
  ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming), S_OK);
  EXPECT_EQ(text_of(info->user_data_folder), utf8_from_wide(roaming, wcslen(roaming)));
  CoTaskMemFree(roaming);

  // the environment as UTF-8, with the names as the block spells them
  wchar_t value[32768];
  DWORD length = GetEnvironmentVariableW(L"PATH", value, 32768);
  ASSERT_GT(length, 0u);
  bool found = false;
  for (Str8Node *e = info->environment.first; e; e = e->next) {
    std::string entry = text_of(e->string);
    if (entry.size() > 5 && entry[4] == '=' && _strnicmp(entry.c_str(), "PATH", 4) == 0) {
      EXPECT_EQ(entry.substr(5), utf8_from_wide(value, length));
      found = true;
    }
  }
  EXPECT_TRUE(found);

  // the current folder as the system reports it, with its drive and backslashes
  wchar_t current[MAX_PATH * 4];
  DWORD used = GetCurrentDirectoryW(MAX_PATH * 4, current);
  ASSERT_GT(used, 0u);
  EXPECT_EQ(text_of(info->current_folder), utf8_from_wide(current, used));
}

// The program writes its standard output in binary mode: a pipe gets "\n" alone, as on every
// other system, never "\r\n".
TEST(Win32Process, StandardOutputKeepsBareLineFeeds) {
  TempFolder tmp("win32");
  Program program({"-in=" + tmp.at("in"), "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta"), "-thread=1",
                   "-help"});
  ASSERT_TRUE(program.wait_for_exit());
  EXPECT_EQ(program.exit_code, 0);
  EXPECT_EQ(program.out.find('\r'), std::string::npos);
  EXPECT_NE(program.out.find("\n\nWaiting for PNG/JPEG files...\n"), std::string::npos) << program.out;
  EXPECT_EQ(program.out.substr(program.out.size() - 16), "[Vantor] ended.\n");
}

// A path that starts at the root of the current drive has no drive letter to add: the program
// shows it as given (separators and dots made plain) and the system places it, for the
// program as for this runner (wine: below its unix root, Windows: on the current drive).
TEST(Win32Process, RootRelativeFoldersAreShownAsGiven) {
  std::string base = "/tmp/vantor-win32-" + std::to_string(GetCurrentProcessId()) + "-root-relative";
  struct Cleanup {
    std::string path;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } cleanup{base};
  Program program({"-in=" + base + "/in", "-out=" + base + "\\out", "-metadatas=" + base + "/x/../meta", "-thread=1",
                   "-help"});
  ASSERT_TRUE(program.wait_for_exit());
  EXPECT_EQ(program.exit_code, 0);
  std::string summary = "Options:\n\tin:        " + base + "/in\n\tout:       " + base + "/out\n\tmetadatas: " + base +
                        "/meta\n\ttargets:   default\n\tthread:    1\n\torientation: upright\n\tcolor:     sRGB\n"
                        "\tpng_level: 12\n\n"
                        "Waiting for PNG/JPEG files...\n"
                        "Converter - Help -\n";
  EXPECT_EQ(program.out.substr(0, summary.size()), summary);
  EXPECT_TRUE(fs::is_directory(base + "/in"));
  EXPECT_TRUE(fs::is_directory(base + "/out"));
  EXPECT_TRUE(fs::is_directory(base + "/meta"));
  EXPECT_FALSE(fs::exists(base + "/x"));
}

// The program reads its arguments from the command line as Windows splits it: quotes in the
// middle of an argument group a path with spaces, 2n backslashes before a quote are n, and ""
// inside quotes is a quote that keeps the quoting going.
// Its main thread is named, which on Windows leaves the process its name.
TEST(Win32Process, CommandLineIsSplitAsWindowsSplitsItAndTheMainThreadIsNamed) {
  TempFolder tmp("win32");
  auto native = [](std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return wide_from_utf8(path);
  };
  std::wstring line = L"\"" + wide_from_utf8(VANTOR_BIN) + L"\" -in=\"" + native(tmp.at("My Pictures/in")) + L"\" \"-out=" +
                      native(tmp.at("my out")) + L"\\\\\" -metadatas=\"" + native(tmp.at("meta data")) +
                      L"\" \"-odd\"\" key=1\" -thread=1 -help";
  FinishedRun run = run_command_line_to_end(line);
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exit_code, 0) << run.out;
  std::string summary = "Options:\n\tin:        " + tmp.at("My Pictures/in") + "\n\tout:       " + tmp.at("my out") +
                        "\n\tmetadatas: " + tmp.at("meta data") + "\n";
  EXPECT_EQ(run.out.substr(0, summary.size()), summary);
  std::string warning = "\nwarning: unknown option \"odd\" key\"; it is ignored\n";
  EXPECT_NE(run.out.find(warning), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("warning"), run.out.find(warning) + 1) << run.out;
  for (const char *folder : {"My Pictures/in", "my out", "meta data"}) EXPECT_TRUE(fs::is_directory(tmp.at(folder)));

  Program helper({"entry", "-in=D:/My Pics"}, VANTOR_TEST_HELPER_BIN);
  ASSERT_TRUE(helper.wait_for_exit());
  EXPECT_EQ(helper.out, "name=[main thread] in=D:/My Pics thread=0 help=0\n");
}

} // namespace
