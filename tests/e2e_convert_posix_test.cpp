// End to end on Linux only: the running program's threads as /proc lists them, by the names
// the kernel keeps (15 bytes).
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "test_process.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(EndToEnd, ThreadsAreNamedForWhatTheyDo) {
  TempFolder tmp("e2e-names");
  fs::create_directories(tmp.at("in"));
  Program p({"-in=" + tmp.at("in"), "-out=" + tmp.at("out"), "-metadatas=" + tmp.at("meta"), "-thread=2"});
  ASSERT_TRUE(p.wait_for_output("Waiting for PNG/JPEG files...\n"));
  std::string task = "/proc/" + std::to_string(p.pid) + "/task";
  auto names = [&] {
    std::multiset<std::string> found;
    for (auto &t : fs::directory_iterator(task)) {
      std::string comm = read_file(t.path().string() + "/comm");
      if (!comm.empty()) comm.pop_back();
      found.insert(comm);
    }
    return found;
  };
  // Threads name themselves once they run; names are cut to 15 bytes by the system.
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  ASSERT_EQ(sched_getaffinity(0, sizeof(cpus), &cpus), 0);
  size_t streamers = std::clamp<size_t>((size_t)CPU_COUNT(&cpus) - 1, 1, 4);
  ASSERT_TRUE(wait_until([&] {
    std::multiset<std::string> n = names();
    return n.count("[fs] detector") == 1 && n.count("[fs] streamer #") == streamers &&
           n.count("[VANTOR] Conver") == 2;
  }));
  // The main thread is the process's first; the reaper has no name of its own.
  EXPECT_EQ(read_file(task + "/" + std::to_string(p.pid) + "/comm"), "[main thread]\n");
}

} // namespace
