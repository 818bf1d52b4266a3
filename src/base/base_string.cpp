#include <atomic>

#include "base/base_string.h"
#include "base/base_list.h"

//~ Path separators
static std::atomic<bool> g_backslash_separates{false};

void path_set_backslash_separates(bool separates) { g_backslash_separates.store(separates, std::memory_order_relaxed); }
bool path_backslash_separates() { return g_backslash_separates.load(std::memory_order_relaxed); }

//~ Construction and characters
u64 cstr_length(const char *s) {
  if (s == nullptr) return 0;
  u64 n = 0;
  while (s[n] != 0) n += 1;
  return n;
}

Str16 str16_from_wcstr(const u16 *s) {
  u64 n = 0;
  if (s != nullptr) {
    while (s[n] != 0) n += 1;
  }
  return Str16{(u16 *)s, n};
}

bool char_is_upper(u8 c) { return c >= 'A' && c <= 'Z'; }
bool char_is_lower(u8 c) { return c >= 'a' && c <= 'z'; }
bool char_is_alpha(u8 c) { return char_is_upper(c) || char_is_lower(c); }
bool char_is_digit(u8 c) { return c >= '0' && c <= '9'; }
bool char_is_space(u8 c) { return c == ' ' || (c >= 9 && c <= 13); }
bool char_is_slash(u8 c) { return c == '/' || (c == '\\' && path_backslash_separates()); }
u8 char_to_upper(u8 c) { return char_is_lower(c) ? (u8)(c - 'a' + 'A') : c; }
u8 char_fold_slash(u8 c) { return char_is_slash(c) ? (u8)'/' : c; }

//~ Cutting views
RangeU64 range_make(u64 a, u64 b) { return a <= b ? RangeU64{a, b} : RangeU64{b, a}; }

Str8 str8_slice(Str8 s, RangeU64 r) {
  RangeU64 c = range_make(min_of(r.min, s.size), min_of(r.max, s.size));
  return Str8{s.str + c.min, c.max - c.min};
}

Str8 str8_drop_front(Str8 s, u64 n) { return str8_slice(s, range_make(n, s.size)); }
Str8 str8_keep_front(Str8 s, u64 n) { return Str8{s.str, min_of(n, s.size)}; }

Str8 str8_keep_back(Str8 s, u64 n) {
  if (n >= s.size) return s;
  return str8_slice(s, range_make(s.size - n, s.size));
}

Str8 str8_trim_back_space(Str8 s) {
  u64 n = s.size;
  while (n > 0 && char_is_space(s.str[n - 1])) n -= 1;
  return Str8{s.str, n};
}

Str8 str8_trim_front_space(Str8 s) {
  u64 i = 0;
  while (i < s.size && char_is_space(s.str[i])) i += 1;
  return Str8{s.str + i, s.size - i};
}

Str8 str8_trim_space(Str8 s) { return str8_trim_front_space(str8_trim_back_space(s)); }

Str8 str8_drop_extension(Str8 s) {
  u64 dot = str8_find(s, str8_lit("."), 0, MatchLast);
  return dot < s.size ? str8_keep_front(s, dot) : s;
}

Str8 str8_file_name(Str8 s) {
  u64 slash = str8_find(s, str8_lit("/"), 0, MatchLast | MatchAnySlash);
  return slash < s.size ? str8_drop_front(s, slash + 1) : s;
}

Str8 str8_parent_folder(Str8 s) {
  u64 slash = str8_find(s, str8_lit("/"), 0, MatchLast | MatchAnySlash);
  return slash < s.size ? str8_keep_front(s, slash) : s;
}

//~ Comparison and search
bool str8_equals(Str8 a, Str8 b, MatchFlags flags) {
  if (a.size != b.size && !(flags & MatchCommonLength)) return false;
  u64 n = min_of(a.size, b.size);
  for (u64 i = 0; i < n; i += 1) {
    u8 x = a.str[i];
    u8 y = b.str[i];
    if (flags & MatchIgnoreCase) {
      x = char_to_upper(x);
      y = char_to_upper(y);
    }
    if (flags & MatchAnySlash) {
      x = char_fold_slash(x);
      y = char_fold_slash(y);
    }
    if (x != y) return false;
  }
  return true;
}

// Candidates are the positions in [start, haystack.size) where the needle still fits; an empty
// needle therefore fits everywhere before the end. The last match is searched from the back.
u64 str8_find(Str8 haystack, Str8 needle, u64 start, MatchFlags flags) {
  if (needle.size > haystack.size || start >= haystack.size) return haystack.size;
  u64 last = min_of(haystack.size - needle.size, haystack.size - 1);
  if (start > last) return haystack.size;
  if (flags & MatchLast) {
    for (u64 i = last + 1; i-- > start;) {
      if (str8_equals(Str8{haystack.str + i, needle.size}, needle, flags)) return i;
    }
  } else {
    for (u64 i = start; i <= last; i += 1) {
      if (str8_equals(Str8{haystack.str + i, needle.size}, needle, flags)) return i;
    }
  }
  return haystack.size;
}

bool str8_starts_with(Str8 s, Str8 prefix, MatchFlags flags) {
  return s.size >= prefix.size && str8_equals(str8_keep_front(s, prefix.size), prefix, flags);
}

bool str8_ends_with(Str8 s, Str8 suffix, MatchFlags flags) {
  return s.size >= suffix.size && str8_equals(str8_keep_back(s, suffix.size), suffix, flags);
}

u64 str8_hash(Str8 s) {
  u64 h = 5381;
  for (u64 i = 0; i < s.size; i += 1) h = h * 33 + s.str[i];
  return h;
}

// Indexed by (byte - '0') mod 32, which folds 'A'..'F' and 'a'..'f' onto the same slots.
static const u8 digit_table[32] = {
    0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   255, 255, 255, 255, 255, 255,
    255, 10,  11,  12,  13,  14,  15,  255, 255, 255, 255, 255, 255, 255, 255, 255,
};

u64 u64_from_str8(Str8 s, u32 radix) {
  u64 value = 0;
  for (u64 i = 0; i < s.size; i += 1) {
    value = value * radix + digit_table[(u8)(s.str[i] - 0x30) & 31];
  }
  return value;
}

//~ Building text in an arena (zero-terminated results)
Str8 str8_copy(Arena *arena, Str8 s) {
  u8 *out = (u8 *)arena_alloc(arena, s.size + 1, 8);
  if (s.size > 0) memcpy(out, s.str, s.size);
  out[s.size] = 0;
  return Str8{out, s.size};
}

Str8 str8_concat(Arena *arena, Str8 a, Str8 b) {
  u8 *out = (u8 *)arena_alloc(arena, a.size + b.size + 1, 8);
  if (a.size > 0) memcpy(out, a.str, a.size);
  if (b.size > 0) memcpy(out + a.size, b.str, b.size);
  out[a.size + b.size] = 0;
  return Str8{out, a.size + b.size};
}

Str8 str8_list_join(Arena *arena, const Str8List *list, const JoinParams *params) {
  JoinParams p = {};
  if (params != nullptr) p = *params;
  u64 separators = list->node_count > 0 ? list->node_count - 1 : 0;
  u64 size = p.prefix.size + p.suffix.size + p.separator.size * separators + list->total_size;
  u8 *out = (u8 *)arena_alloc(arena, size + 1, 8);
  u8 *at = out;
  if (p.prefix.size > 0) memcpy(at, p.prefix.str, p.prefix.size);
  at += p.prefix.size;
  for (Str8Node *node = list->first; node != nullptr; node = node->next) {
    if (node->string.size > 0) memcpy(at, node->string.str, node->string.size);
    at += node->string.size;
    if (node->next != nullptr) {
      if (p.separator.size > 0) memcpy(at, p.separator.str, p.separator.size);
      at += p.separator.size;
    }
  }
  if (p.suffix.size > 0) memcpy(at, p.suffix.str, p.suffix.size);
  at += p.suffix.size;
  *at = 0;
  return Str8{out, size};
}

// Both converters allocate the worst case (three bytes per unit, resp. one unit per byte) and
// give the unused tail back, so they must stay the last allocation made in the arena.
Str8 str8_from_str16(Arena *arena, Str16 s) {
  u64 capacity = 3 * s.size;
  u8 *out = (u8 *)arena_alloc(arena, capacity + 1, 8);
  u64 written = 0;
  for (u64 i = 0; i < s.size;) {
    UnicodeDecode d = decode_utf16_char(s.str + i, s.size - i);
    i += d.advance;
    written += encode_utf8_char(out + written, d.codepoint);
  }
  out[written] = 0;
  arena_give_back(arena, capacity - written);
  return Str8{out, written};
}

Str16 str16_from_str8(Arena *arena, Str8 s) {
  u64 capacity = 2 * s.size;
  u16 *out = (u16 *)arena_alloc(arena, (capacity + 1) * sizeof(u16), 8);
  u64 written = 0;
  for (u64 i = 0; i < s.size;) {
    UnicodeDecode d = decode_utf8_char(s.str + i, s.size - i);
    i += d.advance;
    written += encode_utf16_char(out + written, d.codepoint);
  }
  out[written] = 0;
  arena_give_back(arena, (capacity - written) * sizeof(u16));
  return Str16{out, written};
}

char *cstr_from_str8(Arena *arena, Str8 s) { return (char *)str8_copy(arena, s).str; }

// The second byte's range rules out overlong forms, surrogates and values beyond U+10FFFF.
u32 utf8_sequence_size(const u8 *p, u64 available) {
  u8 lead = p[0];
  u32 n = 0;
  u8 low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) n = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) n = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) n = 4;
  if (n == 0 || n > available) return 0;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (p[1] < low || p[1] > high) return 0;
  for (u32 k = 2; k < n; k += 1) {
    if ((p[k] & 0xC0) != 0x80) return 0;
  }
  return n;
}

// Like the converters above: the worst case (four bytes a byte) is taken, the tail given back.
Str8 str8_escape_line(Arena *arena, Str8 s) {
  static const char hex[] = "0123456789ABCDEF";
  u8 *out = (u8 *)arena_alloc(arena, 4 * s.size + 1, 8);
  u64 written = 0;
  for (u64 i = 0; i < s.size;) {
    u8 c = s.str[i];
    u32 keep = c >= 0x20 && c < 0x7F ? 1 : c >= 0x80 ? utf8_sequence_size(s.str + i, s.size - i) : 0;
    if (keep > 0) {
      memcpy(out + written, s.str + i, keep);
      written += keep;
      i += keep;
      continue;
    }
    out[written + 0] = '\\';
    out[written + 1] = 'x';
    out[written + 2] = (u8)hex[c >> 4];
    out[written + 3] = (u8)hex[c & 15];
    written += 4;
    i += 1;
  }
  out[written] = 0;
  arena_give_back(arena, 4 * s.size - written);
  return Str8{out, written};
}

//~ Lists and arrays
void str8_list_add_node(Str8List *list, Str8Node *node) {
  sll_queue_push(list->first, list->last, node);
  list->node_count += 1;
  list->total_size += node->string.size;
}

void str8_list_add(Arena *arena, Str8List *list, Str8 s) {
  Str8Node *node = arena_push<Str8Node>(arena);
  node->string = s;
  str8_list_add_node(list, node);
}

void str8_list_append_list(Str8List *dst, Str8List *src) {
  if (src->first != nullptr) {
    dst->node_count += src->node_count;
    dst->total_size += src->total_size;
    if (dst->last != nullptr) {
      dst->last->next = src->first;
      dst->last = src->last;
    } else {
      dst->first = src->first;
      dst->last = src->last;
    }
  }
  *src = Str8List{};
}

// A split byte that ends the input opens no further piece, so 'a,' is one piece even when
// empty pieces are kept.
Str8List str8_split_by(Arena *arena, Str8 s, const u8 *split_bytes, u64 split_count, SplitFlags flags) {
  Str8List list = {};
  u64 start = 0;
  while (start < s.size) {
    u64 end = start;
    for (; end < s.size; end += 1) {
      bool is_split = false;
      for (u64 k = 0; k < split_count; k += 1) {
        if (s.str[end] == split_bytes[k]) {
          is_split = true;
          break;
        }
      }
      if (is_split) break;
    }
    if ((flags & SplitKeepEmpty) || end > start) {
      str8_list_add(arena, &list, Str8{s.str + start, end - start});
    }
    start = end + 1;
  }
  return list;
}

Str8Array str8_array_from_list(Arena *arena, const Str8List *list) {
  Str8Array array = {list->node_count, arena_push_uninit<Str8>(arena, list->node_count)};
  u64 i = 0;
  for (Str8Node *node = list->first; node != nullptr; node = node->next) {
    array.v[i] = node->string;
    i += 1;
  }
  return array;
}

//~ Code points
// Sequence length by the lead byte's top five bits; 0 marks a byte that cannot start one.
static const u8 utf8_class[32] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, // 0x00..0x7F
    0, 0, 0, 0, 0, 0, 0, 0,                         // 0x80..0xBF continuation
    2, 2, 2, 2,                                     // 0xC0..0xDF
    3, 3,                                           // 0xE0..0xEF
    4,                                              // 0xF0..0xF7
    0,                                              // 0xF8..0xFF
};

// Overlong forms and surrogate values decode as they stand; only the byte structure is checked.
UnicodeDecode decode_utf8_char(const u8 *p, u64 available) {
  UnicodeDecode invalid = {CodepointInvalid, 1};
  if (available == 0) return UnicodeDecode{CodepointInvalid, 0};
  u8 lead = p[0];
  u32 n = utf8_class[lead >> 3];
  if (n == 0 || n > available) return invalid;
  if (n == 1) return UnicodeDecode{lead, 1};
  static const u8 lead_mask[5] = {0, 0, 0x1F, 0x0F, 0x07};
  u32 cp = lead & lead_mask[n];
  for (u32 k = 1; k < n; k += 1) {
    if ((p[k] & 0xC0) != 0x80) return invalid;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  return UnicodeDecode{cp, n};
}

// A surrogate without its partner passes through as its own value.
UnicodeDecode decode_utf16_char(const u16 *p, u64 available) {
  if (available == 0) return UnicodeDecode{CodepointInvalid, 0};
  if (available >= 2 && p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
    u32 cp = ((((u32)p[0] - 0xD800) << 10) | ((u32)p[1] - 0xDC00)) + 0x10000;
    return UnicodeDecode{cp, 2};
  }
  return UnicodeDecode{p[0], 1};
}

u32 encode_utf8_char(u8 *out, u32 cp) {
  if (cp < 0x80) {
    out[0] = (u8)cp;
    return 1;
  }
  if (cp < 0x800) {
    out[0] = (u8)(0xC0 | (cp >> 6));
    out[1] = (u8)(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp <= 0xFFFF) {
    out[0] = (u8)(0xE0 | (cp >> 12));
    out[1] = (u8)(0x80 | ((cp >> 6) & 0x3F));
    out[2] = (u8)(0x80 | (cp & 0x3F));
    return 3;
  }
  if (cp <= 0x10FFFF) {
    out[0] = (u8)(0xF0 | (cp >> 18));
    out[1] = (u8)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (u8)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (u8)(0x80 | (cp & 0x3F));
    return 4;
  }
  out[0] = '?';
  return 1;
}

// Values beyond U+10FFFF (a four-byte UTF-8 lead can carry up to 0x1FFFFF) have no surrogate
// pair; they become '?' like the invalid marker rather than a broken pair.
u32 encode_utf16_char(u16 *out, u32 cp) {
  if (cp <= 0xFFFF) {
    out[0] = (u16)cp;
    return 1;
  }
  if (cp <= 0x10FFFF) {
    out[0] = (u16)((cp >> 10) + 0xD7C0);
    out[1] = (u16)(0xDC00 | (cp & 0x3FF));
    return 2;
  }
  out[0] = '?';
  return 1;
}

//~ Paths
PathStyle path_style_of(Str8 s) {
  if (s.size > 0 && s.str[0] == '/') return PathUnixAbsolute;
  if (s.size >= 2 && char_is_alpha(s.str[0]) && s.str[1] == ':' &&
      (s.size == 2 || char_is_slash(s.str[2]))) {
    return PathWindowsAbsolute;
  }
  return PathRelative;
}

Str8List path_split(Arena *arena, Str8 s) {
  static const u8 slashes[2] = {'/', '\\'};
  return str8_split_by(arena, s, slashes, path_backslash_separates() ? 2 : 1, 0);
}

// Kept ordinary components always form the tail of the list: a ".." is kept only while none
// is kept, and the drive only comes first. So ".." always removes the last node, and each
// stack frame remembers the node that was last before it, to cut the list back to.
struct PathDotFrame {
  Str8Node *node;
  Str8Node *previous_last;
};

void path_resolve_dots(Str8List *list, PathStyle style) {
  if (list->first == nullptr) return;
  Scratch scratch = scratch_begin(nullptr);
  PathDotFrame *stack = arena_push_uninit<PathDotFrame>(scratch.arena, list->node_count);
  u64 depth = 0;

  Str8Node *node = list->first;
  *list = Str8List{};
  bool first = true;
  while (node != nullptr) {
    Str8Node *next = node->next;
    if (first && style == PathWindowsAbsolute) {
      str8_list_add_node(list, node);
    } else if (str8_equals(node->string, str8_lit("."), 0)) {
      // dropped
    } else if (str8_equals(node->string, str8_lit(".."), 0)) {
      if (depth > 0) {
        depth -= 1;
        PathDotFrame frame = stack[depth];
        list->last = frame.previous_last;
        if (frame.previous_last != nullptr) {
          frame.previous_last->next = nullptr;
        } else {
          list->first = nullptr;
        }
        list->node_count -= 1;
        list->total_size -= frame.node->string.size;
      } else {
        str8_list_add_node(list, node);
      }
    } else {
      stack[depth] = PathDotFrame{node, list->last};
      depth += 1;
      str8_list_add_node(list, node);
    }
    first = false;
    node = next;
  }
  scratch_restore(scratch);
}

Str8 path_join(Arena *arena, const Str8List *list, PathStyle style) {
  JoinParams params = {};
  switch (style) {
  case PathRelative:
  case PathWindowsAbsolute:
    params.separator = str8_lit("/");
    break;
  case PathUnixAbsolute:
    params.prefix = str8_lit("/");
    params.separator = str8_lit("/");
    break;
  }
  return str8_list_join(arena, list, &params);
}

Str8 path_normalize(Arena *arena, Str8 path) {
  Scratch scratch = scratch_begin(arena);
  PathStyle style = path_style_of(path);
  Str8List list = path_split(scratch.arena, path);

  // relative: anchor at the current folder
  if (list.node_count > 0 && style == PathRelative) {
    Str8 cwd = current_directory(scratch.arena);
    Str8List full = path_split(scratch.arena, cwd);
    str8_list_append_list(&full, &list);
    list = full;
    style = path_style_of(cwd);
  }

  path_resolve_dots(&list, style);
  Str8 result = path_join(arena, &list, style);
  scratch_restore(scratch);
  return result;
}

//~ Small generic operations
// A ring of size 0 holds nothing; it reports 0 instead of dividing by zero.
u64 byte_ring_write(u8 *base, u64 size, u64 position, const void *src, u64 count) {
  if (size == 0) return 0;
  count = min_of(count, size);
  position %= size;
  u64 first = min_of(count, size - position);
  if (first > 0) memcpy(base + position, src, first);
  if (count > first) memcpy(base, (const u8 *)src + first, count - first);
  return count;
}

u64 byte_ring_read(const u8 *base, u64 size, u64 position, void *dst, u64 count) {
  if (size == 0) return 0;
  count = min_of(count, size);
  position %= size;
  u64 first = min_of(count, size - position);
  if (first > 0) memcpy(dst, base + position, first);
  if (count > first) memcpy((u8 *)dst + first, base, count - first);
  return count;
}
