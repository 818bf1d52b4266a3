// The protocol between instances sharing an input folder, in-process: which temporaries the
// start-up sweep and a burial remove, and from which folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "convert/instances/instances.h"
#include "test_process.h"
#include "test_text.h"

namespace fs = std::filesystem;

namespace {
Str8 str8_of(const std::string &s) { return str8(s.data(), s.size()); }
} // namespace

// Each working folder lies inside another here: the output folder in the metadata tree, the
// input folder in the unsupported tree. Their walks must not enter the folders inside them.
TEST(InstancesSweep, TemporariesGoFromTheWrittenTreesButNotFromTheFoldersInsideThem) {
  TempFolder tmp;
  std::string meta = tmp.at("meta"), out = tmp.at("meta/out"), unsupported = tmp.at("meta/out/unsupported"),
              in = tmp.at("meta/out/unsupported/in");
  fs::create_directories(in);
  ASSERT_TRUE(instances_start(arena_create(kib(64), kib(16)), str8_of(in), nullptr));

  // an earlier version's temporaries: always a gone writer's
  std::vector<std::string> swept = {
      tmp.write("meta/.vantor-1-2-1.tmp", "x"),
      tmp.write("meta/a/b/.vantor-1-2-2.tmp", "x"),
      tmp.write("meta/out/.vantor-1-2-3.tmp", "x"),
      tmp.write("meta/out/unsupported/d/e/.vantor-1-2-4.tmp", "x"),
  };
  std::vector<std::string> kept = {
      tmp.write("meta/out/x/.vantor-1-2-5.tmp", "x"), // below the output folder, outside the unsupported tree
      tmp.write("meta/out/unsupported/in/.vantor-1-2-6.tmp", "x"),
      tmp.write("meta/out/unsupported/in/s/.vantor-1-2-7.tmp", "x"),
      tmp.write("meta/a/keep.tmp", "x"),
  };
  Arena *arena = arena_create(kib(64), kib(16));
  InstanceFolders folders = {str8_of(in), str8_of(out), str8_of(unsupported), str8_of(meta)};
  EXPECT_EQ(instances_sweep_start(arena, &folders), swept.size());
  for (const std::string &path : swept) EXPECT_FALSE(fs::exists(path)) << path;
  for (const std::string &path : kept) EXPECT_TRUE(fs::exists(path)) << path;

  // A neighbour on this system whose heartbeat lock is free is gone: buried at the next look,
  // its temporaries go from the same folders; a live one's stay.
  Scratch scratch = scratch_begin(nullptr);
  std::string domain = text_of(folder_lock_domain(scratch.arena, str8_of(in)));
  scratch_restore(scratch);
  ASSERT_FALSE(domain.empty());
  std::string beats = in + "/.vantor/instances/";
  std::string gone_beat = tmp.write("meta/out/unsupported/in/.vantor/instances/00000000000000bb",
                                    "vantor instance 00000000000000bb domain " + domain + "\n");
  tmp.write("meta/out/unsupported/in/.vantor/instances/00000000000000aa",
            "vantor instance 00000000000000aa domain " + domain + "\n");
  FileHandle live = file_open(FileOpenRead | FileOpenWrite | FileOpenAlways | FileShareRead | FileShareWriteDelete,
                              str8_of(beats + "00000000000000aa"));
  ASSERT_TRUE(file_lock_hold(live));
  std::vector<std::string> buried = {
      tmp.write("meta/out/.vantor-00000000000000bb-1-2-1.tmp", "x"),
      tmp.write("meta/a/.vantor-00000000000000bb-1-2-2.tmp", "x"),
      tmp.write("meta/out/unsupported/d/.vantor-00000000000000bb-1-2-3.tmp", "x"),
  };
  kept.push_back(tmp.write("meta/out/unsupported/in/s/.vantor-00000000000000bb-1-2-4.tmp", "x"));
  kept.push_back(tmp.write("meta/a/.vantor-00000000000000aa-1-2-5.tmp", "x"));
  EXPECT_EQ(instances_bury_gone(true), 1u);
  for (const std::string &path : buried) EXPECT_FALSE(fs::exists(path)) << path;
  for (const std::string &path : kept) EXPECT_TRUE(fs::exists(path)) << path;
  // its heartbeat went, renamed away and then removed: this instance's and the live one's are left
  EXPECT_FALSE(fs::exists(gone_beat));
  EXPECT_EQ(std::distance(fs::directory_iterator(beats), fs::directory_iterator()), 2);
  file_close(live);
  instances_stop(); // its heartbeat, held open, would keep Windows from removing the folder
  arena_destroy(arena);
}
