// Process facts as POSIX gives them: /proc, sysconf, the host name, getpid and the user's
// configuration folder from the environment.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "os/os.h"
#include "test_text.h"

namespace fs = std::filesystem;


TEST(OsProcessPosix, MachineFacts) {
  SysInfo *sys = sys_info();
  EXPECT_EQ(sys->page_size, (u64)sysconf(_SC_PAGESIZE));
  EXPECT_EQ(sys->allocation_granularity, sys->page_size);

  u64 huge = 0;
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);) {
    if (line.rfind("Hugepagesize:", 0) == 0) huge = std::stoull(line.substr(13)) * 1024;
  }
  EXPECT_EQ(sys->large_page_minimum, huge);

  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  std::string name = text_of(sys->machine_name);
  EXPECT_EQ(name, std::string(host).substr(0, 15));
}

TEST(OsProcessPosix, ProcessFacts) {
  ProcInfo *info = proc_info();
  EXPECT_EQ(info->process_id, (u32)getpid());
  fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(text_of(info->exe_folder), exe.parent_path().string());
  EXPECT_EQ(text_of(info->exe_folder), fs::canonical(fs::path(VANTOR_BIN).parent_path()).string());
  ASSERT_GE(process_argc(), 1);
  EXPECT_EQ(fs::path(process_argv()[0]).filename(), exe.filename());

  const char *config = getenv("XDG_CONFIG_HOME");
  const char *home = getenv("HOME");
  if (config && config[0]) {
    EXPECT_EQ(text_of(info->user_data_folder), config);
  } else if (home && home[0]) {
    EXPECT_EQ(text_of(info->user_data_folder), std::string(home) + "/.config");
  } else {
    EXPECT_EQ(info->user_data_folder.size, 0u);
  }

  // the environment block in its own order, every entry whole
  Str8Node *n = info->environment.first;
  u64 count = 0;
  for (char **entry = environ; *entry; entry += 1, count += 1) {
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(text_of(n->string), *entry);
    n = n->next;
  }
  EXPECT_EQ(n, nullptr);
  EXPECT_EQ(info->environment.node_count, count);
}
