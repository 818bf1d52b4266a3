// Helpers shared by the file tests of every system: bytes read back through the OS layer,
// folder listings in both the library's and the iterator's view.
#pragma once

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_process.h"
#include "test_text.h"

inline Str8 s8(const std::string &s) { return str8(s.data(), s.size()); }

inline std::string read_back(const std::string &path) {
  Arena *arena = arena_create(mib(1), kib(64));
  std::string out = text_of(file_read_all(arena, s8(path)));
  arena_destroy(arena);
  return out;
}

inline std::set<std::string> names_in(const std::string &folder) {
  std::set<std::string> names;
  for (const std::filesystem::directory_entry &e : std::filesystem::directory_iterator(folder)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

inline bool has_temporary(const std::string &folder) {
  for (const std::string &name : names_in(folder)) {
    if (name.ends_with(".tmp")) return true;
  }
  return false;
}

struct Listed {
  std::string name;
  u32 flags;
  u64 size;
};

inline std::vector<Listed> list(const std::string &folder, u32 filter) {
  Arena *arena = arena_create(mib(1), kib(64));
  std::vector<Listed> out;
  DirIter *iter = dir_iter_open(arena, s8(folder), filter);
  DirEntry e;
  while (dir_iter_next(arena, iter, &e)) out.push_back({text_of(e.name), e.flags, e.size});
  dir_iter_close(iter);
  arena_destroy(arena);
  std::sort(out.begin(), out.end(), [](const Listed &a, const Listed &b) { return a.name < b.name; });
  return out;
}

inline std::string listed_names(const std::vector<Listed> &entries) {
  std::string s;
  for (const Listed &e : entries) s += e.name + ((e.flags & FilePropsFolder) ? "/ " : " ");
  return s;
}
