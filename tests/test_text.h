// Test support: the bytes of a view as a std::string, for comparisons and messages, and a
// scope that reads paths under a given separator rule.
#pragma once

#include <string>

#include "base/base.h"

inline std::string text_of(Str8 s) { return std::string((const char *)s.str, s.size); }

// Within the scope a backslash separates (Windows) or is part of a name (elsewhere); the
// process's own rule comes back at its end.
struct SeparatorRule {
  bool saved;
  explicit SeparatorRule(bool backslash_separates) : saved(path_backslash_separates()) {
    path_set_backslash_separates(backslash_separates);
  }
  ~SeparatorRule() { path_set_backslash_separates(saved); }
  SeparatorRule(const SeparatorRule &) = delete;
  SeparatorRule &operator=(const SeparatorRule &) = delete;
};
