// The fatal report, watched from outside: the test helper crashes in a chosen way and the
// test reads its exit code, standard output and standard error. The cases here hold on every
// system; the codes and call stacks each system prints are checked in its own file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_process.h"

namespace {

// Reading the debug information for the first report can take a while under an emulator.
constexpr int HelperSeconds = 240;

FinishedRun run_helper(const std::vector<std::string> &args) {
  return run_to_end(args, VANTOR_TEST_HELPER_BIN, HelperSeconds);
}

const std::string Header = "\n--- Fatal Exception ---\nA fatal exception (code 0x";
const std::string FirstLineEnd = ") occurred. The process is terminating.\n";
const std::string NoticeEnd = "debug information file for this executable is not valid or was not found. "
                              "Please rebuild binary to get the call stack.\n";

int count_of(const std::string &haystack, const std::string &needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) {
    n += 1;
  }
  return n;
}

bool is_hex(const std::string &s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Numbered frames "n. [0x<hex>]..." from 1, each on its own line, cut after 32 with "...".
std::string call_stack_fault(const std::string &stack) {
  size_t at = 0;
  for (int n = 1;; n += 1) {
    if (at == stack.size()) {
      return n > 1 ? "" : "no frame";
    }
    if (n == 33) {
      return stack.substr(at) == "..." ? "" : "frame 33 is not \"...\"";
    }
    std::string prefix = std::to_string(n) + ". [0x";
    size_t end = stack.find('\n', at);
    if (stack.compare(at, prefix.size(), prefix) != 0 || end == std::string::npos) {
      return "frame " + std::to_string(n) + " is malformed";
    }
    std::string line = stack.substr(at, end - at);
    size_t close = line.find(']');
    if (close == std::string::npos || !is_hex(line.substr(prefix.size(), close - prefix.size()))) {
      return "frame " + std::to_string(n) + " has no address";
    }
    at = end + 1;
  }
}

// The fault code of a well-formed report, or "" with the reason in *fault.
std::string report_code(const std::string &err, std::string *fault) {
  *fault = "";
  size_t code_end = err.find(')', Header.size());
  if (err.rfind(Header, 0) != 0 || code_end == std::string::npos ||
      err.compare(code_end, FirstLineEnd.size(), FirstLineEnd) != 0) {
    *fault = "no first line";
    return "";
  }
  std::string code = err.substr(Header.size(), code_end - Header.size());
  if (!is_hex(code)) {
    *fault = "the code is not hexadecimal";
    return "";
  }
  size_t body_at = code_end + FirstLineEnd.size();
  if (err.size() < body_at + 2 || err.compare(err.size() - 2, 2, "\n\n") != 0) {
    *fault = "no closing empty line";
    return "";
  }
  std::string body = err.substr(body_at, err.size() - 2 - body_at);
  // without debug information: the notice alone; with it, the call stack
  bool notice = body == "\nThe " + NoticeEnd || body == "\nThe PDB " + NoticeEnd;
  if (!notice) {
    if (body.rfind("Call stack:\n", 0) != 0) {
      *fault = "neither the notice nor a call stack";
      return "";
    }
    *fault = call_stack_fault(body.substr(12));
  }
  return *fault == "" ? code : "";
}

TEST(FatalReport, QuietEndsWithoutReport) {
  for (const char *quiet : {"--quiet", "--QUIET"}) {
    FinishedRun run = run_helper({"segv", quiet});
    EXPECT_TRUE(run.ended) << quiet;
    EXPECT_EQ(run.exit_code, 1) << quiet;
    EXPECT_EQ(run.err, "") << quiet;
    EXPECT_EQ(run.out, "") << quiet;
  }
  FinishedRun both = run_helper({"together", "--Quiet"});
  EXPECT_EQ(both.exit_code, 1);
  EXPECT_EQ(both.err, "");

  // the flag stands alone: a value that merely contains it is not it
  FinishedRun loud = run_helper({"segv", "--in=--quiet"});
  EXPECT_EQ(loud.exit_code, 1);
  EXPECT_EQ(loud.err.rfind(Header, 0), 0u) << loud.err;
}

// Also from inside a library's call, whose standard error is taken: the report reaches the
// real one, after what the library printed last.
TEST(FatalReport, OneWellFormedReportOnStandardError) {
  FinishedRun run = run_helper({"segv"});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  std::string fault;
  EXPECT_NE(report_code(run.err, &fault), "") << fault << "\n" << run.err;
  EXPECT_EQ(count_of(run.err, "--- Fatal Exception ---"), 1) << run.err;

  const std::string last_words = "a library's last words\n";
  FinishedRun taken = run_helper({"taken"});
  ASSERT_TRUE(taken.ended);
  EXPECT_EQ(taken.exit_code, 1);
  ASSERT_EQ(taken.err.rfind(last_words, 0), 0u) << taken.err;
  EXPECT_NE(report_code(taken.err.substr(last_words.size()), &fault), "") << fault << "\n" << taken.err;
}

TEST(FatalReport, WorkerThreadsAndOtherFaults) {
  std::string fault;
  FinishedRun main_thread = run_helper({"segv"});
  std::string access_code = report_code(main_thread.err, &fault);
  ASSERT_NE(access_code, "") << fault << "\n" << main_thread.err;

  // the same fault on a started thread is reported the same way
  FinishedRun worker = run_helper({"worker"});
  EXPECT_TRUE(worker.ended);
  EXPECT_EQ(worker.exit_code, 1);
  EXPECT_EQ(report_code(worker.err, &fault), access_code) << fault << "\n" << worker.err;

  // an integer division by zero is a fault of its own kind
  FinishedRun divide = run_helper({"fpe"});
  EXPECT_EQ(divide.exit_code, 1);
  EXPECT_EQ(divide.out, "");
  std::string divide_code = report_code(divide.err, &fault);
  EXPECT_NE(divide_code, "") << fault << "\n" << divide.err;
  EXPECT_NE(divide_code, access_code);
}

TEST(FatalReport, TwoThreadsCrashingAtOnceGiveOneReport) {
  for (int round = 0; round < 4; round += 1) {
    FinishedRun run = run_helper({"together"});
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.exit_code, 1);
    std::string fault;
    EXPECT_NE(report_code(run.err, &fault), "") << fault << "\n" << run.err;
    EXPECT_EQ(count_of(run.err, "--- Fatal Exception ---"), 1) << run.err;
    EXPECT_EQ(count_of(run.err, "A fatal exception"), 1) << run.err;
  }
}

} // namespace
