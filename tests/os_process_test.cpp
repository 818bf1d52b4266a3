// Process start-up facts, the argument copies, the quiet flag and the exit path, as every
// system has them. Start-up runs once per process, so its argument handling and the exit are
// watched in the helper program; the facts only a given system can confirm are in
// os_process_posix_test.cpp and win32/os_win32_process_test.cpp.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "test_process.h"
#include "test_text.h"

namespace fs = std::filesystem;

namespace {

fs::path path_of(const std::string &utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
std::string utf8_of(const fs::path &path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

bool name_is(const std::string &entry, const std::string &name) {
  if (entry.size() <= name.size() || entry[name.size()] != '=') return false;
  for (size_t i = 0; i < name.size(); i += 1) {
    if (std::tolower((unsigned char)entry[i]) != std::tolower((unsigned char)name[i])) return false;
  }
  return true;
}

} // namespace

//~ Facts
TEST(OsProcess, MachineFacts) {
  SysInfo *sys = sys_info();
  EXPECT_GE(sys->processor_count, 1u);
  unsigned hardware = std::thread::hardware_concurrency();
  if (hardware) {
    EXPECT_LE(sys->processor_count, hardware);
  }
  EXPECT_GE(sys->page_size, 4096u);
  EXPECT_EQ(sys->page_size & (sys->page_size - 1), 0u);
  // reservations are made in granules that hold whole pages
  ASSERT_GE(sys->allocation_granularity, sys->page_size);
  EXPECT_EQ(sys->allocation_granularity % sys->page_size, 0u);
  EXPECT_EQ(sys->large_page_minimum & (sys->large_page_minimum - 1), 0u);
  EXPECT_GE(sys->machine_name.size, 1u);
  EXPECT_LE(sys->machine_name.size, 15u);
}

TEST(OsProcess, ProcessFacts) {
  ProcInfo *info = proc_info();
  // the runner is built beside the program
  std::string exe = text_of(info->exe_folder);
  ASSERT_FALSE(exe.empty());
  EXPECT_NE(exe.back(), '/');
  EXPECT_NE(exe.back(), '\\');
  EXPECT_TRUE(fs::equivalent(path_of(exe), fs::path(VANTOR_BIN).parent_path())) << exe;
  EXPECT_EQ(text_of(info->current_folder), utf8_of(fs::current_path()));

  // environment names are matched as the system matches them: case-blind on Windows
  const char *path = getenv("PATH");
  ASSERT_NE(path, nullptr);
  int paths = 0;
  for (Str8Node *n = info->environment.first; n; n = n->next) {
    std::string entry = text_of(n->string);
    EXPECT_NE(entry.find('=', 1), std::string::npos) << entry;
    if (name_is(entry, "PATH")) {
      paths += 1;
      EXPECT_EQ(entry.substr(5), path);
    }
  }
  EXPECT_EQ(paths, 1);
  EXPECT_GT(info->environment.node_count, 0u);

  ASSERT_GE(process_argc(), 1);
  EXPECT_EQ(process_argv()[process_argc()], nullptr);

  Arena *arena = arena_create(mib(1), kib(64));
  Str8 cwd = current_directory(arena);
  EXPECT_EQ(text_of(cwd), utf8_of(fs::current_path()));
  EXPECT_EQ(cwd.str[cwd.size], 0);
  arena_destroy(arena);
}

TEST(OsProcess, AnotherProcessKnowsItsOwnIdAndFolder) {
  Program helper({"facts"}, VANTOR_TEST_HELPER_BIN);
  ASSERT_GT(helper.pid, 0);
  ASSERT_TRUE(helper.wait_for_exit());
  EXPECT_EQ(helper.exit_code, 0);
  std::string pid_line = "pid=" + std::to_string((unsigned long long)helper.pid) + "\n";
  ASSERT_EQ(helper.out.rfind(pid_line, 0), 0u) << helper.out;
  std::string rest = helper.out.substr(pid_line.size());
  ASSERT_EQ(rest.rfind("exe=", 0), 0u) << helper.out;
  ASSERT_EQ(rest.back(), '\n');
  std::string exe = rest.substr(4, rest.size() - 5);
  EXPECT_TRUE(fs::equivalent(path_of(exe), fs::path(VANTOR_TEST_HELPER_BIN).parent_path())) << exe;
}

//~ Arguments and exit
TEST(OsProcess, StartUpCopiesArgumentsAndNotesQuiet) {
  struct Case {
    std::vector<std::string> args;
    int quiet;
  } cases[] = {
      {{"-in=x", "--QuIeT", "-out=\"a b\""}, 1},
      {{"-quiet", "--quiet=1", "quiet", "---quiet", "--quiet "}, 0},
      {{}, 0},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"args"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Program helper(args, VANTOR_TEST_HELPER_BIN);
    ASSERT_TRUE(helper.wait_for_exit());
    EXPECT_EQ(helper.exit_code, 0);
    // argv[0] is kept like every other argument
    std::string expected = "quiet=" + std::to_string(c.quiet) + " copied=1 kept=1\n" + VANTOR_TEST_HELPER_BIN + "\n";
    for (const std::string &a : args) expected += a + "\n";
    EXPECT_EQ(helper.out, expected);
  }

  // the copies keep the bytes the runtime handed over, whatever they are
  Program helper({"args", "\xC3\xA9t\xC3\xA9", "--quiet"}, VANTOR_TEST_HELPER_BIN);
  ASSERT_TRUE(helper.wait_for_exit());
  EXPECT_EQ(helper.out.substr(0, helper.out.find('\n') + 1), "quiet=1 copied=1 kept=1\n") << helper.out;
}

TEST(OsProcess, ExitFlushesStandardOutput) {
  Program helper({"exit"}, VANTOR_TEST_HELPER_BIN);
  ASSERT_TRUE(helper.wait_for_exit());
  EXPECT_EQ(helper.exit_code, 5);
  EXPECT_EQ(helper.out, "buffered line without newline");
}
