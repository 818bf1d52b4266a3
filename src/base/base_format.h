// Formatting: printf-style text into arenas over stb_sprintf, plus our own %S.
//
// %S prints a Str8 passed by value: every byte of the view (zero bytes included), width
// honoured, precision ignored. The length modifier "l" alone means 32 bits on every
// platform; only "ll", "I64", "j", "z" and "t" select 64-bit integers, so callers that print
// a 64-bit value with %lu cast it to 32 bits at the call. No shared state: any thread may
// format at once.
#pragma once

#include <cstdarg>

#include "base/base_string.h"

// Bounded formatting: writes at most capacity - 1 bytes and a zero byte (nothing with a null
// buffer and capacity 0); returns the length of the complete text.
int fmt_vsnprintf(char *buffer, int capacity, const char *format, va_list args);
int fmt_snprintf(char *buffer, int capacity, const char *format, ...);

Str8 arena_format_v(Arena *arena, const char *format, va_list args);
Str8 arena_format(Arena *arena, const char *format, ...);
void str8_list_addf(Arena *arena, Str8List *list, const char *format, ...);
