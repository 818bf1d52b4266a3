// The JSON log's writer: strings escaped so that any file name gives valid JSON, UTC times,
// and lines that a strict reader takes back.
#include <gtest/gtest.h>

#include <string>

#include "base/base.h"
#include "test_json.h"
#include "test_text.h"

namespace {

struct ArenaScope {
  Arena *arena = arena_create(mib(1), kib(64));
  ~ArenaScope() { arena_destroy(arena); }
};

} // namespace

// A quote, a backslash, control bytes and bytes that are not well-formed UTF-8 (a stray
// continuation, an overlong form, a surrogate, a sequence cut short at the end); well-formed
// UTF-8 of two to four bytes stays as it is.
TEST(BaseJson, StringsAreEscapedIntoValidJsonWhateverTheBytes) {
  ArenaScope scope;
  std::string name = "say \"hi\"\\ to\x01\n\t\x1f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \x80|\xc0\xaf|\xed\xa0\x80|\xe2\x82";
  Str8 json = json_string(scope.arena, str8(name.data(), name.size()));
  EXPECT_EQ(text_of(json), "\"say \\\"hi\\\"\\\\ to\\u0001\\u000a\\u0009\\u001f\\u007f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 "
                           "\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\"");
  Json back = read_json(text_of(json));
  ASSERT_TRUE(back.ok) << text_of(json);
  EXPECT_EQ(back.text, "say \"hi\"\\ to\x01\n\t\x1f\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \xef\xbf\xbd|\xef\xbf\xbd"
                       "\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(text_of(json_string(scope.arena, Str8{})), "\"\"");
  // a zero byte inside a name is a control byte like the others
  EXPECT_EQ(text_of(json_string(scope.arena, str8("a\0b", 3))), "\"a\\u0000b\"");
}

TEST(BaseJson, TimesAreUtcWithMillisecondsAndLinesReadBack) {
  ArenaScope scope;
  EXPECT_EQ(text_of(json_time(scope.arena, 0)), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(text_of(json_time(scope.arena, 951782400123456ull)), "2000-02-29T00:00:00.123Z");
  EXPECT_EQ(text_of(json_time(scope.arena, 4102444799999000ull)), "2099-12-31T23:59:59.999Z");

  JsonLine line = json_line_begin(scope.arena, 1796961001123000ull, "info", "converted");
  json_add_string(&line, "source", str8_lit("cam\n1/a.png"));
  json_add_seconds(&line, "seconds", 2045499);
  json_open_array(&line, "outputs");
  for (u64 bytes : {518ull, 0ull}) {
    json_open_object(&line, nullptr);
    json_add_string(&line, "name", str8_lit("1.png"));
    json_add_u64(&line, "bytes", bytes);
    json_close(&line);
  }
  json_close(&line);
  json_open_array(&line, "none");
  json_close(&line);
  json_add_seconds(&line, "short", 999);
  Str8 text = json_line_end(&line);
  EXPECT_EQ(text_of(text), "{\"time\":\"2026-12-11T03:50:01.123Z\",\"level\":\"info\",\"event\":\"converted\","
                           "\"source\":\"cam\\u000a1/a.png\",\"seconds\":2.045,\"outputs\":[{\"name\":\"1.png\","
                           "\"bytes\":518},{\"name\":\"1.png\",\"bytes\":0}],\"none\":[],\"short\":0.001}\n");
  Json back = read_json(text_of(text));
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(back["source"].text, "cam\n1/a.png");
  EXPECT_EQ(back["outputs"][0]["bytes"].number, 518);
  EXPECT_EQ(back["seconds"].text, "2.045");
  // what is left open is closed by the end of the line
  JsonLine open = json_line_begin(scope.arena, 0, "note", "note");
  json_open_array(&open, "outputs");
  json_open_object(&open, nullptr);
  EXPECT_TRUE(read_json(text_of(json_line_end(&open))).ok);
}
