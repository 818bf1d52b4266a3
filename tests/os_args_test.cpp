// Command-line parsing: tokens, keys, pending values, lookups; and the process entry body as
// seen from outside through the test helper.
#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>

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

TEST_F(ArgTableTest, Tokens) {
  // an inner space cuts, the second piece continues a pending value or starts an entry
  ArgTable *t = parse({"-in=C:/My Pics"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "C:/My");
  EXPECT_NE(find_entry(t, "Pics"), nullptr);
  t = parse({"-in=", "C:/My   Pics"});
  EXPECT_EQ(text_of(arg_value(t, str8_lit("in"))), "C:/My");
  EXPECT_NE(find_entry(t, "Pics"), nullptr);
  EXPECT_EQ(entry_count(t), 2);

  // empty argument, trailing quote and leading space give empty keys
  t = parse({""});
  EXPECT_EQ(entry_count(t), 1);
  EXPECT_NE(find_entry(t, ""), nullptr);
  t = parse({"x\""});
  EXPECT_EQ(entry_count(t), 2);
  EXPECT_NE(find_entry(t, ""), nullptr);
  t = parse({" x"});
  EXPECT_EQ(entry_count(t), 2);
  EXPECT_NE(find_entry(t, "x"), nullptr);

  // trailing spaces give no final empty token; a quote inside cuts without a space
  t = parse({"a  "});
  EXPECT_EQ(entry_count(t), 1);
  t = parse({"a\"b"});
  EXPECT_NE(find_entry(t, "a"), nullptr);
  EXPECT_NE(find_entry(t, "b"), nullptr);
  EXPECT_EQ(entry_count(t), 2);

  // other whitespace does not cut, but is trimmed at the ends of a token
  t = parse({"a\tb", "c\t"});
  EXPECT_NE(find_entry(t, "a\tb"), nullptr);
  EXPECT_NE(find_entry(t, "c"), nullptr);
  EXPECT_EQ(entry_count(t), 2);
  // whitespace after a space is skipped
  t = parse({"a \t b"});
  EXPECT_NE(find_entry(t, "b"), nullptr);
  EXPECT_EQ(entry_count(t), 2);
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

TEST(ProcessEntry, NamesMainThreadAndParsesArguments) {
  // The name is read back from the system inside the helper's main thread.
  Program helper({"entry", "-in=D:/pics", "--thread=12", "-help"}, VANTOR_TEST_HELPER_BIN);
  ASSERT_TRUE(helper.wait_for_exit());
  EXPECT_EQ(helper.exit_code, 0);
  std::string out = helper.out;
  EXPECT_EQ(out, "name=[main thread] in=D:/pics thread=12 help=1\n");
}

} // namespace
