#include <gtest/gtest.h>

#include <string>

#include "base/base.h"
#include "test_text.h"

namespace {

std::string to_std(Str8 s) { return std::string((const char *)s.str, (size_t)s.size); }

Str8 lit(const char *s) { return str8_cstring(s); }

std::string joined(Str8List list) {
  std::string out;
  for (Str8Node *n = list.first; n != nullptr; n = n->next) {
    if (n != list.first) out += "|";
    out += to_std(n->string);
  }
  return out;
}

// Links, count and total size must describe the same nodes, and the last node must end it.
void expect_well_formed(const Str8List &list) {
  u64 count = 0;
  u64 total = 0;
  Str8Node *last = nullptr;
  for (Str8Node *n = list.first; n != nullptr; n = n->next) {
    count += 1;
    total += n->string.size;
    last = n;
  }
  EXPECT_EQ(count, list.node_count);
  EXPECT_EQ(total, list.total_size);
  EXPECT_EQ(last, list.last);
  if (list.last != nullptr) {
    EXPECT_EQ(list.last->next, nullptr);
  }
}

class StringTest : public testing::Test {
protected:
  void SetUp() override { arena = arena_create(mib(4), kib(64)); }
  void TearDown() override { arena_destroy(arena); }
  Arena *arena = nullptr;
};

TEST_F(StringTest, CharactersAndCutting) {
  EXPECT_TRUE(char_is_space(' ') && char_is_space('\t') && char_is_space('\v') && char_is_space('\r'));
  EXPECT_FALSE(char_is_space(0) || char_is_space(14) || char_is_space('a'));
  EXPECT_EQ(char_to_upper('q'), 'Q');
  EXPECT_EQ(char_to_upper('{'), '{');
  EXPECT_TRUE(char_is_digit('0') && char_is_digit('9') && !char_is_digit('a'));

  Str8 s = lit("abcdef");
  EXPECT_EQ(to_std(str8_slice(s, RangeU64{4, 2})), "cd");
  EXPECT_EQ(to_std(str8_slice(s, RangeU64{3, 100})), "def");
  EXPECT_EQ(str8_slice(s, RangeU64{50, 100}).size, 0u);
  EXPECT_EQ(to_std(str8_drop_front(s, 2)), "cdef");
  EXPECT_EQ(str8_drop_front(s, 9).size, 0u);
  EXPECT_EQ(to_std(str8_keep_front(s, 2)), "ab");
  EXPECT_EQ(to_std(str8_keep_front(s, 99)), "abcdef");
  EXPECT_EQ(to_std(str8_keep_back(s, 1)), "f");
  EXPECT_EQ(to_std(str8_keep_back(s, 99)), "abcdef");

  EXPECT_EQ(str8_trim_space(lit("  \t ")).size, 0u);
  EXPECT_EQ(to_std(str8_trim_space(lit(" a b "))), "a b");
  EXPECT_EQ(to_std(str8_trim_front_space(lit("\n x "))), "x ");
  EXPECT_EQ(to_std(str8_trim_back_space(lit(" x \r\n"))), " x");

  EXPECT_EQ(to_std(str8_drop_extension(lit("a.tar.gz"))), "a.tar");
  EXPECT_EQ(str8_drop_extension(lit(".cfg")).size, 0u);
  EXPECT_EQ(to_std(str8_drop_extension(lit("name"))), "name");
  EXPECT_EQ(to_std(str8_file_name(lit("pic.png"))), "pic.png");
  EXPECT_EQ(to_std(str8_parent_folder(lit("pic.png"))), "pic.png");
  {
    SeparatorRule windows(true);
    EXPECT_EQ(char_fold_slash('\\'), '/');
    EXPECT_EQ(to_std(str8_file_name(lit("C:\\in/sub\\pic.png"))), "pic.png");
    EXPECT_EQ(to_std(str8_parent_folder(lit("/srv/in\\pic.png"))), "/srv/in");
  }
}

TEST_F(StringTest, EqualsAndFindFlags) {
  EXPECT_TRUE(str8_equals(lit("ABC"), lit("abc"), MatchIgnoreCase));
  EXPECT_FALSE(str8_equals(lit("ABC"), lit("abc"), 0));
  {
    SeparatorRule windows(true);
    EXPECT_TRUE(str8_equals(lit("a\\b"), lit("a/b"), MatchAnySlash));
    EXPECT_FALSE(str8_equals(lit("a\\b"), lit("a/b"), MatchIgnoreCase));
    EXPECT_TRUE(str8_equals(lit("A\\B"), lit("a/b"), MatchIgnoreCase | MatchAnySlash));
    EXPECT_EQ(str8_find(lit("x/y\\z"), lit("/"), 0, MatchAnySlash | MatchLast), 3u);
  }
  EXPECT_FALSE(str8_equals(lit("ab"), lit("abc"), 0));
  EXPECT_TRUE(str8_equals(lit("ab"), lit("abc"), MatchCommonLength));
  EXPECT_TRUE(str8_equals(lit(""), lit("xyz"), MatchCommonLength));
  EXPECT_FALSE(str8_equals(lit("ax"), lit("abc"), MatchCommonLength));
  // case folding is ASCII letters only: '[' and '{' stay apart
  EXPECT_FALSE(str8_equals(lit("["), lit("{"), MatchIgnoreCase));

  EXPECT_EQ(str8_find(lit("a.b.c"), lit("."), 0, 0), 1u);
  EXPECT_EQ(str8_find(lit("a.b.c"), lit("."), 0, MatchLast), 3u);
  EXPECT_EQ(str8_find(lit("a.b.c"), lit("."), 2, 0), 3u);
  EXPECT_EQ(str8_find(lit("a.b.c"), lit("."), 4, 0), 5u);
  EXPECT_EQ(str8_find(lit("abc"), lit("x"), 0, 0), 3u);
  EXPECT_EQ(str8_find(lit("abc"), lit("abcd"), 0, 0), 3u);
  EXPECT_EQ(str8_find(lit("abcabc"), lit("bc"), 0, MatchLast), 4u);
  EXPECT_EQ(str8_find(lit("abcABC"), lit("Bc"), 0, MatchIgnoreCase | MatchLast), 4u);
  EXPECT_EQ(str8_find(lit("abc"), lit(""), 1, 0), 1u);
  EXPECT_EQ(str8_find(lit("abc"), lit(""), 0, MatchLast), 2u);
  EXPECT_EQ(str8_find(lit("abc"), lit(""), 3, 0), 3u);
  EXPECT_EQ(str8_find(lit(""), lit(""), 0, 0), 0u);

  EXPECT_TRUE(str8_starts_with(lit("Vantor"), lit("VAN"), MatchIgnoreCase));
  EXPECT_FALSE(str8_starts_with(lit("Va"), lit("Van"), 0));
  EXPECT_TRUE(str8_ends_with(lit("pic.PNG"), lit(".png"), MatchIgnoreCase));
  EXPECT_FALSE(str8_ends_with(lit("g"), lit(".png"), MatchIgnoreCase));
}

TEST_F(StringTest, NumbersAndHash) {
  EXPECT_EQ(u64_from_str8(lit("255"), 10), 255u);
  EXPECT_EQ(u64_from_str8(lit("ff"), 16), 255u);
  EXPECT_EQ(u64_from_str8(lit("FF"), 16), 255u);
  EXPECT_EQ(u64_from_str8(lit("1x"), 10), 18u);  // 'x' aliases to 8
  EXPECT_EQ(u64_from_str8(lit("1-"), 10), 265u); // a non-digit adds 255
  EXPECT_EQ(u64_from_str8(lit("101"), 2), 5u);
  EXPECT_EQ(u64_from_str8(lit(""), 10), 0u);
  EXPECT_EQ(u64_from_str8(lit("18446744073709551615"), 10), UINT64_MAX);
  EXPECT_EQ(u64_from_str8(lit("18446744073709551616"), 10), 0u); // wraps modulo 2^64

  EXPECT_EQ(str8_hash(lit("")), 5381u);
  EXPECT_EQ(str8_hash(lit("abc")), 193485963u);
  // bytes above 127 count as unsigned
  u8 high[1] = {0xFF};
  EXPECT_EQ(str8_hash(str8(high, 1)), 5381u * 33 + 255);
}

TEST_F(StringTest, BuildingInArena) {
  Str8 c = str8_copy(arena, lit("hello"));
  EXPECT_EQ(to_std(c), "hello");
  EXPECT_EQ(c.str[c.size], 0);
  Str8 cc = str8_concat(arena, lit("ab"), lit("cde"));
  EXPECT_EQ(to_std(cc), "abcde");
  EXPECT_EQ(cc.str[cc.size], 0);
  Str8 empty = str8_concat(arena, lit(""), lit(""));
  EXPECT_EQ(empty.size, 0u);
  EXPECT_EQ(empty.str[0], 0);
  char *z = cstr_from_str8(arena, str8_keep_front(lit("abcdef"), 3));
  EXPECT_STREQ(z, "abc");
  u16 wide[] = {'a', 0x263A, 0};
  EXPECT_EQ(str16_from_wcstr(wide).size, 2u);
  EXPECT_EQ(cstr_length(""), 0u);
}

TEST_F(StringTest, ListsSplitAndJoin) {
  // append: both empty, into empty, onto non-empty; the source is always emptied
  Str8List a = {};
  Str8List b = {};
  str8_list_append_list(&a, &b);
  EXPECT_EQ(a.first, nullptr);
  str8_list_add(arena, &b, lit("x"));
  str8_list_append_list(&a, &b);
  EXPECT_EQ(joined(a), "x");
  EXPECT_EQ(b.first, nullptr);
  EXPECT_EQ(b.node_count, 0u);
  str8_list_add(arena, &b, lit("yy"));
  str8_list_add(arena, &b, lit("zzz"));
  str8_list_append_list(&a, &b);
  EXPECT_EQ(joined(a), "x|yy|zzz");
  EXPECT_EQ(a.total_size, 6u);
  expect_well_formed(a);
  EXPECT_EQ(b.last, nullptr);
  EXPECT_EQ(b.total_size, 0u);

  Str8Array arr = str8_array_from_list(arena, &a);
  ASSERT_EQ(arr.count, 3u);
  EXPECT_EQ(to_std(arr.v[1]), "yy");
  EXPECT_EQ(to_std(arr.v[2]), "zzz");

  const u8 comma[] = {','};
  EXPECT_EQ(str8_split_by(arena, lit("a,,b"), comma, 1, 0).node_count, 2u);
  EXPECT_EQ(joined(str8_split_by(arena, lit("a,,b"), comma, 1, SplitKeepEmpty)), "a||b");
  EXPECT_EQ(str8_split_by(arena, lit("a,,b"), comma, 1, SplitKeepEmpty).node_count, 3u);
  EXPECT_EQ(str8_split_by(arena, lit("a,"), comma, 1, 0).node_count, 1u);
  EXPECT_EQ(str8_split_by(arena, lit("a,"), comma, 1, SplitKeepEmpty).node_count, 1u);
  Str8List lead = str8_split_by(arena, lit(",a"), comma, 1, SplitKeepEmpty);
  EXPECT_EQ(lead.node_count, 2u);
  EXPECT_EQ(lead.first->string.size, 0u);
  EXPECT_EQ(str8_split_by(arena, lit(""), comma, 1, SplitKeepEmpty).node_count, 0u);
  EXPECT_EQ(str8_split_by(arena, lit(",,,"), comma, 1, 0).node_count, 0u);
  const u8 seps[] = {' ', ';'};
  Str8List words = str8_split_by(arena, lit("one two;three"), seps, 2, 0);
  EXPECT_EQ(joined(words), "one|two|three");
  expect_well_formed(words);

  JoinParams parens = {lit("("), lit(""), lit(")")};
  Str8List none = {};
  Str8 j = str8_list_join(arena, &none, &parens);
  EXPECT_EQ(to_std(j), "()");
  EXPECT_EQ(j.str[j.size], 0);
  EXPECT_EQ(str8_list_join(arena, &none, nullptr).size, 0u);
  Str8List ab = {};
  str8_list_add(arena, &ab, lit("a"));
  str8_list_add(arena, &ab, lit("b"));
  JoinParams comma_space = {lit(""), lit(", "), lit("")};
  EXPECT_EQ(to_std(str8_list_join(arena, &ab, &comma_space)), "a, b");
  JoinParams all = {lit("["), lit("-"), lit("]")};
  Str8 full = str8_list_join(arena, &ab, &all);
  EXPECT_EQ(to_std(full), "[a-b]");
  EXPECT_EQ(full.str[full.size], 0);
  EXPECT_EQ(to_std(str8_list_join(arena, &ab, nullptr)), "ab");
}

TEST_F(StringTest, CodePointDecodersAndEncoders) {
  const u8 truncated[] = {0xE2, 0x82};
  UnicodeDecode d = decode_utf8_char(truncated, 2);
  EXPECT_EQ(d.codepoint, CodepointInvalid);
  EXPECT_EQ(d.advance, 1u);
  const u8 euro[] = {0xE2, 0x82, 0xAC};
  d = decode_utf8_char(euro, 3);
  EXPECT_EQ(d.codepoint, 0x20ACu);
  EXPECT_EQ(d.advance, 3u);
  const u8 continuation[] = {0x80};
  EXPECT_EQ(decode_utf8_char(continuation, 1).codepoint, CodepointInvalid);
  const u8 too_long_lead[] = {0xF8, 0x80, 0x80, 0x80, 0x80};
  EXPECT_EQ(decode_utf8_char(too_long_lead, 5).codepoint, CodepointInvalid);
  const u8 overlong[] = {0xC0, 0x80}; // passes unchecked as U+0000
  d = decode_utf8_char(overlong, 2);
  EXPECT_EQ(d.codepoint, 0u);
  EXPECT_EQ(d.advance, 2u);

  const u16 lone_high[] = {0xD83D, 'a'};
  d = decode_utf16_char(lone_high, 2);
  EXPECT_EQ(d.codepoint, 0xD83Du);
  EXPECT_EQ(d.advance, 1u);
  d = decode_utf16_char(lone_high, 1);
  EXPECT_EQ(d.advance, 1u);

  u8 out8[4];
  EXPECT_EQ(encode_utf8_char(out8, 0x7FF), 2u);
  EXPECT_EQ(out8[0], 0xDF);
  EXPECT_EQ(out8[1], 0xBF);
  EXPECT_EQ(encode_utf8_char(out8, 0x110000), 1u);
  EXPECT_EQ(out8[0], '?');
  EXPECT_EQ(encode_utf8_char(out8, CodepointInvalid), 1u);
  EXPECT_EQ(out8[0], '?');
  u16 out16[2];
  EXPECT_EQ(encode_utf16_char(out16, 0x10FFFF), 2u);
  EXPECT_EQ(out16[0], 0xDBFF);
  EXPECT_EQ(out16[1], 0xDFFF);
  EXPECT_EQ(encode_utf16_char(out16, CodepointInvalid), 1u);
  EXPECT_EQ(out16[0], '?');
  // beyond U+10FFFF there is no surrogate pair
  EXPECT_EQ(encode_utf16_char(out16, 0x1FFFFF), 1u);
  EXPECT_EQ(out16[0], '?');
}

// A console line shows a name as one line: control bytes and bytes outside well-formed UTF-8
// are spelled out, valid text of any length is kept, and the arena keeps only what was written.
TEST_F(StringTest, EscapeLineKeepsTextAndSpellsOutTheRest) {
  auto escaped = [&](std::string bytes) { return to_std(str8_escape_line(arena, str8(bytes.data(), bytes.size()))); };
  // control bytes, the zero byte included; a backslash and plain text stay
  EXPECT_EQ(escaped("a\n[Vantor] drained\r\t\x1F\x7F~ \\x"),
            "a\\x0A[Vantor] drained\\x0D\\x09\\x1F\\x7F~ \\x");
  EXPECT_EQ(escaped(std::string("\0z", 2)), "\\x00z");
  // well-formed sequences of two, three and four bytes, the edges of each range included
  std::string valid = "\xC2\x80\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
                      "\xF0\x90\x80\x80\xF0\x9D\x84\x9E\xF4\x8F\xBF\xBF";
  EXPECT_EQ(escaped(valid), valid);
  // overlong forms, surrogates, beyond U+10FFFF, leads that never start a sequence, a stray
  // continuation byte, and sequences cut short (by another byte, and by the end)
  EXPECT_EQ(escaped("\xC0\x80|\xC1\xBF|\xE0\x9F\xBF|\xF0\x8F\xBF\xBF"),
            "\\xC0\\x80|\\xC1\\xBF|\\xE0\\x9F\\xBF|\\xF0\\x8F\\xBF\\xBF");
  EXPECT_EQ(escaped("\xED\xA0\x80|\xED\xBF\xBF"), "\\xED\\xA0\\x80|\\xED\\xBF\\xBF");
  EXPECT_EQ(escaped("\xF4\x90\x80\x80|\xF5\x80\x80\x80|\xFF"), "\\xF4\\x90\\x80\\x80|\\xF5\\x80\\x80\\x80|\\xFF");
  EXPECT_EQ(escaped("a\x80" "b\xE2\x82" "c\xE2\x82\xAC"), "a\\x80b\\xE2\\x82c\xE2\x82\xAC");
  EXPECT_EQ(escaped("name.png\xF0\x9D\x84"), "name.png\\xF0\\x9D\\x84");

  // escaping an escaped text changes nothing; the result ends in a zero byte, and the arena
  // keeps nothing past it
  std::string once = escaped("a\nb\xFF\xC3\xA9");
  EXPECT_EQ(once, "a\\x0Ab\\xFF\xC3\xA9");
  EXPECT_EQ(escaped(once), once);
  u64 before = align_up(arena_offset(arena), 8);
  Str8 e = str8_escape_line(arena, lit("\x01\xC3\xA9"));
  EXPECT_EQ(to_std(e), "\\x01\xC3\xA9");
  EXPECT_EQ(e.str[e.size], 0);
  EXPECT_EQ(arena_offset(arena), before + e.size + 1);
  Str8 none = str8_escape_line(arena, Str8{});
  EXPECT_EQ(none.size, 0u);
  EXPECT_EQ(none.str[0], 0);
}

// The converters keep exactly what they wrote plus the terminator, so a following allocation
// lands right behind the text.
TEST_F(StringTest, ConvertersRoundTripAndTrimTheArena) {
  struct Case {
    std::u16string wide;
    std::string utf8;
  };
  const Case cases[] = {
      {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"}, // U+1F600
      {u"\xD840\xDC00", "\xF0\xA0\x80\x80"}, // U+20000
      {u"a\x00E9\x20AC", "a\xC3\xA9\xE2\x82\xAC"},
      {u"", ""},
  };
  for (const Case &c : cases) {
    Str16 w = str16((const u16 *)c.wide.data(), c.wide.size());
    u64 before = align_up(arena_offset(arena), 8);
    Str8 u = str8_from_str16(arena, w);
    EXPECT_EQ(to_std(u), c.utf8);
    EXPECT_EQ(u.str[u.size], 0);
    EXPECT_EQ(arena_offset(arena), before + u.size + 1);

    before = align_up(arena_offset(arena), 8);
    Str16 back = str16_from_str8(arena, u);
    ASSERT_EQ(back.size, w.size);
    EXPECT_EQ(memcmp(back.str, w.str, w.size * 2), 0);
    EXPECT_EQ(back.str[back.size], 0);
    EXPECT_EQ(arena_offset(arena), before + (back.size + 1) * 2);
  }

  // a lone low surrogate travels as a three-byte sequence and back
  const u16 lone[] = {0xDC00};
  Str8 l8 = str8_from_str16(arena, str16(lone, 1));
  EXPECT_EQ(to_std(l8), "\xED\xB0\x80");
  Str16 l16 = str16_from_str8(arena, l8);
  ASSERT_EQ(l16.size, 1u);
  EXPECT_EQ(l16.str[0], 0xDC00);

  // undecodable bytes become one '?' each, and the arena keeps only what was written
  u64 before = align_up(arena_offset(arena), 8);
  Str16 bad = str16_from_str8(arena, lit("\xC3\x28"));
  ASSERT_EQ(bad.size, 2u);
  EXPECT_EQ(bad.str[0], '?');
  EXPECT_EQ(bad.str[1], '(');
  EXPECT_EQ(arena_offset(arena), before + 6);
  Str16 beyond = str16_from_str8(arena, lit("\xF7\xBF\xBF\xBFz"));
  ASSERT_EQ(beyond.size, 2u);
  EXPECT_EQ(beyond.str[0], '?');
  EXPECT_EQ(beyond.str[1], 'z');
  Str16 cut = str16_from_str8(arena, lit("ab\xF0\x9F"));
  ASSERT_EQ(cut.size, 4u);
  EXPECT_EQ(cut.str[2], '?');
  EXPECT_EQ(cut.str[3], '?');
}

TEST_F(StringTest, PathStyleSplitAndDots) {
  SeparatorRule windows(true);
  EXPECT_EQ(path_style_of(lit("/srv")), PathUnixAbsolute);
  EXPECT_EQ(path_style_of(lit("C:")), PathWindowsAbsolute);
  EXPECT_EQ(path_style_of(lit("c:\\x")), PathWindowsAbsolute);
  EXPECT_EQ(path_style_of(lit("C:x")), PathRelative);
  EXPECT_EQ(path_style_of(lit("1:/x")), PathRelative);
  EXPECT_EQ(path_style_of(lit("")), PathRelative);
  EXPECT_EQ(path_style_of(lit("in/x")), PathRelative);

  EXPECT_EQ(joined(path_split(arena, lit("\\a//b\\c/"))), "a|b|c");

  Arena *scratch = thread_scratch_arena(nullptr, 0);
  u64 scratch_before = arena_offset(scratch);

  // removing the very first component, then everything, keeps the list consistent
  Str8List l = path_split(arena, lit("a/../b/c/./../.."));
  path_resolve_dots(&l, PathUnixAbsolute);
  EXPECT_EQ(l.node_count, 0u);
  EXPECT_EQ(l.first, nullptr);
  expect_well_formed(l);

  l = path_split(arena, lit("../x/y/../../../z/w/.."));
  path_resolve_dots(&l, PathRelative);
  EXPECT_EQ(joined(l), "..|..|z");
  expect_well_formed(l);

  l = path_split(arena, lit("C:/a/b/../../../x"));
  path_resolve_dots(&l, PathWindowsAbsolute);
  EXPECT_EQ(joined(l), "C:|..|x");
  expect_well_formed(l);

  // the drive is never removed, even when it reads like a dot component
  l = path_split(arena, lit("../a/.."));
  path_resolve_dots(&l, PathWindowsAbsolute);
  EXPECT_EQ(joined(l), "..");
  expect_well_formed(l);

  EXPECT_EQ(arena_offset(scratch), scratch_before);

  EXPECT_EQ(to_std(path_join(arena, &l, PathUnixAbsolute)), "/..");
  Str8List empty = {};
  EXPECT_EQ(to_std(path_join(arena, &empty, PathUnixAbsolute)), "/");
  EXPECT_EQ(path_join(arena, &empty, PathRelative).size, 0u);
}

TEST_F(StringTest, PathNormalize) {
  Arena *scratch = thread_scratch_arena(nullptr, 0);
  u64 scratch_before = arena_offset(scratch);
  struct Case {
    const char *in;
    const char *out;
  };
  const Case cases[] = {
      {"C:\\data\\in\\", "C:/data/in"},
      {"/srv/a/./b/../c", "/srv/a/c"},
      {"C:", "C:"},
      {"", ""},
      {"C:/a/b/..", "C:/a"},
      {"/..", "/.."},
      {"C:/../x", "C:/../x"},
      {"/", "/"},
      {"//srv\\\\x/", "/srv/x"},
      {"/a/b/../..", "/"},
  };
  for (const Case &c : cases) {
    SeparatorRule windows(true);
    Str8 r = path_normalize(arena, lit(c.in));
    EXPECT_EQ(to_std(r), c.out) << "input " << c.in;
    EXPECT_EQ(r.str[r.size], 0);
  }
  EXPECT_EQ(arena_offset(scratch), scratch_before);

  // relative paths hang off the current folder
  Str8 cwd = current_directory(arena);
  ASSERT_GT(cwd.size, 0u);
  // rooted: "/..." here, "C:\..." on Windows
  bool drive = cwd.size >= 3 && char_is_alpha(cwd.str[0]) && cwd.str[1] == ':' &&
               (cwd.str[2] == '\\' || cwd.str[2] == '/');
  ASSERT_TRUE(cwd.str[0] == '/' || drive) << to_std(cwd);
  Str8 cwd_norm = path_normalize(arena, cwd);
  std::string base = to_std(cwd_norm);
  std::string expect_in = base == "/" ? "/in" : base + "/in";
  EXPECT_EQ(to_std(path_normalize(arena, lit("in"))), expect_in);
  EXPECT_EQ(to_std(path_normalize(arena, lit("./x/../in/"))), expect_in);
  EXPECT_EQ(to_std(path_normalize(arena, lit("."))), base);
  if (base != "/") {
    Str8 parent = str8_parent_folder(cwd_norm);
    std::string expect_up = parent.size == 0 ? "/in" : to_std(parent) + "/in";
    SeparatorRule windows(true);
    EXPECT_EQ(to_std(path_normalize(arena, lit("..\\in"))), expect_up);
  }
  EXPECT_EQ(arena_offset(scratch), scratch_before);
}

// Where a backslash does not separate, it is a byte of a name like any other: nothing splits,
// folds or resolves at it.
TEST_F(StringTest, BackslashIsPartOfANameWhereItDoesNotSeparate) {
  SeparatorRule posix(false);
  EXPECT_FALSE(char_is_slash('\\'));
  EXPECT_EQ(char_fold_slash('\\'), '\\');
  EXPECT_EQ(to_std(str8_file_name(lit("/in/sub/back\\slash.png"))), "back\\slash.png");
  EXPECT_EQ(to_std(str8_parent_folder(lit("/in/we\\ird/x.png"))), "/in/we\\ird");
  EXPECT_EQ(to_std(str8_parent_folder(lit("back\\slash.png"))), "back\\slash.png");
  EXPECT_FALSE(str8_equals(lit("a\\b"), lit("a/b"), MatchAnySlash));
  EXPECT_EQ(joined(path_split(arena, lit("\\a//b\\c/"))), "\\a|b\\c");
  EXPECT_EQ(path_style_of(lit("c:\\x")), PathRelative);
  EXPECT_EQ(to_std(path_normalize(arena, lit("/srv/a\\b/../c\\..\\d/"))), "/srv/c\\..\\d");
}

TEST_F(StringTest, RingWrapsAround) {
  u8 ring[8];
  memset(ring, '.', sizeof ring);
  const char *src = "0123456789";
  EXPECT_EQ(byte_ring_write(ring, 8, 6, src, 10), 8u);
  EXPECT_EQ(std::string((const char *)ring, 8), "23456701");
  char back[8] = {};
  EXPECT_EQ(byte_ring_read(ring, 8, 6, back, 10), 8u);
  EXPECT_EQ(std::string(back, 8), "01234567");

  // positions are taken modulo the size; a short write touches only its bytes
  memset(ring, '.', sizeof ring);
  EXPECT_EQ(byte_ring_write(ring, 8, 8 * 5 + 7, "ab", 2), 2u);
  EXPECT_EQ(std::string((const char *)ring, 8), "b......a");
  char two[2] = {};
  EXPECT_EQ(byte_ring_read(ring, 8, 15, two, 2), 2u);
  EXPECT_EQ(std::string(two, 2), "ab");
  EXPECT_EQ(byte_ring_write(ring, 8, 3, "xyz", 0), 0u);
  EXPECT_EQ(std::string((const char *)ring, 8), "b......a");
  EXPECT_EQ(byte_ring_write(ring, 0, 3, "xyz", 3), 0u);
  EXPECT_EQ(byte_ring_read(ring, 0, 3, two, 2), 0u);
}

} // namespace
