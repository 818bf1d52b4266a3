// The fatal report on Windows: the exception codes of the faults, and the notice a MinGW build
// gets because its debug information is DWARF, not the PDB the debug-help library reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_process.h"
#include "win32/test_win32.h"

namespace {

FinishedRun run_helper(const std::vector<std::string> &args) {
  return run_to_end(args, VANTOR_TEST_HELPER_BIN, 240);
}

// Everything the helper writes to standard error for an exception with this code.
std::string report_without_pdb(const char *code) {
  return std::string("\n--- Fatal Exception ---\nA fatal exception (code ") + code +
         ") occurred. The process is terminating.\n"
         "\nThe PDB debug information file for this executable is not valid or was not found. "
         "Please rebuild binary to get the call stack.\n"
         "\n\n";
}

bool under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(FatalReportWin32, ExceptionCodesAndTheRebuildNotice) {
  struct Case {
    const char *mode;
    const char *code;
  };
  const Case cases[] = {
      {"segv", "0xc0000005"},   // EXCEPTION_ACCESS_VIOLATION
      {"worker", "0xc0000005"}, // the same on a started thread
      {"fpe", "0xc0000094"},    // EXCEPTION_INT_DIVIDE_BY_ZERO
  };
  for (const Case &c : cases) {
    FinishedRun run = run_helper({c.mode});
    EXPECT_TRUE(run.ended) << c.mode;
    EXPECT_EQ(run.exit_code, 1) << c.mode;
    EXPECT_EQ(run.err, report_without_pdb(c.code)) << c.mode;
    EXPECT_EQ(run.out, "") << c.mode;
  }
}

// The filter runs on the thread whose stack overflowed, in the room the thread keeps in
// reserve for it.
TEST(FatalReportWin32, StackOverflowIsReported) {
  if (under_wine()) {
    // wine 8 cannot deliver a stack overflow to any handler: the thread ends inside the
    // exception dispatch, before even a vectored handler runs
    GTEST_SKIP() << "wine does not deliver EXCEPTION_STACK_OVERFLOW";
  }
  FinishedRun run = run_helper({"overflow"});
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, report_without_pdb("0xc00000fd")); // EXCEPTION_STACK_OVERFLOW
}

} // namespace
