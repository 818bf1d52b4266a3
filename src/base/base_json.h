// JSON lines: one object a line, for the log that collectors read. Text is escaped as RFC 8259
// asks, and bytes that are not well-formed UTF-8 become U+FFFD, so a line is always valid JSON
// whatever a file's name holds. No shared state: any thread may build lines at once.
#pragma once

#include "base/base_string.h"

//~ Escaping and times
// The bytes as a JSON string, quotes included: '"' and '\' escaped, control bytes (0x00-0x1F,
// 0x7F) as \u00XX, and each byte that does not start a well-formed UTF-8 sequence as \ufffd.
Str8 json_string(Arena *arena, Str8 s);
// RFC 3339 in UTC with milliseconds: "2026-12-11T03:50:01.123Z", from microseconds since 1970.
Str8 json_time(Arena *arena, u64 wall_us);

//~ Lines
// A line is built in pieces in its arena, then joined with its newline by json_line_end. Keys
// are the program's own words (never escaped); a value inside an array takes a null key.
constexpr u32 JsonDepthMax = 8;

struct JsonLine {
  Arena *arena;
  Str8List pieces;
  u32 depth;
  bool filled[JsonDepthMax]; // the object or array open at each depth has a member already
  bool array[JsonDepthMax];  // it is an array: closed with ']'
};

// Opens the object with its first three members: "time", "level" and "event".
JsonLine json_line_begin(Arena *arena, u64 wall_us, const char *level, const char *event);
void json_add_string(JsonLine *line, const char *key, Str8 value);
void json_add_u64(JsonLine *line, const char *key, u64 value);
// Microseconds as seconds with three decimals ("2.045"), written without floating point.
void json_add_seconds(JsonLine *line, const char *key, u64 us);
void json_open_object(JsonLine *line, const char *key);
void json_open_array(JsonLine *line, const char *key);
void json_close(JsonLine *line); // the innermost object or array
// Closes what is still open, and the line: the text ends with "\n".
Str8 json_line_end(JsonLine *line);
