// Files on POSIX only: FIFOs, symbolic links, the file-size limit and nanosecond times.
// Their Windows counterparts (sharing, read-only files, reparse points) are in
// tests/win32/os_win32_files_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "os/os.h"
#include "os_files_test_support.h"
#include "test_process.h"

namespace fs = std::filesystem;

TEST(OsFilesPosix, OpenRefusesFoldersAndFifosWithoutBlocking) {
  TempFolder tmp;
  std::string fifo = tmp.at("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  // neither call may wait for a writer or a reader on the other end
  EXPECT_EQ(file_open(FileOpenRead | FileShareRead, s8(fifo)), 0u);
  EXPECT_EQ(file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, s8(fifo)), 0u);
  EXPECT_EQ(file_open(FileOpenWrite, s8(fifo)), 0u);
  EXPECT_EQ(read_back(fifo), "");
  EXPECT_EQ(file_open(FileOpenRead, s8(tmp.path)), 0u);
  // a FIFO is still something that exists, and not a folder
  FileProps props = file_props_from_path(s8(fifo));
  EXPECT_EQ(props.flags, (u32)FilePropsExists);
}

TEST(OsFilesPosix, WriteCutShortByTheSizeLimitKeepsTheOldFile) {
  TempFolder tmp;
  // a write cut short by the file-size limit keeps the old file whole
  std::string keep = tmp.at("keep.bin");
  ASSERT_TRUE(file_write_all(s8(keep), str8_lit("old contents"), 0));
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string big(65536, 'b');
  bool wrote = file_write_all(s8(keep), s8(big), WriteAllMakeParents);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);
  EXPECT_FALSE(wrote);
  EXPECT_EQ(read_back(keep), "old contents");
  EXPECT_FALSE(has_temporary(tmp.path));
}

TEST(OsFilesPosix, PropsTellVersionsApart) {
  TempFolder tmp;
  std::string path = tmp.at("p.txt");
  FileProps none = file_props_from_path(s8(path));
  EXPECT_EQ(none.flags, 0u);
  EXPECT_EQ(none.size, 0u);
  EXPECT_EQ(none.modified_ns, 0u);
  EXPECT_TRUE(file_props_same_version(none, file_props_from_path(s8(tmp.at("other")))));
  EXPECT_EQ(file_props_from_handle(0).flags, 0u);

  ASSERT_TRUE(file_write_all(s8(path), str8_lit("12345"), 0));
  ASSERT_TRUE(set_mtime(path, 1700000000, 123456789));
  FileProps a = file_props_from_path(s8(path));
  EXPECT_EQ(a.flags, (u32)FilePropsExists);
  EXPECT_EQ(a.size, 5u);
  EXPECT_EQ(a.modified_ns, 1700000000123456789ull);
  EXPECT_NE(a.created, 0u);
  EXPECT_FALSE(file_props_same_version(a, none));

  FileHandle f = file_open(FileOpenRead, s8(path));
  ASSERT_NE(f, 0u);
  FileProps h = file_props_from_handle(f);
  file_close(f);
  EXPECT_TRUE(file_props_same_version(a, h));
  EXPECT_EQ(a.modified, h.modified);

  // a change below the millisecond is still a new version
  ASSERT_TRUE(set_mtime(path, 1700000000, 123456790));
  FileProps b = file_props_from_path(s8(path));
  EXPECT_EQ(a.modified, b.modified);
  EXPECT_FALSE(file_props_same_version(a, b));

  FileProps folder = file_props_from_path(s8(tmp.path));
  EXPECT_EQ(folder.flags, (u32)(FilePropsExists | FilePropsFolder));
  EXPECT_EQ(folder.size, 0u);
  EXPECT_EQ(file_props_from_path(Str8{}).flags, 0u);

  // a name longer than the system looks up is neither a file nor nothing; one below a file is nothing
  FileProps unreachable = file_props_from_path(s8(tmp.at(std::string(300, 'n'))));
  EXPECT_EQ(unreachable.flags, (u32)FilePropsUnreachable);
  EXPECT_FALSE(file_props_same_version(unreachable, none));
  EXPECT_EQ(file_props_from_path(s8(path + "/below")).flags, 0u);
}

// Here a backslash is a byte of a name: folders are made, temporaries are placed and free
// names are numbered without cutting a name at it.
TEST(OsFilesPosix, BackslashIsPartOfAName) {
  TempFolder tmp;
  std::string folder = tmp.at("we\\ird");
  std::string path = folder + "/a\\b.png";
  ASSERT_TRUE(file_write_all(s8(path), str8_lit("one"), WriteAllMakeParents));
  EXPECT_EQ(names_in(tmp.path), std::set<std::string>{"we\\ird"});
  EXPECT_EQ(names_in(folder), std::set<std::string>{"a\\b.png"});

  Arena *arena = arena_create(mib(1), kib(64));
  Str8 temp = file_temp_path(arena, s8(path), 0x0123456789abcdefull, 7, 8);
  EXPECT_EQ(text_of(str8_parent_folder(temp)), folder);
  EXPECT_EQ(text_of(str8_file_name(temp)).rfind(".vantor-0123456789abcdef-7-8-", 0), 0u) << text_of(temp);
  EXPECT_TRUE(file_is_temp_name(str8_file_name(temp))) << text_of(temp);
  std::string from = tmp.at("from.png");
  ASSERT_TRUE(file_write_all(s8(from), str8_lit("two"), 0));
  EXPECT_EQ(text_of(file_move_to_free_name(arena, s8(from), s8(path))), folder + "/a\\b.1.png");
  EXPECT_EQ(read_back(folder + "/a\\b.1.png"), "two");
  arena_destroy(arena);
}

TEST(OsFilesPosix, IterationReportsFoldersAndFilesOnly) {
  TempFolder tmp;
  ASSERT_TRUE(file_write_all(s8(tmp.at(".hidden")), str8_lit("h"), 0));
  ASSERT_TRUE(file_write_all(s8(tmp.at("a.png")), str8_lit("png!"), 0));
  fs::create_directories(tmp.at("sub/deeper"));
  ASSERT_EQ(mkfifo(tmp.at("pipe").c_str(), 0666), 0);
  fs::create_symlink("a.png", tmp.at("link.png"));
  fs::create_symlink("nowhere", tmp.at("dangling"));
  // a link back to its own folder would make a breadth-first scan run forever
  fs::create_symlink(tmp.path, tmp.at("sub/loop"));
  fs::create_symlink("sub", tmp.at("sublink"));

  std::vector<Listed> all = list(tmp.path, 0);
  EXPECT_EQ(listed_names(all), ".hidden a.png link.png sub/ ");
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[1].size, 4u);
  EXPECT_EQ(all[2].size, 4u);
  EXPECT_EQ(all[3].size, 0u);
  EXPECT_EQ(listed_names(list(tmp.path, DirSkipDotNames)), "a.png link.png sub/ ");
  EXPECT_EQ(listed_names(list(tmp.path, DirSkipFolders)), ".hidden a.png link.png ");
  EXPECT_EQ(listed_names(list(tmp.path, DirSkipFiles)), "sub/ ");
  EXPECT_EQ(listed_names(list(tmp.path, DirSkipFiles | DirSkipFolders)), "");
  EXPECT_EQ(listed_names(list(tmp.at("sub"), 0)), "deeper/ ");

  EXPECT_EQ(list(tmp.at("missing"), 0).size(), 0u);
  EXPECT_EQ(list(tmp.at("a.png"), 0).size(), 0u);

  // the empty path lists the root once, with a name that joins as "/<name>"
  std::vector<Listed> root = list("", 0);
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0].name, "");
  EXPECT_EQ(root[0].flags, (u32)FilePropsFolder);
}

TEST(OsFilesPosix, WatchedFolderWakesWhenAWriterIsDoneOrAFileEnds) {
  TempFolder tmp;
  fs::create_directories(tmp.at("in/sub"));
  fs::create_directories(tmp.at("elsewhere"));
  auto quiet = [] { return !folder_watch_wait(clock_now_us() + 100000); };
  auto woken = [] { return folder_watch_wait(clock_now_us() + 30000000); };
  // whatever earlier tests' watches left (a removed folder's watch ends with an event) goes first
  folder_watch_wait(clock_now_us());
  folder_watch_add(s8(tmp.at("in")));
  folder_watch_add(s8(tmp.at("in"))); // again: still one watch, one wake
  EXPECT_TRUE(quiet());

  // a file being written wakes nobody; its close does, once
  int fd = open(tmp.at("in/photo.jpg").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "half", 4), 4);
  EXPECT_TRUE(quiet());
  ASSERT_EQ(write(fd, " and the rest", 13), 13);
  close(fd);
  EXPECT_TRUE(woken());
  EXPECT_TRUE(quiet());

  // a reader's close and a sub-folder that was not added stay quiet
  EXPECT_EQ(read_back(tmp.at("in/photo.jpg")), "half and the rest");
  ASSERT_TRUE(file_write_all(s8(tmp.at("elsewhere/other.jpg")), str8_lit("other"), 0));
  fd = open(tmp.at("in/sub/late.jpg").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_TRUE(quiet());

  // a file moved in wakes it, as does a close in a sub-folder once that is added
  ASSERT_EQ(rename(tmp.at("elsewhere/other.jpg").c_str(), tmp.at("in/other.jpg").c_str()), 0);
  EXPECT_TRUE(woken());
  folder_watch_add(s8(tmp.at("in/sub")));
  fd = open(tmp.at("in/sub/late.jpg").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_TRUE(woken());
  EXPECT_TRUE(quiet());

  // so does a file's end: removed, or moved out
  ASSERT_EQ(unlink(tmp.at("in/photo.jpg").c_str()), 0);
  EXPECT_TRUE(woken());
  ASSERT_EQ(rename(tmp.at("in/other.jpg").c_str(), tmp.at("elsewhere/other.jpg").c_str()), 0);
  EXPECT_TRUE(woken());
  EXPECT_TRUE(quiet());
}
