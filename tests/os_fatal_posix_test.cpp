// The fatal report on POSIX: the signal numbers, the call stack read from the helper's DWARF
// information, abort(), and the notice of a binary stripped of its debug information.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "test_process.h"

namespace {

// generous: the first report reads the helper's whole debug information
FinishedRun run_helper(const std::vector<std::string> &args, const std::string &binary = VANTOR_TEST_HELPER_BIN) {
  return run_to_end(args, binary, 120);
}

std::string first_line(const std::string &code) {
  return "\n--- Fatal Exception ---\nA fatal exception (code " + code + ") occurred. The process is terminating.\n";
}

const char *const NoDebugNotice = "\nThe debug information file for this executable is not valid or was not found. "
                                  "Please rebuild binary to get the call stack.\n";

// The line of the helper's source that holds the text, counted from 1.
int helper_source_line(const std::string &needle) {
  std::ifstream f(std::string(VANTOR_SOURCE_DIR) + "/tests/helpers/test_helper_main.cpp");
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

TEST(FatalReportPosix, NullWriteOnTheMainThread) {
  FinishedRun run = run_helper({"segv"});
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

TEST(FatalReportPosix, DeepStackStopsAfterThirtyTwoFrames) {
  FinishedRun run = run_helper({"deep"});
  EXPECT_EQ(run.exit_code, 1);
  ASSERT_EQ(run.err.rfind(first_line("0xb"), 0), 0u) << run.err;
  EXPECT_NE(frame_line(run.err, 1).find("crash_null_write"), std::string::npos) << run.err;
  for (int n = 2; n <= 32; n += 1) {
    EXPECT_NE(frame_line(run.err, n).find("crash_after_depth(int) +"), std::string::npos) << n << run.err;
  }
  EXPECT_EQ(frame_line(run.err, 33), "");
  EXPECT_EQ(run.err.substr(run.err.size() - 6), "\n...\n\n");
}

TEST(FatalReportPosix, SignalsAndTheFunctionsThatRaisedThem) {
  struct Case {
    const char *mode;
    const char *code;
    const char *function;
  };
  const Case cases[] = {
      {"abort", "0x6", "main"},
      {"fpe", "0x8", "divide(int, int)"},
      {"worker", "0xb", "crash_on_worker"},
      {"overflow", "0xb", "overflow_stack(int)"},
      {"together", "0xb", "crash_together"},
  };
  for (const Case &c : cases) {
    FinishedRun run = run_helper({c.mode});
    EXPECT_EQ(run.exit_code, 1) << c.mode;
    EXPECT_EQ(run.err.rfind(first_line(c.code), 0), 0u) << c.mode << run.err;
    EXPECT_NE(run.err.find("Call stack:\n1. [0x"), std::string::npos) << c.mode << run.err;
    EXPECT_NE(run.err.find(std::string(" ") + c.function), std::string::npos) << c.mode << run.err;
  }
}

TEST(FatalReportPosix, WithoutDebugInformationOnlyTheNotice) {
  TempFolder dir("fatal");
  std::string copy = dir.at("helper_stripped");
  std::string command =
      "objcopy --strip-debug '" + std::string(VANTOR_TEST_HELPER_BIN) + "' '" + copy + "' 2>/dev/null";
  if (system(command.c_str()) != 0) {
    GTEST_SKIP() << "objcopy is not available";
  }
  FinishedRun run = run_helper({"segv"}, copy);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, first_line("0xb") + NoDebugNotice + "\n\n");
}

} // namespace
