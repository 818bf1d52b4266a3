// Strings: views, slicing, search, hashing, copies, lists, UTF-8/UTF-16, paths, rings, U128.
//
// Views are cut from other views without copying. Whatever an operation builds lives in the
// arena it is given and is followed by a zero byte that the view does not count. Temporary
// work goes to the calling thread's scratch arena and is released before returning.
//
// Paths: "/" separates the pieces of a path on every system. Whether "\" does too is the
// system's rule, told once by the OS layer's start-up (path_set_backslash_separates): on
// Windows it does, and is accepted wherever a path is read; elsewhere it is an ordinary byte
// of a name ("back\slash.png" is one name). Paths that are built always use "/".
#pragma once

#include "base/base_arena.h"

//~ Types
struct Str16 {
  u16 *str;
  u64 size; // units
};

struct Str8Node {
  Str8Node *next;
  Str8 string;
};

// The all-zero value is the empty list; last->next is null.
struct Str8List {
  Str8Node *first;
  Str8Node *last;
  u64 node_count;
  u64 total_size;
};

struct Str8Array {
  u64 count;
  Str8 *v;
};

struct JoinParams {
  Str8 prefix;
  Str8 separator;
  Str8 suffix;
};

struct RangeU64 {
  u64 min;
  u64 max;
};

struct U128 {
  u64 u64s[2];
};

enum PathStyle : i32 {
  PathRelative = 0,
  PathWindowsAbsolute = 1,
  PathUnixAbsolute = 2,
};

typedef u32 MatchFlags;
enum : u32 {
  MatchIgnoreCase = 1,   // ASCII letters compare without regard to case
  MatchCommonLength = 2, // compare over the common length only
  MatchAnySlash = 4,     // every separator compares equal to "/" (a backslash only where it separates)
  MatchLast = 8,         // find reports the last occurrence
};

typedef u32 SplitFlags;
enum : u32 {
  SplitKeepEmpty = 1,
};

constexpr u32 CodepointInvalid = 0xFFFFFFFFu;

struct UnicodeDecode {
  u32 codepoint;
  u32 advance; // bytes or units consumed
};

//~ Path separators
// Written by the OS layer's start-up before any other thread exists; "/" alone separates until
// then. A test may swap the rule and restore it.
void path_set_backslash_separates(bool separates);
bool path_backslash_separates();

//~ Construction and characters
inline Str8 str8(const void *ptr, u64 size) { return Str8{(u8 *)ptr, size}; }
inline Str8 str8_from_range(const void *first, const void *opl) {
  return Str8{(u8 *)first, (u64)((const u8 *)opl - (const u8 *)first)};
}
// A view of a literal; its length is known when the program is built.
template <u64 N> inline Str8 str8_lit(const char (&s)[N]) { return Str8{(u8 *)s, N - 1}; }
u64 cstr_length(const char *s);
inline Str8 str8_cstring(const char *s) { return Str8{(u8 *)s, cstr_length(s)}; }
inline Str16 str16(const u16 *ptr, u64 size) { return Str16{(u16 *)ptr, size}; }
Str16 str16_from_wcstr(const u16 *s);

bool char_is_upper(u8 c);
bool char_is_lower(u8 c);
bool char_is_alpha(u8 c);
bool char_is_digit(u8 c);
bool char_is_space(u8 c);
bool char_is_slash(u8 c); // a path separator under the system's rule
u8 char_to_upper(u8 c);
u8 char_fold_slash(u8 c); // a separator becomes "/"; every other byte stays

//~ Cutting views
RangeU64 range_make(u64 a, u64 b);
inline u64 range_size(RangeU64 r) { return r.max - r.min; }
Str8 str8_slice(Str8 s, RangeU64 r);
Str8 str8_drop_front(Str8 s, u64 n);
Str8 str8_keep_front(Str8 s, u64 n);
Str8 str8_keep_back(Str8 s, u64 n); // n larger than the size keeps the whole view
Str8 str8_trim_back_space(Str8 s);
Str8 str8_trim_front_space(Str8 s);
Str8 str8_trim_space(Str8 s);
Str8 str8_drop_extension(Str8 s);
Str8 str8_file_name(Str8 s);
Str8 str8_parent_folder(Str8 s);

//~ Comparison and search
bool str8_equals(Str8 a, Str8 b, MatchFlags flags);
// Position of the match, or haystack.size when there is none.
u64 str8_find(Str8 haystack, Str8 needle, u64 start, MatchFlags flags);
bool str8_starts_with(Str8 s, Str8 prefix, MatchFlags flags);
bool str8_ends_with(Str8 s, Str8 suffix, MatchFlags flags);
u64 str8_hash(Str8 s); // djb2
// No validation: every byte counts as a digit through the digit table (non-digits add 255,
// some letters alias to digits). Radix 2..16.
u64 u64_from_str8(Str8 s, u32 radix);

//~ Building text in an arena (zero-terminated results)
Str8 str8_copy(Arena *arena, Str8 s);
Str8 str8_concat(Arena *arena, Str8 a, Str8 b);
Str8 str8_list_join(Arena *arena, const Str8List *list, const JoinParams *params);
Str8 str8_from_str16(Arena *arena, Str16 s);
Str16 str16_from_str8(Arena *arena, Str8 s);
char *cstr_from_str8(Arena *arena, Str8 s);
// The length of the well-formed UTF-8 sequence of two bytes or more at p (no overlong form,
// surrogate or value beyond U+10FFFF), 0 when there is none there.
u32 utf8_sequence_size(const u8 *p, u64 available);
// The bytes as one line of console text: control bytes (0x00-0x1F, 0x7F) and every byte that is
// not part of well-formed UTF-8 (overlong forms, surrogates, beyond U+10FFFF, sequences cut
// short) become "\xHH", upper-case hex; the rest is copied. A name holding a line break can
// then never start a console line of its own. The result is well-formed UTF-8 without control
// bytes, so escaping it again changes nothing.
Str8 str8_escape_line(Arena *arena, Str8 s);

//~ Lists and arrays
void str8_list_add_node(Str8List *list, Str8Node *node);
void str8_list_add(Arena *arena, Str8List *list, Str8 s);
void str8_list_append_list(Str8List *dst, Str8List *src);
Str8List str8_split_by(Arena *arena, Str8 s, const u8 *split_bytes, u64 split_count, SplitFlags flags);
Str8Array str8_array_from_list(Arena *arena, const Str8List *list);

//~ Code points
UnicodeDecode decode_utf8_char(const u8 *p, u64 available);
UnicodeDecode decode_utf16_char(const u16 *p, u64 available);
u32 encode_utf8_char(u8 *out, u32 codepoint);
u32 encode_utf16_char(u16 *out, u32 codepoint);

//~ Paths
PathStyle path_style_of(Str8 s);
Str8List path_split(Arena *arena, Str8 s);
void path_resolve_dots(Str8List *list, PathStyle style);
Str8 path_join(Arena *arena, const Str8List *list, PathStyle style);
// Absolute, "/"-separated, "." and ".." resolved; relative paths against the current folder.
Str8 path_normalize(Arena *arena, Str8 path);

// The process's current folder (written per operating system).
Str8 current_directory(Arena *arena);

//~ Small generic operations
inline U128 u128_zero() { return U128{{0, 0}}; }
inline bool u128_equal(U128 a, U128 b) { return a.u64s[0] == b.u64s[0] && a.u64s[1] == b.u64s[1]; }
inline bool u128_is_zero(U128 a) { return (a.u64s[0] | a.u64s[1]) == 0; }

// The ring keeps no positions: the caller does. Counts are cut to the ring's size.
u64 byte_ring_write(u8 *base, u64 size, u64 position, const void *src, u64 count);
u64 byte_ring_read(const u8 *base, u64 size, u64 position, void *dst, u64 count);
