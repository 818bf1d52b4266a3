// Files and folders on every system: byte ranges, atomic whole-file writes, folder chains,
// iteration. What only POSIX has (FIFOs, links, size limits, set file times) is in
// os_files_posix_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "os_files_test_support.h"
#include "test_process.h"

namespace fs = std::filesystem;

//~ Reading and writing ranges
TEST(OsFiles, RangesAreCutToTheFileSize) {
  TempFolder tmp;
  std::string path = tmp.at("ten.bin");
  ASSERT_TRUE(file_write_all(s8(path), str8_lit("0123456789"), 0));

  FileHandle f = file_open(FileOpenRead | FileShareRead, s8(path));
  ASSERT_NE(f, 0u);
  char buf[64];
  memset(buf, '#', sizeof(buf));
  EXPECT_EQ(file_read_range(f, RangeU64{0, 1000}, buf), 10u);
  EXPECT_EQ(std::string(buf, 11), "0123456789#");
  EXPECT_EQ(file_read_range(f, RangeU64{3, 7}, buf), 4u);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(file_read_range(f, RangeU64{8, 20}, buf), 2u);
  EXPECT_EQ(std::string(buf, 2), "89");
  EXPECT_EQ(file_read_range(f, RangeU64{20, 30}, buf), 0u);
  EXPECT_EQ(file_read_range(f, RangeU64{7, 3}, buf), 0u);
  EXPECT_EQ(file_read_range(0, RangeU64{0, 10}, buf), 0u);

  // the arena keeps only what was read, even for a range far past the end
  Arena *arena = arena_create(mib(1), kib(64));
  u64 before = arena_offset(arena);
  Str8 all = file_read_into_arena(arena, f, RangeU64{0, 1000});
  EXPECT_EQ(text_of(all), "0123456789");
  EXPECT_EQ(arena_offset(arena), before + 10);
  Str8 tail = file_read_into_arena(arena, f, RangeU64{5, ~0ull});
  EXPECT_EQ(text_of(tail), "56789");
  EXPECT_EQ(arena_offset(arena), before + 16 + 5);
  EXPECT_EQ(file_read_into_arena(arena, f, RangeU64{10, 20}).size, 0u);
  EXPECT_EQ(arena_offset(arena), before + 16 + 5);
  arena_destroy(arena);

  EXPECT_TRUE(file_close(f));
  EXPECT_TRUE(file_close(0));
  EXPECT_EQ(read_back(path), "0123456789");
  EXPECT_EQ(read_back(tmp.at("missing")), "");
}

TEST(OsFiles, OpenDispositionsAndPositionalWrites) {
  TempFolder tmp;
  std::string path = tmp.at("w.bin");
  EXPECT_EQ(file_open(FileOpenRead, s8(path)), 0u);

  FileHandle f = file_open(FileOpenWrite, s8(path));
  ASSERT_NE(f, 0u);
  EXPECT_EQ(file_write_range(f, RangeU64{0, 5}, "hello"), 5u);
  EXPECT_EQ(file_write_range(f, RangeU64{3, 6}, "XYZ"), 3u);
  EXPECT_EQ(file_write_range(f, RangeU64{6, 6}, "nothing"), 0u);
  EXPECT_EQ(file_write_range(0, RangeU64{0, 3}, "abc"), 0u);
  EXPECT_EQ(file_props_from_handle(f).size, 6u);
  file_close(f);
  EXPECT_EQ(read_back(path), "helXYZ");

  // open-always keeps the bytes, write alone truncates
  f = file_open(FileOpenWrite | FileOpenAlways, s8(path));
  ASSERT_NE(f, 0u);
  EXPECT_EQ(file_props_from_handle(f).size, 6u);
  EXPECT_EQ(file_write_range(f, RangeU64{6, 8}, "!!"), 2u);
  file_close(f);
  EXPECT_EQ(read_back(path), "helXYZ!!");
  f = file_open(FileOpenWrite, s8(path));
  ASSERT_NE(f, 0u);
  EXPECT_EQ(file_props_from_handle(f).size, 0u);
  file_close(f);

  // a zero byte inside a path never names the shorter path before it
  std::string embedded = path + std::string("\0x", 2);
  EXPECT_EQ(file_open(FileOpenRead, s8(embedded)), 0u);
  EXPECT_FALSE(file_write_all(s8(embedded), str8_lit("data"), 0));
  EXPECT_EQ(file_props_from_path(s8(path)).size, 0u);
}

//~ Whole-file writes
TEST(OsFiles, WriteAllMakesParentsAndReplacesWhole) {
  TempFolder tmp;
  std::string path = tmp.at("a/b/c.txt");
  EXPECT_FALSE(file_write_all(s8(path), str8_lit("one"), 0));
  EXPECT_FALSE(fs::exists(tmp.at("a")));

  ASSERT_TRUE(file_write_all(s8(path), str8_lit("one"), WriteAllMakeParents));
  EXPECT_EQ(read_back(path), "one");
  std::string longer(100000, 'x');
  longer[99999] = 'y';
  ASSERT_TRUE(file_write_all(s8(path), s8(longer), WriteAllMakeParents));
  EXPECT_EQ(read_back(path), longer);
  ASSERT_TRUE(file_write_all(s8(path), str8_lit("two"), 0));
  EXPECT_EQ(read_back(path), "two");
  EXPECT_EQ(names_in(tmp.at("a/b")), std::set<std::string>{"c.txt"});

  // empty data: the file is there and empty, and the call still says false
  EXPECT_FALSE(file_write_all(s8(path), Str8{}, 0));
  EXPECT_TRUE(fs::is_regular_file(path));
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_EQ(names_in(tmp.at("a/b")), std::set<std::string>{"c.txt"});

  EXPECT_TRUE(file_delete(s8(path)));
  EXPECT_FALSE(file_delete(s8(path)));
  EXPECT_FALSE(file_delete(s8(tmp.at("a"))));
  EXPECT_TRUE(fs::is_directory(tmp.at("a")));
}

TEST(OsFiles, FailedWriteAllLeavesNoTemporary) {
  TempFolder tmp;
  // the destination is a folder: written and synced, then the rename fails
  std::string folder = tmp.at("taken");
  fs::create_directories(folder + "/inside");
  EXPECT_FALSE(file_write_all(s8(folder), str8_lit("data"), WriteAllMakeParents));
  EXPECT_TRUE(fs::is_directory(folder + "/inside"));
  EXPECT_FALSE(has_temporary(tmp.path));

  // a parent that is a file cannot become a folder (root included)
  std::string blocker = tmp.at("blocker");
  ASSERT_TRUE(file_write_all(s8(blocker), str8_lit("file"), 0));
  EXPECT_FALSE(file_write_all(s8(blocker + "/sub/x.txt"), str8_lit("data"), WriteAllMakeParents));
  EXPECT_EQ(read_back(blocker), "file");
  EXPECT_FALSE(has_temporary(tmp.path));

}

TEST(OsFiles, ConcurrentWriteAllsOfOnePathEachLandWhole) {
  TempFolder tmp;
  std::string path = tmp.at("shared.bin");
  constexpr int Threads = 4;
  constexpr int Rounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; t += 1) {
    threads.emplace_back([&, t] {
      ThreadContext ctx;
      thread_context_init(&ctx);
      std::string body(8192 + t, (char)('A' + t));
      for (int r = 0; r < Rounds; r += 1) {
        if (!file_write_all(s8(path), s8(body), 0)) failures += 1;
      }
      thread_context_release();
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::string final_body = read_back(path);
  ASSERT_GE(final_body.size(), 8192u);
  int t = (int)final_body.size() - 8192;
  ASSERT_LT(t, Threads);
  EXPECT_EQ(final_body, std::string(8192 + t, (char)('A' + t)));
  EXPECT_EQ(names_in(tmp.path), std::set<std::string>{"shared.bin"});
}

// Writes that keep other bytes: threads that reach one name at once each keep their bytes under
// a name of their own, the same bytes share one file, and nothing is left behind.
TEST(OsFiles, WritesKeepingOtherBytesNeverReplaceThem) {
  TempFolder tmp;
  std::string path = tmp.at("copy.png");
  constexpr int Threads = 4;
  std::vector<std::string> placed(Threads * 2);
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; t += 1) {
    threads.emplace_back([&, t] {
      ThreadContext ctx;
      thread_context_init(&ctx);
      Arena *arena = arena_create(mib(1), kib(64));
      // each thread's own bytes, then the bytes every thread writes
      std::string own(5000 + t, (char)('A' + t)), shared(6000, 'S');
      PendingWrite w[2];
      bool ok[2] = {};
      if (file_write_begin(arena, s8(path), s8(own), WriteKeepOther, &w[0]) &&
          file_write_begin(arena, s8(path), s8(shared), WriteKeepOther, &w[1])) {
        file_write_commit(w, 2, ok);
      }
      for (int i = 0; i < 2; i += 1) placed[t * 2 + i] = ok[i] ? text_of(w[i].path) : "failed";
      arena_destroy(arena);
      thread_context_release();
    });
  }
  for (std::thread &t : threads) t.join();
  std::set<std::string> names;
  for (int t = 0; t < Threads; t += 1) {
    EXPECT_EQ(read_back(placed[t * 2]), std::string(5000 + t, (char)('A' + t))) << placed[t * 2];
    EXPECT_EQ(read_back(placed[t * 2 + 1]), std::string(6000, 'S')) << placed[t * 2 + 1];
    names.insert(fs::path(placed[t * 2]).filename().string());
    names.insert(fs::path(placed[t * 2 + 1]).filename().string());
  }
  EXPECT_EQ(names.size(), (size_t)Threads + 1) << "one file for the shared bytes, one for each thread's own";
  std::set<std::string> expected = {"copy.png"};
  for (int n = 1; n <= Threads; n += 1) expected.insert("copy." + std::to_string(n) + ".png");
  EXPECT_EQ(names_in(tmp.path), expected);

  // a folder that can take a file, and one that cannot: a plain file, or not that much room
  EXPECT_TRUE(folder_can_take(s8(tmp.path), 4096));
  EXPECT_FALSE(folder_can_take(s8(path), 0));
  EXPECT_FALSE(folder_can_take(s8(tmp.path), 1ull << 60));
  EXPECT_EQ(names_in(tmp.path), expected);
}

// What the sync threads and the commit did, in order, as the testing hook saw it. One sync is
// held until every other one of its batch is done, so the syncs finish out of order.
struct SyncWatch {
  std::mutex lock;
  std::condition_variable changed;
  std::string folder;              // where the test writes
  std::vector<std::string> events; // "before 2", "after 2", "place 2", "folder"
  std::map<FileHandle, int> index_of_file;
  std::map<std::string, int> index_of_path;
  int held = -1;
  bool fail_held = false;  // the held sync then fails, for the reason of a failed open
  std::string missing;     // what that open asks for
  std::string reason;      // its reason, as the sync thread saw it
  int afters = 0;
  int in_place_early = 0;  // destinations already there when the held sync went on
  bool gave_up = false;    // the other syncs were not done by the deadline
};
static SyncWatch *g_sync_watch;

static bool sync_watch_hook(SyncEvent event, FileHandle file, Str8 path) {
  SyncWatch *w = g_sync_watch;
  std::unique_lock<std::mutex> hold(w->lock);
  // only this test's files and folders: another thread's syncs are not counted
  if (event != SyncPlace && file == 0) {
    if (text_of(path).starts_with(w->folder)) w->events.push_back("folder");
    return true;
  }
  int index = -1;
  if (event == SyncPlace && w->index_of_path.count(text_of(path))) index = w->index_of_path[text_of(path)];
  if (event != SyncPlace && w->index_of_file.count(file)) index = w->index_of_file[file];
  if (index < 0) return true;
  const char *label = event == SyncBefore ? "before " : event == SyncAfter ? "after " : "place ";
  bool ok = true;
  u32 code = 0;
  if (event == SyncBefore && index == w->held) {
    int others = (int)w->index_of_file.size() - 1;
    w->gave_up = !w->changed.wait_for(hold, std::chrono::seconds(60), [&] { return w->afters == others; });
    for (const auto &[destination, i] : w->index_of_path) w->in_place_early += fs::exists(destination) ? 1 : 0;
    if (w->fail_held) {
      file_open(FileOpenRead, s8(w->missing));
      code = file_last_error_code();
      Arena *arena = arena_create(mib(1), kib(64));
      w->reason = text_of(file_last_error_text(arena));
      arena_destroy(arena);
      ok = false;
    }
  }
  w->events.push_back(label + std::to_string(index));
  if (event == SyncAfter) w->afters += 1;
  w->changed.notify_all();
  // the failure's reason is the thread's last error when the hook returns
  if (!ok) file_last_error_set(code);
  return ok;
}

// A batch's temporaries are synced together on the sync threads: the first one's sync is held
// until all the others are done, and none is moved before every sync is done; then they are
// moved in the batch's order. A sync that fails leaves no temporary behind, nothing after it is
// moved, and the commit's caller reads the sync thread's reason. Folders are synced the same way.
TEST(OsFiles, BatchSyncsRunTogetherAndMovesWaitForAllInOrder) {
  TempFolder tmp;
  SyncWatch watch;
  watch.folder = tmp.path;
  g_sync_watch = &watch;
  sync_test_hook = sync_watch_hook;
  struct Unhook {
    ~Unhook() { sync_test_hook = nullptr; }
  } unhook;
  Arena *arena = arena_create(mib(1), kib(64));
  auto body = [](const std::string &prefix, int i) { return prefix + std::string(1000 + i, (char)('a' + i)); };
  auto begin = [&](const std::string &prefix, int count, PendingWrite *w) {
    for (int i = 0; i < count; i += 1) {
      std::string path = tmp.at(prefix + std::to_string(i) + ".txt");
      ASSERT_TRUE(file_write_begin(arena, s8(path), s8(body(prefix, i)), 0, &w[i]));
      watch.index_of_file[w[i].file] = i;
      watch.index_of_path[path] = i;
    }
  };
  // the moves in the order they came; a sync that came after a move is named instead
  auto moves = [&]() {
    std::vector<std::string> found;
    auto is_move = [](const std::string &e) { return e.starts_with("place"); };
    auto first = std::find_if(watch.events.begin(), watch.events.end(), is_move);
    for (auto e = first; e != watch.events.end(); ++e) {
      if (!is_move(*e)) return std::vector<std::string>{"a sync after a move: " + *e};
      found.push_back(*e);
    }
    return found;
  };

  // six writes, the first one's sync done last
  PendingWrite w[6];
  bool ok[6] = {};
  watch.held = 0;
  begin("f", 6, w);
  file_write_commit(w, 6, ok);
  EXPECT_FALSE(watch.gave_up) << "the syncs did not run at the same time";
  EXPECT_EQ(watch.in_place_early, 0);
  ASSERT_EQ(watch.events.size(), 18u);
  EXPECT_EQ(watch.events[11], "after 0");
  EXPECT_EQ(moves(), (std::vector<std::string>{"place 0", "place 1", "place 2", "place 3", "place 4", "place 5"}));
  for (int i = 0; i < 6; i += 1) {
    EXPECT_TRUE(ok[i]) << i;
    EXPECT_EQ(read_back(tmp.at("f" + std::to_string(i) + ".txt")), body("f", i)) << i;
  }
  EXPECT_FALSE(has_temporary(tmp.path));

  // five writes whose third sync fails, last: the two before it are in place, nothing after it
  watch.events.clear();
  watch.index_of_file.clear();
  watch.index_of_path.clear();
  watch.afters = 0;
  watch.held = 2;
  watch.fail_held = true;
  watch.missing = tmp.at("missing/none.txt");
  begin("g", 5, w);
  file_write_commit(w, 5, ok);
  std::string reason = text_of(file_last_error_text(arena));
  EXPECT_FALSE(watch.gave_up) << "the syncs did not run at the same time";
  EXPECT_EQ(watch.in_place_early, 0);
  EXPECT_EQ(moves(), (std::vector<std::string>{"place 0", "place 1"}));
  const bool expected[5] = {true, true, false, false, false};
  for (int i = 0; i < 5; i += 1) {
    std::string path = tmp.at("g" + std::to_string(i) + ".txt");
    EXPECT_EQ(ok[i], expected[i]) << i;
    EXPECT_EQ(fs::exists(path), expected[i]) << i;
    EXPECT_EQ(read_back(path), expected[i] ? body("g", i) : "") << i;
  }
  EXPECT_FALSE(has_temporary(tmp.path));
  EXPECT_FALSE(watch.reason.empty());
  EXPECT_EQ(reason, watch.reason);

  // folders: all synced, or false when one cannot be
  watch.events.clear();
  std::string sub = tmp.at("sub"), gone = tmp.at("gone");
  fs::create_directories(sub);
  Str8 folders[] = {s8(tmp.path), s8(sub), s8(gone)};
  EXPECT_TRUE(folder_sync_many(folders, 2));
  EXPECT_EQ(watch.events, (std::vector<std::string>{"folder", "folder", "folder", "folder"}));
  EXPECT_FALSE(folder_sync_many(folders, 3));
  arena_destroy(arena);
}

TEST(OsFiles, StaleTemporariesAreSweptFromOneFolderOnly) {
  TempFolder tmp;
  const char *stale[] = {".vantor-1-2-3.tmp", ".vantor-4242-17-0.tmp"};
  const char *kept[] = {"keep.tmp", ".vantor-x-1-2.tmp", ".vantor-1-2.tmp", ".vantor-1-2-3-4.tmp",
                        ".vantor--1-2.tmp", ".vantor-1-2-3.tmp.png", "vantor-1-2-3.tmp"};
  for (const char *n : stale) ASSERT_TRUE(file_write_all(s8(tmp.at(n)), str8_lit("x"), 0));
  for (const char *n : kept) ASSERT_TRUE(file_write_all(s8(tmp.at(n)), str8_lit("x"), 0));
  fs::create_directories(tmp.at("sub"));
  fs::create_directories(tmp.at(".vantor-5-6-7.tmp"));
  ASSERT_TRUE(file_write_all(s8(tmp.at("sub/.vantor-1-2-3.tmp")), str8_lit("x"), 0));

  EXPECT_EQ(folder_remove_stale_temporaries(s8(tmp.path)), 2u);
  for (const char *n : stale) EXPECT_FALSE(fs::exists(tmp.at(n))) << n;
  for (const char *n : kept) EXPECT_TRUE(fs::exists(tmp.at(n))) << n;
  EXPECT_TRUE(fs::is_directory(tmp.at(".vantor-5-6-7.tmp")));
  EXPECT_TRUE(fs::exists(tmp.at("sub/.vantor-1-2-3.tmp")));
  EXPECT_EQ(folder_remove_stale_temporaries(s8(tmp.path)), 0u);
  EXPECT_EQ(folder_remove_stale_temporaries(s8(tmp.at("missing"))), 0u);
  EXPECT_EQ(folder_remove_stale_temporaries(Str8{}), 0u);
}

//~ Properties and times
TEST(OsFiles, DenseTimesAreUtcAndOrderedAcrossBoundaries) {
  TempFolder tmp;
  std::string path = tmp.at("t");
  ASSERT_TRUE(file_write_all(s8(path), str8_lit("t"), 0));

  // 2023-12-31 23:59:59.999 UTC
  ASSERT_TRUE(set_mtime(path, 1704067199, 999999999));
  DateTime dt = date_time_from_dense_time(file_props_from_path(s8(path)).modified);
  EXPECT_EQ(dt.year, 2023);
  EXPECT_EQ(dt.month, 11);
  EXPECT_EQ(dt.day, 31);
  EXPECT_EQ(dt.hour, 23);
  EXPECT_EQ(dt.minute, 59);
  EXPECT_EQ(dt.second, 59);
  EXPECT_EQ(dt.millisecond, 999);

  // each moment is one millisecond or one second after the one before it
  const i64 moments[][2] = {
      {1675209599, 999000000}, // 2023-01-31 23:59:59.999
      {1675209600, 0},         // 2023-02-01 00:00:00.000
      {1675209600, 1000000},   // 2023-02-01 00:00:00.001
      {1709164799, 0},         // 2024-02-28 23:59:59
      {1709164800, 0},         // 2024-02-29 00:00:00
      {1709251199, 999000000}, // 2024-02-29 23:59:59.999
      {1709251200, 0},         // 2024-03-01 00:00:00
      {1735689599, 999000000}, // 2024-12-31 23:59:59.999
      {1735689600, 0},         // 2025-01-01 00:00:00
  };
  DenseTime previous = 0;
  for (const auto &m : moments) {
    ASSERT_TRUE(set_mtime(path, m[0], m[1]));
    DenseTime t = file_props_from_path(s8(path)).modified;
    EXPECT_GT(t, previous) << m[0];
    previous = t;
  }
  DateTime leap = date_time_from_dense_time(previous);
  EXPECT_EQ(leap.year, 2025);
  EXPECT_EQ(leap.month, 0);
  EXPECT_EQ(leap.day, 1);
}

//~ Folders
TEST(OsFiles, FolderChainsAndParents) {
  TempFolder tmp;
  EXPECT_TRUE(folder_make_chain(s8(tmp.at("a/b/c"))));
  EXPECT_TRUE(fs::is_directory(tmp.at("a/b/c")));
  EXPECT_TRUE(folder_make_chain(s8(tmp.at("a/b/c"))));

  EXPECT_TRUE(folder_make_parents(s8(tmp.at("x/y/z.png"))));
  EXPECT_TRUE(fs::is_directory(tmp.at("x/y")));
  EXPECT_FALSE(fs::exists(tmp.at("x/y/z.png")));

  // where backslashes separate, they cut pieces like "/", and doubled separators are harmless
  {
    SeparatorRule windows(true);
    std::string mixed = tmp.path + "\\m\\\\n/o/";
    EXPECT_TRUE(folder_make_chain(s8(mixed)));
    EXPECT_TRUE(fs::is_directory(tmp.at("m/n/o")));
  }

  // a file in the way stops the chain
  ASSERT_TRUE(file_write_all(s8(tmp.at("f")), str8_lit("f"), 0));
  EXPECT_FALSE(folder_make_chain(s8(tmp.at("f/g"))));
  EXPECT_FALSE(folder_ensure(s8(tmp.at("f"))));
  EXPECT_TRUE(folder_ensure(s8(tmp.at("fresh"))));
  EXPECT_TRUE(fs::is_directory(tmp.at("fresh")));
  EXPECT_FALSE(folder_ensure(Str8{}));

  // a relative path's first folder is made as well
  std::string saved = fs::current_path().string();
  fs::current_path(tmp.path);
  EXPECT_TRUE(folder_make_chain(str8_lit("rel/one")));
  EXPECT_TRUE(folder_make_parents(str8_lit("top/file.txt")));
  fs::current_path(saved);
  EXPECT_TRUE(fs::is_directory(tmp.at("rel/one")));
  EXPECT_TRUE(fs::is_directory(tmp.at("top")));
  EXPECT_FALSE(fs::exists(tmp.at("top/file.txt")));

  EXPECT_TRUE(folder_sync(s8(tmp.path)));
  EXPECT_FALSE(folder_sync(s8(tmp.at("f"))));
  EXPECT_FALSE(folder_sync(s8(tmp.at("missing"))));
}

TEST(OsFiles, IteratedEntriesCarryTimesAndLiveInTheArena) {
  TempFolder tmp;
  ASSERT_TRUE(file_write_all(s8(tmp.at("one")), str8_lit("1"), 0));
  ASSERT_TRUE(set_mtime(tmp.at("one"), 1704067199, 500000000));
  Arena *arena = arena_create(mib(1), kib(64));
  DirIter *iter = dir_iter_open(arena, s8(tmp.path), 0);
  DirEntry e, after;
  ASSERT_TRUE(dir_iter_next(arena, iter, &e));
  EXPECT_FALSE(dir_iter_next(arena, iter, &after));
  EXPECT_FALSE(dir_iter_next(arena, iter, &after));
  dir_iter_close(iter);
  EXPECT_EQ(text_of(e.name), "one");
  EXPECT_EQ(e.name.str[e.name.size], 0);
  EXPECT_EQ(e.modified, file_props_from_path(s8(tmp.at("one"))).modified);
  EXPECT_EQ(date_time_from_dense_time(e.modified).millisecond, 500);
  EXPECT_NE(e.created, 0u);
  arena_destroy(arena);
}
