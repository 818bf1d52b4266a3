// The test runner's entry: the same start-up as the program, without the entry body.
#include <gtest/gtest.h>

#include "os/os.h"

int main(int argc, char **argv) {
  process_init(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
