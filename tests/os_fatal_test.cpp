// The fatal report, watched from outside: the test helper crashes in a chosen way and the
// test reads its exit code and standard error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/os.h"

extern char **environ;

namespace {

struct HelperRun {
  int exit_code = -1; // -1 when the process did not exit normally
  int signal = 0;
  std::string out;
  std::string err;
};

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string temp_folder() {
  static int n = 0;
  std::string dir = "/tmp/vantor_fatal_test_" + std::to_string(getpid()) + "_" + std::to_string(n++);
  mkdir(dir.c_str(), 0700);
  return dir;
}

HelperRun run_helper(const std::string &binary, const std::vector<std::string> &args) {
  HelperRun run;
  std::string dir = temp_folder();
  std::string out_path = dir + "/out", err_path = dir + "/err";

  std::vector<char *> argv;
  argv.push_back((char *)binary.c_str());
  for (const std::string &a : args) {
    argv.push_back((char *)a.c_str());
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << binary;
    return run;
  }

  // generous: the first report reads the helper's whole debug information
  int status = 0;
  u64 deadline = clock_now_us() + 120 * 1000000ull;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (clock_now_us() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "helper did not end";
      break;
    }
    sleep_ms(5);
  }
  if (WIFEXITED(status)) {
    run.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run.signal = WTERMSIG(status);
  }
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  rmdir(dir.c_str());
  return run;
}

HelperRun run_helper(const std::vector<std::string> &args) { return run_helper(VANTOR_TEST_HELPER_BIN, args); }

std::string first_line(const std::string &code) {
  return "\n--- Fatal Exception ---\nA fatal exception (code " + code + ") occurred. The process is terminating.\n";
}

const char *const NoDebugNotice = "\nThe debug information file for this executable is not valid or was not found. "
                                  "Please rebuild binary to get the call stack.\n";

int count_of(const std::string &haystack, const std::string &needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) {
    n += 1;
  }
  return n;
}

// The line of the helper's source that holds the text, counted from 1.
int helper_source_line(const std::string &needle) {
  std::string here = __FILE__;
  std::string source = here.substr(0, here.rfind('/')) + "/helpers/test_helper_main.cpp";
  std::ifstream f(source);
  std::string line;
  for (int n = 1; std::getline(f, line); n += 1) {
    if (line.find(needle) != std::string::npos) {
      return n;
    }
  }
  return 0;
}

// The text of report line "n. [0x...]...", without its line end.
std::string frame_line(const std::string &report, int n) {
  std::string prefix = "\n" + std::to_string(n) + ". [0x";
  size_t at = report.find(prefix);
  if (at == std::string::npos) {
    return "";
  }
  size_t end = report.find('\n', at + 1);
  return report.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

TEST(FatalReport, QuietEndsWithoutReport) {
  for (const char *quiet : {"--quiet", "--QUIET"}) {
    HelperRun run = run_helper({"segv", quiet});
    EXPECT_EQ(run.exit_code, 1) << quiet;
    EXPECT_EQ(run.err, "") << quiet;
  }
  HelperRun both = run_helper({"together", "--Quiet"});
  EXPECT_EQ(both.exit_code, 1);
  EXPECT_EQ(both.err, "");
}

TEST(FatalReport, NullWriteOnTheMainThread) {
  HelperRun run = run_helper({"segv"});
  EXPECT_EQ(run.exit_code, 1);
  ASSERT_EQ(run.err.rfind(first_line("0xb"), 0), 0u) << run.err;
  ASSERT_GE(run.err.size(), 2u);
  EXPECT_EQ(run.err.substr(run.err.size() - 2), "\n\n");
  EXPECT_EQ(run.out, "");

  // this suite runs in a build with debug information
  ASSERT_EQ(run.err.find(NoDebugNotice), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("occurred. The process is terminating.\nCall stack:\n1. [0x"), std::string::npos) << run.err;
  int line = helper_source_line("*target = 1;");
  ASSERT_GT(line, 0);
  std::string first = frame_line(run.err, 1);
  EXPECT_NE(first.find(" crash_null_write() +"), std::string::npos) << first;
  EXPECT_NE(first.find(", test_helper_main.cpp line " + std::to_string(line)), std::string::npos) << first;
  EXPECT_NE(frame_line(run.err, 2).find(" main +"), std::string::npos) << run.err;
}

TEST(FatalReport, DeepStackStopsAfterThirtyTwoFrames) {
  HelperRun run = run_helper({"deep"});
  EXPECT_EQ(run.exit_code, 1);
  ASSERT_EQ(run.err.rfind(first_line("0xb"), 0), 0u) << run.err;
  EXPECT_NE(frame_line(run.err, 1).find("crash_null_write"), std::string::npos) << run.err;
  for (int n = 2; n <= 32; n += 1) {
    EXPECT_NE(frame_line(run.err, n).find("crash_after_depth(int) +"), std::string::npos) << n << run.err;
  }
  EXPECT_EQ(frame_line(run.err, 33), "");
  EXPECT_EQ(run.err.substr(run.err.size() - 6), "\n...\n\n");
}

TEST(FatalReport, OtherFaultsAndThreads) {
  struct Case {
    const char *mode;
    const char *code;
    const char *function; // expected in the stack; null when the stack may not reach it
  };
  const Case cases[] = {
      {"abort", "0x6", "main"},
      {"fpe", "0x8", "divide(int, int)"},
      {"worker", "0xb", "crash_on_worker"},
      {"overflow", "0xb", "overflow_stack(int)"},
  };
  for (const Case &c : cases) {
    HelperRun run = run_helper({c.mode});
    EXPECT_EQ(run.exit_code, 1) << c.mode;
    EXPECT_EQ(run.err.rfind(first_line(c.code), 0), 0u) << c.mode << run.err;
    EXPECT_NE(run.err.find("Call stack:\n1. [0x"), std::string::npos) << c.mode << run.err;
    EXPECT_NE(run.err.find(std::string(" ") + c.function), std::string::npos) << c.mode << run.err;
  }
}

TEST(FatalReport, TwoThreadsCrashingAtOnceGiveOneReport) {
  for (int round = 0; round < 4; round += 1) {
    HelperRun run = run_helper({"together"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(count_of(run.err, "--- Fatal Exception ---"), 1) << run.err;
    EXPECT_EQ(count_of(run.err, "A fatal exception"), 1) << run.err;
    EXPECT_EQ(count_of(run.err, "Call stack:"), 1) << run.err;
    EXPECT_NE(run.err.find("crash_together"), std::string::npos) << run.err;
  }
}

TEST(FatalReport, WithoutDebugInformationOnlyTheNotice) {
  std::string dir = temp_folder();
  std::string copy = dir + "/helper_stripped";
  std::string command = "objcopy --strip-debug '" + std::string(VANTOR_TEST_HELPER_BIN) + "' '" + copy + "' 2>/dev/null";
  if (system(command.c_str()) != 0) {
    rmdir(dir.c_str());
    GTEST_SKIP() << "objcopy is not available";
  }
  HelperRun run = run_helper(copy, {"segv"});
  unlink(copy.c_str());
  rmdir(dir.c_str());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, first_line("0xb") + NoDebugNotice + "\n\n");
}

} // namespace
