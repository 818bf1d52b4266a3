// Process start-up facts, the argument copies, the quiet flag and the exit path.
// Start-up runs once per process, so its argument handling is tried in forked children.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "os/os.h"

namespace fs = std::filesystem;

static std::string str(Str8 s) { return std::string((const char *)s.str, s.size); }

// Waits for a child with a generous deadline and never leaves it running.
static int wait_child(pid_t pid) {
  int status = 0;
  for (int waited_ms = 0; waited_ms < 60000; waited_ms += 10) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -2;
}

//~ Facts
TEST(OsProcess, MachineFacts) {
  SysInfo *sys = sys_info();
  EXPECT_GE(sys->processor_count, 1u);
  unsigned hardware = std::thread::hardware_concurrency();
  if (hardware) {
    EXPECT_LE(sys->processor_count, hardware);
  }
  EXPECT_EQ(sys->page_size, (u64)sysconf(_SC_PAGESIZE));
  EXPECT_EQ(sys->page_size & (sys->page_size - 1), 0u);
  EXPECT_EQ(sys->allocation_granularity, sys->page_size);

  u64 huge = 0;
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);) {
    if (line.rfind("Hugepagesize:", 0) == 0) huge = std::stoull(line.substr(13)) * 1024;
  }
  EXPECT_EQ(sys->large_page_minimum, huge);

  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  std::string name = str(sys->machine_name);
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name, std::string(host).substr(0, 15));
}

TEST(OsProcess, ProcessFacts) {
  ProcInfo *info = proc_info();
  EXPECT_EQ(info->process_id, (u32)getpid());
  // the runner is built beside the program
  EXPECT_EQ(str(info->exe_folder), fs::canonical(fs::path(VANTOR_BIN).parent_path()).string());
  EXPECT_EQ(str(info->current_folder), fs::current_path().string());

  const char *config = getenv("XDG_CONFIG_HOME");
  const char *home = getenv("HOME");
  if (config && config[0]) {
    EXPECT_EQ(str(info->user_data_folder), config);
  } else if (home && home[0]) {
    EXPECT_EQ(str(info->user_data_folder), std::string(home) + "/.config");
  } else {
    EXPECT_EQ(info->user_data_folder.size, 0u);
  }

  const char *path = getenv("PATH");
  ASSERT_NE(path, nullptr);
  std::string wanted = std::string("PATH=") + path;
  bool found = false;
  for (Str8Node *n = info->environment.first; n; n = n->next) {
    EXPECT_NE(str(n->string).find('='), std::string::npos);
    found = found || str(n->string) == wanted;
  }
  EXPECT_TRUE(found);
  EXPECT_GT(info->environment.node_count, 0u);

  ASSERT_GE(process_argc(), 1);
  EXPECT_EQ(fs::path(process_argv()[0]).filename(), fs::read_symlink("/proc/self/exe").filename());
  EXPECT_EQ(process_argv()[process_argc()], nullptr);

  Arena *arena = arena_create(mib(1), kib(64));
  Str8 cwd = current_directory(arena);
  EXPECT_EQ(str(cwd), fs::current_path().string());
  EXPECT_EQ(cwd.str[cwd.size], 0);
  arena_destroy(arena);
}

//~ Arguments and exit
// Exit code bits: 1 quiet, 2 arguments copied (equal bytes, other memory), 4 count kept.
static int child_start_up(int argc, char **argv) {
  process_init(argc, argv);
  int bits = process_quiet() ? 1 : 0;
  bool copied = process_argc() == argc;
  for (int i = 0; copied && i < argc; i += 1) {
    copied = process_argv()[i] != argv[i] && strcmp(process_argv()[i], argv[i]) == 0;
  }
  if (copied) bits |= 2;
  if (process_argc() == argc && process_argv()[argc] == nullptr) bits |= 4;
  return bits;
}

TEST(OsProcess, StartUpCopiesArgumentsAndNotesQuiet) {
  char a0[] = "/some/where/vantor", a1[] = "-in=x", a2[] = "--QuIeT", a3[] = "\xC3\xA9t\xC3\xA9";
  char *loud_quiet[] = {a0, a1, a2, a3, nullptr};
  char b1[] = "-quiet", b2[] = "--quiet=1", b3[] = "quiet", b4[] = "---quiet";
  char *not_quiet[] = {a0, b1, b2, b3, b4, nullptr};
  struct {
    int argc;
    char **argv;
    int expected;
  } cases[] = {{4, loud_quiet, 7}, {5, not_quiet, 6}, {1, loud_quiet, 6}};
  for (auto &c : cases) {
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(child_start_up(c.argc, c.argv));
    EXPECT_EQ(wait_child(pid), c.expected) << c.argc;
  }
}

TEST(OsProcess, ExitFlushesStandardOutput) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fflush(stdout);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    close(fds[1]);
    // a pipe makes standard output fully buffered: nothing is written before the flush
    printf("buffered line without newline");
    process_exit(5);
  }
  close(fds[1]);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) != 0;) {
    if (n < 0) break;
    got.append(buf, (size_t)n);
  }
  close(fds[0]);
  EXPECT_EQ(wait_child(pid), 5);
  EXPECT_EQ(got, "buffered line without newline");
}
