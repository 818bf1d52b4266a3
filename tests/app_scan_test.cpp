// The scan walk in-process: which paths a walk and a pass offer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app.h"
#include "test_process.h"
#include "test_text.h"

namespace fs = std::filesystem;

//~ The scan walk
namespace {
Str8 str8_of(const std::string &s) { return str8(s.data(), s.size()); }

void collect(void *context, Str8 path) { ((std::vector<std::string> *)context)->push_back(text_of(path)); }

size_t depth_of(const std::string &root, const std::string &path) {
  return (size_t)std::count(path.begin() + (long)root.size(), path.end(), '/');
}
} // namespace

TEST(AppScan, WalksEveryFolderBreadthFirstAndSkipsOutputFolders) {
  TempFolder tmp;
  std::string in = tmp.at("in");
  std::vector<std::string> expected = {
      tmp.write("in/z.png", "1"),         tmp.write("in/.dotfile", "2"),
      tmp.write("in/a/b/c/d/deep.jpg", "3"), tmp.write("in/.hidden/h.png", "4"),
      tmp.write("in/a/mid", "5"),         tmp.write("in/outside/y", "6"),
  };
  tmp.write("in/out/converted.png", "x");
  tmp.write("in/out/sub/more.png", "x");
  tmp.write("in/meta/m.metadatas", "x");
  fs::create_directories(tmp.at("in/empty"));

  Arena *arena = arena_create(mib(4), kib(64));
  std::string out = tmp.at("in/out"), meta = tmp.at("in/meta");
  Str8 skip[2] = {str8_of(out), str8_of(meta)};
  std::vector<std::string> offered;
  u64 files = app_scan_tree(arena, str8_of(in), skip, 2, collect, &offered);
  EXPECT_EQ(files, offered.size());

  std::vector<std::string> sorted_offered = offered, sorted_expected = expected;
  std::sort(sorted_offered.begin(), sorted_offered.end());
  std::sort(sorted_expected.begin(), sorted_expected.end());
  EXPECT_EQ(sorted_offered, sorted_expected);
  for (size_t i = 1; i < offered.size(); i += 1) {
    EXPECT_LE(depth_of(in, offered[i - 1]), depth_of(in, offered[i])) << offered[i - 1] << " before " << offered[i];
  }

  // without the skip list the output folders are walked as well
  offered.clear();
  EXPECT_EQ(app_scan_tree(arena, str8_of(in), nullptr, 0, collect, &offered), expected.size() + 3);

  // an input folder that is itself the output folder offers nothing; a missing one neither
  offered.clear();
  Str8 same[1] = {str8_of(in)};
  EXPECT_EQ(app_scan_tree(arena, str8_of(in), same, 1, collect, &offered), 0u);
  std::string nothing = tmp.at("nothing");
  EXPECT_EQ(app_scan_tree(arena, str8_of(nothing), nullptr, 0, collect, &offered), 0u);
  EXPECT_TRUE(offered.empty());
  arena_destroy(arena);
}

TEST(AppScan, PassSkipsOutputAndMetadataFoldersInsideTheInputFolder) {
  TempFolder tmp;
  tmp.write("in/out/converted.png", "x");
  tmp.write("in/meta/sub/m.metadatas", "x");
  std::string source = tmp.write("in/new/source.bin", "not an image");
  // the intake as the program starts it, since this pass hands a file to it
  const ProcessHooks *hooks = process_hooks();
  hooks->content_store_start();
  hooks->intake_start();
  std::string in = tmp.at("in"), out = tmp.at("in/out"), meta = tmp.at("in/meta");
  AppOptions options = {.in = str8_of(in), .out = str8_of(out), .metadatas = str8_of(meta), .threads = 1};
  app_setup(&options, nullptr);

  // only the file outside those two folders reaches the intake and the queue
  Scratch scratch = scratch_begin(nullptr);
  EXPECT_EQ(app_scan_pass(scratch.arena, nullptr), 1u);
  scratch_restore(scratch);
  StringRing *queue = &app_state()->conversion_queue;
  cs_enter(queue->lock);
  u64 pushed = queue->write_pos;
  cs_leave(queue->lock);
  EXPECT_EQ(pushed, align_up(8 + source.size(), 8));

  // further passes, as the loop makes them, until the worker has judged the unrecognised
  // source: its record is written, then it is moved aside, into the output folder, which the
  // next pass does not walk either. Waited for so that no worker writes into the folder while
  // it is being removed.
  EXPECT_TRUE(wait_until([&] {
    Scratch pass = scratch_begin(nullptr);
    app_scan_pass(pass.arena, nullptr);
    scratch_restore(pass);
    return !fs::exists(source);
  })) << source;
  EXPECT_TRUE(fs::exists(tmp.at("in/meta/new/source.metadatas")));
  EXPECT_TRUE(wait_until([&] { return fs::exists(tmp.at("in/out/unsupported/new/source.bin")); }));
  Scratch last = scratch_begin(nullptr);
  EXPECT_EQ(app_scan_pass(last.arena, nullptr), 0u);
  scratch_restore(last);
  instances_stop();
}
