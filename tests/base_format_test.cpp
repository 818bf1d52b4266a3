#include <gtest/gtest.h>

#include <string>

#include "base/base.h"

static std::string fmt(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char buffer[512];
  int n = fmt_vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return std::string(buffer, (size_t)n);
}

TEST(Format, ArenaFormatIsExactAndZeroTerminated) {
  Arena *a = arena_create(kib(64), kib(4));
  u64 before = arena_offset(a);
  Str8 s = arena_format(a, "%S/%S.metadatas", str8_lit("out"), str8_lit("a"));
  EXPECT_EQ(std::string((char *)s.str, s.size), "out/a.metadatas");
  EXPECT_EQ(s.size, 15u);
  EXPECT_EQ(s.str[15], 0);
  EXPECT_EQ(arena_offset(a), before + 16);

  Str8List list = {};
  str8_list_addf(a, &list, "%d-%d", 1, 2);
  str8_list_addf(a, &list, "%s", "x");
  EXPECT_EQ(list.node_count, 2u);
  EXPECT_EQ(list.total_size, 4u);
  EXPECT_EQ(std::string((char *)list.first->string.str), "1-2");
  arena_destroy(a);
}

TEST(Format, Str8Conversion) {
  EXPECT_EQ(fmt("[%S]", str8_lit("")), "[]");
  EXPECT_EQ(fmt("[%5S]", str8_lit("")), "[     ]");
  EXPECT_EQ(fmt("[%5S]", str8_lit("ab")), "[   ab]");
  EXPECT_EQ(fmt("[%-5S]", str8_lit("ab")), "[ab   ]");
  EXPECT_EQ(fmt("[%*S]", 4, str8_lit("ab")), "[  ab]");
  EXPECT_EQ(fmt("[%.1S]", str8_lit("abc")), "[abc]"); // precision ignored
  // Embedded zero bytes: %S prints them all, %.*s stops at the first.
  const char with_zero[] = {'a', 0, 'b'};
  std::string s = fmt("%S|", str8(with_zero, 3));
  EXPECT_EQ(s, std::string("a\0b|", 4));
  EXPECT_EQ(fmt("%.*s|", 3, with_zero), "a|");
}

TEST(Format, StandardConversions) {
  EXPECT_EQ(fmt("%.*s", 3, "abcdef"), "abc");
  EXPECT_EQ(fmt("%s", (const char *)nullptr), "null");
  EXPECT_EQ(fmt("%d %d %u %x", -5, 42, 4000000000u, 255u), "-5 42 4000000000 ff");
  EXPECT_EQ(fmt("%I64u", ~0ull), "18446744073709551615");
  EXPECT_EQ(fmt("%I64x", 0xDEADBEEFCAFEull), "deadbeefcafe");
  EXPECT_EQ(fmt("%llu %zu", 1ull << 40, (size_t)7), "1099511627776 7");
  EXPECT_EQ(fmt("%f", 0.5), "0.500000");
  EXPECT_EQ(fmt("%f", 16383.5), "16383.500000");
  EXPECT_EQ(fmt("%.2f|%5.1f", 3.14159, 2.26), "3.14|  2.3");
  EXPECT_EQ(fmt("%05d|%-4d|%+d", 42, 7, 3), "00042|7   |+3");
  EXPECT_EQ(fmt("100%% %c", 'x'), "100% x");
  EXPECT_EQ(fmt("%q%d", 5), "q5"); // unknown conversions print themselves, take no argument
  // "l" alone is 32 bits everywhere: the caller casts, and the engine reads 32 bits.
  EXPECT_EQ(fmt("%lu", (u32)4294967296ull), "0");
  EXPECT_EQ(fmt("%lu;%lu", (u32)(4294967296ull + 5), (u32)7), "5;7");
  EXPECT_EQ(fmt("%I32u|%hu", 9u, 3), "9|3");
}

TEST(Format, ChecksumExampleAndBoundedCut) {
  // The 16-byte digest cf4ab791c62b8d2b2109c90275287816 as two little-endian words.
  const u8 digest[16] = {0xcf, 0x4a, 0xb7, 0x91, 0xc6, 0x2b, 0x8d, 0x2b,
                         0x21, 0x09, 0xc9, 0x02, 0x75, 0x28, 0x78, 0x16};
  u64 lo, hi;
  memcpy(&lo, digest, 8);
  memcpy(&hi, digest + 8, 8);
  EXPECT_EQ(fmt("%lu%lu", (u32)lo, (u32)hi), "244470855946729505");

  char small[4];
  memset(small, 'z', sizeof(small));
  int n = fmt_snprintf(small, 4, "%s", "0123456789");
  EXPECT_EQ(n, 10);
  EXPECT_EQ(std::string(small), "012");
  memset(small, 'z', sizeof(small));
  n = fmt_snprintf(small, 4, "ab%Scd", str8_lit("XYZ"));
  EXPECT_EQ(n, 7);
  EXPECT_EQ(std::string(small), "abX");
  EXPECT_EQ(fmt_snprintf(nullptr, 0, "%d%S", 123, str8_lit("45")), 5);
}
