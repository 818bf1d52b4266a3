// The Windows backend's own file behaviour: sharing, durable replacement, UTF-16 names, the
// drive listing and the entries a scan must never see.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "os/os.h"
#include "test_process.h"
#include "win32/test_win32.h"

namespace {

namespace fs = std::filesystem;

Str8 s8(const std::string &s) { return str8((u8 *)s.data(), s.size()); }

std::set<std::string> list(Str8 folder, u32 filter) {
  Scratch scratch = scratch_begin(nullptr);
  std::set<std::string> names;
  DirIter *iter = dir_iter_open(scratch.arena, folder, filter);
  DirEntry entry;
  while (dir_iter_next(scratch.arena, iter, &entry)) {
    names.insert(std::string((char *)entry.name.str, entry.name.size) + ((entry.flags & FilePropsFolder) ? "/" : ""));
  }
  dir_iter_close(iter);
  scratch_restore(scratch);
  return names;
}

TEST(Win32Files, AWriterStillHoldingTheFileMakesItIncomplete) {
  TempFolder temp("win32");
  std::string path = temp.write("growing.png", "part");
  HANDLE writer = CreateFileW(wide_from_utf8(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file_is_complete(s8(path)));

  // a reader that shares everything is no writer: the intake's own reads must not count
  FileHandle reader = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, s8(path));
  ASSERT_NE(reader, 0u);
  CloseHandle(writer);
  EXPECT_TRUE(file_is_complete(s8(path)));
  file_close(reader);
  EXPECT_TRUE(file_is_complete(s8(temp.at("missing.png"))));
}

TEST(Win32Files, WriteAllReplacesDurablyAndLeavesNoTemporary) {
  TempFolder temp("win32");
  std::string path = temp.at("deep/er/out.png");
  EXPECT_TRUE(file_write_all(s8(path), str8_lit("first version"), WriteAllMakeParents));
  EXPECT_TRUE(file_write_all(s8(path), str8_lit("second"), 0));

  Scratch scratch = scratch_begin(nullptr);
  Str8 back = file_read_all(scratch.arena, s8(path));
  EXPECT_EQ(std::string((char *)back.str, back.size), "second");
  scratch_restore(scratch);
  EXPECT_EQ(list(s8(temp.at("deep/er")), 0), (std::set<std::string>{"out.png"}));

  // empty data: the file exists, empty, and the call says false
  EXPECT_FALSE(file_write_all(s8(temp.at("empty.png")), Str8{}, 0));
  EXPECT_TRUE(fs::exists(temp.at("empty.png")));
  EXPECT_EQ(fs::file_size(temp.at("empty.png")), 0u);

  // a killed run's temporary is removed at start-up, other dot names stay
  temp.write(".vantor-12-34-5.tmp", "x");
  temp.write(".vantor-notours.tmp", "x");
  EXPECT_EQ(folder_remove_stale_temporaries(s8(temp.path)), 1u);
  EXPECT_TRUE(fs::exists(temp.at(".vantor-notours.tmp")));
}

TEST(Win32Files, NamesAreUtf8OutsideAndUtf16Inside) {
  TempFolder temp("win32");
  std::string name = "\xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80.png"; // été 日本 😀.png
  std::string path = temp.at(name);
  ASSERT_TRUE(file_write_all(s8(path), str8_lit("pixels"), 0));
  // the system sees the UTF-16 name, not the UTF-8 bytes
  EXPECT_TRUE(fs::exists(fs::path(wide_from_utf8(path))));
  EXPECT_EQ(list(s8(temp.path), 0), (std::set<std::string>{name}));
  FileProps props = file_props_from_path(s8(path));
  EXPECT_TRUE(props.flags & FilePropsExists);
  EXPECT_EQ(props.size, 6u);
  EXPECT_TRUE(file_delete(s8(path)));
  EXPECT_FALSE(file_props_from_path(s8(path)).flags & FilePropsExists);
}

TEST(Win32Files, ListingFiltersAndWhatNeverOpens) {
  TempFolder temp("win32");
  temp.write(".hidden", "h");
  temp.write("a.png", "a");
  fs::create_directories(temp.at("sub"));
  Str8 folder = s8(temp.path);
  EXPECT_EQ(list(folder, 0), (std::set<std::string>{".hidden", "a.png", "sub/"}));
  EXPECT_EQ(list(folder, DirSkipDotNames), (std::set<std::string>{"a.png", "sub/"}));
  EXPECT_EQ(list(folder, DirSkipFolders), (std::set<std::string>{".hidden", "a.png"}));
  EXPECT_EQ(list(folder, DirSkipFiles), (std::set<std::string>{"sub/"}));
  EXPECT_TRUE(list(s8(temp.at("nothing-here")), 0).empty());

  // a pattern is no path: "*" must not find a.png
  EXPECT_FALSE(file_props_from_path(s8(temp.at("*.png"))).flags & FilePropsExists);
  EXPECT_TRUE(file_props_from_path(s8(temp.at("sub"))).flags & FilePropsFolder);
  // folders and devices give no handle
  EXPECT_EQ(file_open(FileOpenRead | FileShareRead, s8(temp.at("sub"))), 0u);
  EXPECT_EQ(file_open(FileOpenRead | FileShareRead, str8_lit("NUL")), 0u);

  // the empty path lists the drives as folders named like "C:"
  std::set<std::string> drives = list(Str8{}, 0);
  ASSERT_FALSE(drives.empty());
  for (const std::string &d : drives) {
    EXPECT_EQ(d.size(), 3u) << d;
    EXPECT_EQ(d.substr(1), ":/") << d;
  }
}

TEST(Win32Files, FolderChainsFromADrive) {
  TempFolder temp("win32");
  std::string chain = temp.path + "\\a/b\\c";
  EXPECT_TRUE(folder_make_chain(s8(chain)));
  EXPECT_TRUE(fs::is_directory(temp.at("a/b/c")));
  EXPECT_TRUE(folder_make_parents(s8(temp.at("x/y/file.png"))));
  EXPECT_TRUE(fs::is_directory(temp.at("x/y")));
  EXPECT_FALSE(fs::exists(temp.at("x/y/file.png")));
  EXPECT_TRUE(folder_sync(s8(temp.path)));
}

// The counterparts of the POSIX size-limit and permission cases: a destination another
// process holds without sharing deletion refuses the replacing rename for as long as it holds
// it (a short hold only delays the write), and a read-only file
// can be neither opened for writing nor deleted; the old bytes stay whole, no temporary stays.
TEST(Win32Files, AHeldOrReadOnlyFileKeepsItsBytes) {
  TempFolder temp("win32");
  Scratch scratch = scratch_begin(nullptr);
  auto bytes = [&](const std::string &path) {
    Str8 data = file_read_all(scratch.arena, s8(path));
    return std::string((char *)data.str, data.size);
  };
  std::string held = temp.write("held.bin", "old held");
  HANDLE holder = CreateFileW(wide_from_utf8(held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file_write_all(s8(held), str8_lit("new bytes"), 0));
  EXPECT_FALSE(file_delete(s8(held)));
  CloseHandle(holder);
  EXPECT_EQ(bytes(held), "old held");

  // a hold that ends while the replace is retried lets the new bytes land
  holder = CreateFileW(wide_from_utf8(held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::thread release([holder] {
    Sleep(50);
    CloseHandle(holder);
  });
  EXPECT_TRUE(file_write_all(s8(held), str8_lit("brief hold"), 0));
  release.join();
  EXPECT_EQ(bytes(held), "brief hold");

  std::string locked = temp.write("locked.bin", "old locked");
  ASSERT_TRUE(SetFileAttributesW(wide_from_utf8(locked).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(file_open(FileOpenWrite, s8(locked)), 0u);
  EXPECT_EQ(file_open(FileOpenWrite | FileOpenAlways, s8(locked)), 0u);
  EXPECT_FALSE(file_delete(s8(locked)));
  EXPECT_EQ(bytes(locked), "old locked");
  SetFileAttributesW(wide_from_utf8(locked).c_str(), FILE_ATTRIBUTE_NORMAL);
  scratch_restore(scratch);

  EXPECT_EQ(list(s8(temp.path), 0), (std::set<std::string>{"held.bin", "locked.bin"}));
}

} // namespace
