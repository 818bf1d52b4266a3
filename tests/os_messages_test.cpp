// The message list of one conversion and its report on standard output, and what libraries
// print on standard error meanwhile.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "os/os.h"
#include "test_text.h"

namespace {


struct MessagesTest : testing::Test {
  Arena *arena = nullptr;
  void SetUp() override { arena = arena_create(mib(1), kib(64)); }
  void TearDown() override { arena_destroy(arena); }
};

TEST_F(MessagesTest, AddKeepsOrderCountAndWorst) {
  MessageList list = {};
  EXPECT_EQ(list.worst, 0);
  message_add(arena, &list, 3, str8_lit("Unable to load the image."));
  message_add(arena, &list, 1, str8_lit("a note"));
  message_add(arena, &list, 2, str8_lit("a warning"));
  EXPECT_EQ(list.count, 3u);
  EXPECT_EQ(list.worst, 3);
  ASSERT_NE(list.first, nullptr);
  EXPECT_EQ(text_of(list.first->text), "Unable to load the image.");
  EXPECT_EQ(text_of(list.first->next->text), "a note");
  EXPECT_EQ(list.last->level, 2);
  EXPECT_EQ(list.last->next, nullptr);

  EXPECT_EQ(text_of(message_label(1)), "");
  EXPECT_EQ(text_of(message_label(2)), "warning");
  EXPECT_EQ(text_of(message_label(3)), "error");
  EXPECT_EQ(text_of(message_label(4)), "fatal error");
  EXPECT_EQ(text_of(message_label(0)), "");
  EXPECT_EQ(text_of(message_label(5)), "");
}

TEST_F(MessagesTest, ReportPrintsLabelLineThenTextLine) {
  MessageList list = {};
  message_add(arena, &list, 3, str8_lit("Unable to load the image."));
  message_add(arena, &list, 1, str8_lit("Converted in 12 ms."));
  message_add(arena, &list, 2, str8_lit("w"));
  message_add(arena, &list, 4, str8_lit("f"));

  testing::internal::CaptureStdout();
  message_report(arena, &list, nullptr, 0);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "error:\nUnable to load the image.\n:\nConverted in 12 ms.\nwarning:\nw\nfatal error:\nf\n");

  // with an out list and print 1: both
  Str8List out = {};
  testing::internal::CaptureStdout();
  message_report(arena, &list, &out, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), printed);
  EXPECT_EQ(out.node_count, 8u);
}

TEST_F(MessagesTest, OutListWithoutPrinting) {
  MessageList list = {};
  message_add(arena, &list, 1, str8_lit("first"));
  message_add(arena, &list, 3, str8_lit("second"));

  Str8List out = {};
  str8_list_add(arena, &out, str8_lit("kept"));
  testing::internal::CaptureStdout();
  message_report(arena, &list, &out, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const char *expected[] = {"kept", "", "first", "error", "second"};
  ASSERT_EQ(out.node_count, 5u);
  u64 i = 0;
  for (Str8Node *n = out.first; n; n = n->next, i += 1) {
    EXPECT_EQ(text_of(n->string), expected[i]) << i;
  }

  // an empty list prints nothing and adds nothing
  MessageList empty = {};
  testing::internal::CaptureStdout();
  message_report(arena, &empty, &out, 1);
  message_report(arena, &empty, nullptr, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(out.node_count, 5u);
}

// A source's notes are shown under its name, escaped as one line; warnings and errors keep their
// labels, and the out list is the same as without a name.
TEST_F(MessagesTest, NamedReportShowsTheSourceNameAboveEachNote) {
  MessageList list = {};
  message_add(arena, &list, 1, str8_lit("Bitmap was 16bits/channel, we do not support it and convert it to 8bits/channel."));
  message_add(arena, &list, 2, str8_lit("w"));
  message_add(arena, &list, 1, str8_lit("Was unable to produce the file."));
  Str8 name = str8_lit("deep\n\xFF\xC3\xA9.png");

  Str8List named = {};
  testing::internal::CaptureStdout();
  message_report_named(arena, &list, &named, 1, name);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "deep\\x0A\\xFF\xC3\xA9.png:\nBitmap was 16bits/channel, we do not support it and convert it to 8bits/channel.\n"
            "warning:\nw\n"
            "deep\\x0A\\xFF\xC3\xA9.png:\nWas unable to produce the file.\n");
  Str8List plain = {};
  message_report(arena, &list, &plain, 0);
  EXPECT_EQ(text_of(str8_list_join(arena, &named, nullptr)), text_of(str8_list_join(arena, &plain, nullptr)));
  ASSERT_EQ(named.node_count, 6u);
  EXPECT_EQ(text_of(named.first->string), "");

  // quiet: the record only; no name: the empty label as ever
  testing::internal::CaptureStdout();
  message_report_named(arena, &list, &named, 0, name);
  message_report_named(arena, &list, nullptr, 1, Str8{});
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            ":\nBitmap was 16bits/channel, we do not support it and convert it to 8bits/channel.\nwarning:\nw\n"
            ":\nWas unable to produce the file.\n");
  EXPECT_EQ(named.node_count, 12u);
}

//~ Libraries' standard error
std::string own_of(const StderrCapture &c) { return std::string((const char *)c.own, c.own_size); }
std::string shared_of(const StderrCapture &c) { return std::string((const char *)c.shared, c.shared_size); }

// What is printed while one call is in flight is its own; while two are, both get it as shared.
// Calls on two threads at once never lose their own lines nor take the other's as their own. A
// flood far past the pipe's size never makes the writer wait: the call keeps its first bytes,
// nothing is left for the next call, and the stream carries no error afterwards.
TEST(LibraryStderr, PrintedTextGoesToTheCallsInFlight) {
  StderrCapture first, second;
  stderr_capture_begin(&first);
  ASSERT_TRUE(first.taken) << "standard error cannot be taken here";
  fputs("first alone\n", stderr);
  stderr_capture_begin(&second);
  fputs("both\n", stderr);
  stderr_capture_end(&first);
  fputs("second alone\n", stderr);
  stderr_capture_end(&second);
  EXPECT_EQ(own_of(first), "first alone\n");
  EXPECT_EQ(shared_of(first), "both\n");
  EXPECT_EQ(own_of(second), "second alone\n");
  EXPECT_EQ(shared_of(second), "both\n");

  auto calls = [](char who, std::string *failures) {
    for (int i = 0; i < 300; i += 1) {
      StderrCapture c;
      stderr_capture_begin(&c);
      std::string line = std::string(1, who) + std::to_string(i) + "\n";
      fputs(line.c_str(), stderr);
      stderr_capture_end(&c);
      std::string own = own_of(c), shared = shared_of(c);
      char other = who == 'a' ? 'b' : 'a';
      if (own.find(line) == std::string::npos && shared.find(line) == std::string::npos) *failures += "lost " + line;
      if (own.find(other) != std::string::npos) *failures += std::string(1, who) + " took as its own: " + own;
    }
  };
  std::string failures_a, failures_b;
  std::thread a(calls, 'a', &failures_a);
  std::thread b(calls, 'b', &failures_b);
  a.join();
  b.join();
  EXPECT_EQ(failures_a, "");
  EXPECT_EQ(failures_b, "");

  std::string row(999, 'x');
  row += "\n";
  StderrCapture flood;
  stderr_capture_begin(&flood);
  for (int i = 0; i < 1024; i += 1) fwrite(row.data(), 1, row.size(), stderr);
  stderr_capture_end(&flood);
  ASSERT_EQ(flood.own_size, StderrCaptureMax);
  EXPECT_EQ(own_of(flood), (row + row + row).substr(0, StderrCaptureMax));
  EXPECT_FALSE(ferror(stderr));
  StderrCapture after;
  stderr_capture_begin(&after);
  stderr_capture_end(&after);
  EXPECT_EQ(after.own_size + after.shared_size, 0u);
}

} // namespace
