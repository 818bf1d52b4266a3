// Command-line parsing: arguments, keys, pending values, lookups, the Windows splitting; and the process entry body as
// seen from outside through the test helper.
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "os/os.h"
#include "test_process.h"
#include "test_text.h"

namespace {

struct ArgsFixture : testing::Test {
  Arena *arena = nullptr;
  void SetUp() override { arena = arena_create(mib(4), kib(64)); }
  void TearDown() override { arena_destroy(arena); }

  ArgTable *parse(std::initializer_list<const char *> args) {
    char *argv[32];
    int argc = 0;
    for (const char *a : args) {
      argv[argc++] = (char *)a;
    }
    return arg_table_parse(arena, arg_list_from_argv(arena, argc, argv));
  }
};


// Entries over all buckets.
int entry_count(ArgTable *table) {
  int n = 0;
  for (u64 b = 0; b < table->bucket_count; b += 1) {
    for (ArgEntry *e = table->buckets[b].first; e; e = e->next) {
      n += 1;
    }
  }
  return n;
}

ArgEntry *find_entry(ArgTable *table, const std::string &key) {
  for (u64 b = 0; b < table->bucket_count; b += 1) {
    for (ArgEntry *e = table->buckets[b].first; e; e = e->next) {
      if (text_of(e->key) == key) {
        return e;
      }
    }
  }
  return nullptr;
}

using ArgTableTest = ArgsFixture;

TEST_F(ArgTableTest, SeparatorsAndDashes) {
  for (const char *a : {"-in=D:/pics", "--in=D:/pics", "in=D:/pics", "-in:D:/pics", "--in:D:/pics"}) {
    ArgTable *t = parse({a});
    EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "D:/pics") << a;
    EXPECT_EQ(entry_count(t), 1) << a;
  }
  // of three dashes one stays in the key
  EXPECT_EQ(text_of(arg_value(parse({"---x=1"}), str8_lit("-x"))), "1");
  // the first separator splits; ":" before "=" wins even when it is part of a drive
  EXPECT_EQ(text_of(arg_value(parse({"-in=E:/a=b"}), str8_lit("in"))), "E:/a=b");
  EXPECT_EQ(text_of(arg_value(parse({"-in=E:x"}), str8_lit("in"))), "E:x");
  ArgTable *drive = parse({"E:/x=1"});
  EXPECT_EQ(text_of(arg_value(drive, str8_lit("E"))), "/x=1");
  EXPECT_EQ(find_entry(drive, "E:/x"), nullptr);
  // a program path is tokenised like any argument
  EXPECT_EQ(text_of(arg_value(parse({"E:\\tools\\conv.exe"}), str8_lit("E"))), "\\tools\\conv.exe");
  // a slash is no option marker
  ArgTable *slash = parse({"/help"});
  EXPECT_FALSE(arg_flag(slash, str8_lit("help")));
  EXPECT_NE(find_entry(slash, "/help"), nullptr);
}

TEST_F(ArgTableTest, PendingValues) {
  // no separator: the next token is an entry of its own
  ArgTable *t = parse({"-in", "D:/pics"});
  EXPECT_TRUE(arg_flag(t, str8_lit("in")));
  EXPECT_EQ(arg_value(t, str8_lit("in")).size, 0u);
  EXPECT_EQ(text_of(arg_value(t, str8_lit("D"))), "/pics");

  // an empty inline value takes the next token whole, dashes and all
  t = parse({"-in=", "D:/pics"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "D:/pics");
  EXPECT_EQ(entry_count(t), 1);
  t = parse({"-in=", "-out=x"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "-out=x");
  EXPECT_FALSE(arg_flag(t, str8_lit("out")));

  // an inline value stays whole; continued tokens split at commas
  t = parse({"-k=a,", "b,c"});
  ArgEntry *k = find_entry(t, "k");
  ASSERT_NE(k, nullptr);
  ASSERT_EQ(k->values.node_count, 3u);
  EXPECT_EQ(text_of(k->values.first->string), "a,");
  EXPECT_EQ(text_of(k->values.first->next->string), "b");
  EXPECT_EQ(text_of(k->values.last->string), "c");
  EXPECT_EQ(text_of(k->value), "a,,b,c");
  t = parse({"-k=a,b"});
  EXPECT_EQ(find_entry(t, "k")->values.node_count, 1u);
  EXPECT_EQ(text_of(arg_value(t, str8_lit("k"))), "a,b");

  // a continued token that ends with a comma keeps the entry pending; empty pieces count
  t = parse({"-k=", "a,,", "b", "c"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("k"))), "a,,b");
  EXPECT_NE(find_entry(t, "c"), nullptr);
  // an empty token ends the pending value
  t = parse({"-in=", "", "x"});
  EXPECT_EQ(arg_value(t, str8_lit("in")).size, 0u);
  EXPECT_NE(find_entry(t, "x"), nullptr);
}

TEST_F(ArgTableTest, EveryArgumentIsOneToken) {
  // spaces and quotes inside an argument are part of its value
  ArgTable *t = parse({"-in=C:/My Pics", "-out=a \"b\" c"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "C:/My Pics");
  EXPECT_EQ(text_of(arg_value(t, str8_lit("out"))), "a \"b\" c");
  EXPECT_EQ(entry_count(t), 2);
  t = parse({"-in=", "C:/My   Pics", "-k=", "a b,", "c d"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "C:/My   Pics");
  EXPECT_EQ(text_of(arg_value(t, str8_lit("k"))), "a b,c d");
  EXPECT_EQ(entry_count(t), 2);
  t = parse({"a\"b", "x y"});
  EXPECT_NE(find_entry(t, "a\"b"), nullptr);
  EXPECT_NE(find_entry(t, "x y"), nullptr);
  EXPECT_EQ(entry_count(t), 2);

  // a program path with spaces is one entry, and the first argument is one key
  t = parse({"C:\\Program Files\\conv.exe", "-in=x"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("C"))), "\\Program Files\\conv.exe");
  EXPECT_EQ(t->program_key_count, 1u);
  EXPECT_EQ(t->keys.node_count, 2u);

  // an empty argument gives an empty key
  t = parse({""});
  EXPECT_EQ(entry_count(t), 1);
  EXPECT_NE(find_entry(t, ""), nullptr);
  // whitespace at the ends of an argument is trimmed, inside it stays
  t = parse({" x", "a  ", "a\tb", "c\t", "d \t e"});
  for (const char *key : {"x", "a", "a\tb", "c", "d \t e"}) EXPECT_NE(find_entry(t, key), nullptr) << key;
  EXPECT_EQ(entry_count(t), 5);
}

// The Windows command line: blanks separate, quotes group, backslashes escape only quotes.
TEST_F(ArgTableTest, CommandLineIsSplitAsWindowsSplitsIt) {
  struct Case {
    const char *line;
    std::vector<std::string> args;
  } cases[] = {
      {"vantor.exe -in=\"C:\\Users\\me\\My Pictures\" -thread=2",
       {"vantor.exe", "-in=C:\\Users\\me\\My Pictures", "-thread=2"}},
      // the program's path: quoted up to the next quote, no escapes in it
      {"\"C:\\Program Files\\v.exe\" -help", {"C:\\Program Files\\v.exe", "-help"}},
      {"\"C:\\dir\\\" x", {"C:\\dir\\", "x"}},
      {"C:\\a\\\"b c", {"C:\\a\\\"b", "c"}},
      // backslashes: literal unless before a quote; 2n + quote toggles, 2n + 1 + quote is a quote
      {"p a\\\\b \\\\server\\share\\", {"p", "a\\\\b", "\\\\server\\share\\"}},
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},
      {"p a\\\\\\\\\"b c\"", {"p", "a\\\\b c"}},
      {"p a\\\"b \\\\\\\"c\\\\\\\"", {"p", "a\"b", "\\\"c\\\""}},
      // quotes: "" inside quotes is a quote and quoting goes on; an unclosed quote runs to the end
      {"p \"a\"\"b c\" \"\"\"\" x\"y z\"w", {"p", "a\"b c", "\"", "xy zw"}},
      {"p \"\" x \"\"", {"p", "", "x", ""}},
      {"p \"a  b", {"p", "a  b"}},
      // blanks: spaces and tabs, in runs; none at the ends makes no argument
      {"p \t a\t\tb  \"c\td\"  ", {"p", "a", "b", "c\td"}},
      {"p", {"p"}},
      // UTF-8 passes through untouched
      {"p -in=\"D:\\Fotos \xC3\xA9t\xC3\xA9\"", {"p", "-in=D:\\Fotos \xC3\xA9t\xC3\xA9"}},
  };
  for (const Case &c : cases) {
    Str8List list = arg_list_from_command_line(arena, str8_cstring(c.line));
    std::vector<std::string> got;
    for (Str8Node *n = list.first; n; n = n->next) {
      got.push_back(text_of(n->string));
      EXPECT_EQ(n->string.str[n->string.size], 0) << c.line;
    }
    EXPECT_EQ(got, c.args) << c.line;
  }

  // every option form reads the split arguments as it reads argv
  Str8List list = arg_list_from_command_line(
      arena, str8_lit("v.exe -in=\"C:\\My Pictures\" --out=D:\\out metadatas:\"E:\\meta data\" -k= \"a b,\" c"));
  ArgTable *t = arg_table_parse(arena, list);
  EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "C:\\My Pictures");
  EXPECT_EQ(text_of(arg_value(t, str8_lit("out"))), "D:\\out");
  EXPECT_EQ(text_of(arg_value(t, str8_lit("metadatas"))), "E:\\meta data");
  EXPECT_EQ(text_of(arg_value(t, str8_lit("k"))), "a b,c");
  EXPECT_EQ(entry_count(t), 5);
}

TEST_F(ArgTableTest, LookupsAndBuckets) {
  ArgTable *t = parse({"-in=A", "-in=B", "-IN=x", "--QuIeT"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "A");
  EXPECT_EQ(text_of(arg_value(t, str8_lit("IN"))), "x");
  EXPECT_TRUE(arg_flag(t, str8_lit("QuIeT")));
  EXPECT_FALSE(arg_flag(t, str8_lit("quiet")));
  EXPECT_EQ(arg_value(t, str8_lit("missing")).size, 0u);

  // both "in" entries chain in one bucket, in order
  ASSERT_EQ(t->bucket_count, 64u);
  ArgBucket *bucket = &t->buckets[str8_hash(str8_lit("in")) % 64];
  ASSERT_NE(bucket->first, nullptr);
  EXPECT_EQ(text_of(bucket->first->value), "A");
  ArgEntry *second = bucket->first->next;
  while (second && text_of(second->key) != "in") {
    second = second->next;
  }
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(text_of(second->value), "B");
  EXPECT_EQ(bucket->last->next, nullptr);
}

TEST_F(ArgTableTest, FlagsAndNumbers) {
  EXPECT_TRUE(arg_flag(parse({"-help"}), str8_lit("help")));
  EXPECT_TRUE(arg_flag(parse({"-help=TRUE"}), str8_lit("help")));
  EXPECT_TRUE(arg_flag(parse({"-help=1"}), str8_lit("help")));
  EXPECT_FALSE(arg_flag(parse({"-help=yes"}), str8_lit("help")));
  EXPECT_FALSE(arg_flag(parse({"-help=0"}), str8_lit("help")));
  EXPECT_FALSE(arg_flag(parse({"-other"}), str8_lit("help")));

  EXPECT_EQ(arg_u64(parse({"-thread=12"}), str8_lit("thread")), 12u);
  EXPECT_EQ(arg_u64(parse({"-thread="}), str8_lit("thread")), 0u);
  EXPECT_EQ(arg_u64(parse({"-other=3"}), str8_lit("thread")), 0u);
  EXPECT_EQ(arg_u64(parse({"-thread=x"}), str8_lit("thread")), 8u);
}

// The main thread's name, which each system's own tests check, comes first.
TEST(ProcessEntry, ParsesTheArgumentsItIsStartedWith) {
  Program helper({"entry", "-in=D:/My Pics", "--thread=12", "-help"}, VANTOR_TEST_HELPER_BIN);
  ASSERT_TRUE(helper.wait_for_exit());
  EXPECT_EQ(helper.exit_code, 0);
  size_t parsed = helper.out.find(" in=");
  ASSERT_NE(parsed, std::string::npos) << helper.out;
  EXPECT_EQ(helper.out.substr(parsed), " in=D:/My Pics thread=12 help=1\n");
}

} // namespace
