// What the README says about finding the running program on Linux.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "test_process.h"

static std::string read_text(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream s;
  s << file.rdbuf();
  return s.str();
}

// The process keeps the program's name, so `pgrep -x vantor` finds it, as the README says.
TEST(ReadmeExamplesPosix, PgrepFindsTheProgramByItsName) {
  const std::string command = "pgrep -x vantor";
  std::string readme = read_text(std::string(VANTOR_SOURCE_DIR) + "/README.md");
  EXPECT_NE(readme.find("`" + command + "`"), std::string::npos);

  TempFolder tmp("readme-name");
  Program p({"-in=" + tmp.at("in"), "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta"), "-thread=1"});
  ASSERT_TRUE(p.wait_for_output("Waiting for PNG/JPEG files...\n")) << p.out;
  EXPECT_EQ(read_text("/proc/" + std::to_string(p.pid) + "/comm"), "vantor\n");
  FILE *found = popen(command.c_str(), "r");
  ASSERT_NE(found, nullptr);
  std::string listed = "\n";
  char buffer[512];
  while (fgets(buffer, sizeof(buffer), found)) listed += buffer;
  pclose(found);
  EXPECT_NE(listed.find("\n" + std::to_string(p.pid) + "\n"), std::string::npos) << listed;
}
