// Test support: the bytes of a view as a std::string, for comparisons and messages.
#pragma once

#include <string>

#include "base/base.h"

inline std::string text_of(Str8 s) { return std::string((const char *)s.str, s.size); }
