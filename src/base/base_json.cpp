// JSON lines: escaping, times, and the line builder.
#include "base/base_json.h"
#include "base/base_format.h"

//~ Escaping and times
// The worst case is six bytes a byte (\u00XX and \ufffd), plus the quotes: taken, the tail given back.
Str8 json_string(Arena *arena, Str8 s) {
  static const char hex[] = "0123456789abcdef";
  u64 capacity = 6 * s.size + 2;
  u8 *out = (u8 *)arena_alloc(arena, capacity + 1, 8);
  u64 written = 0;
  out[written++] = '"';
  for (u64 i = 0; i < s.size;) {
    u8 c = s.str[i];
    if (c == '"' || c == '\\') {
      out[written++] = '\\';
      out[written++] = c;
      i += 1;
    } else if (c >= 0x20 && c < 0x7F) {
      out[written++] = c;
      i += 1;
    } else if (c >= 0x80 && utf8_sequence_size(s.str + i, s.size - i) > 0) {
      u32 keep = utf8_sequence_size(s.str + i, s.size - i);
      memcpy(out + written, s.str + i, keep);
      written += keep;
      i += keep;
    } else {
      const char *escaped = c >= 0x80 ? "\\ufffd" : nullptr;
      if (escaped) {
        memcpy(out + written, escaped, 6);
      } else {
        memcpy(out + written, "\\u00", 4);
        out[written + 4] = (u8)hex[c >> 4];
        out[written + 5] = (u8)hex[c & 15];
      }
      written += 6;
      i += 1;
    }
  }
  out[written++] = '"';
  out[written] = 0;
  arena_give_back(arena, capacity - written);
  return Str8{out, written};
}

// Days since 1970-01-01 to the civil date (proleptic Gregorian), in eras of 400 years.
Str8 json_time(Arena *arena, u64 wall_us) {
  u64 seconds = wall_us / 1000000;
  u64 ms = wall_us / 1000 % 1000;
  u64 day_seconds = seconds % 86400;
  i64 z = (i64)(seconds / 86400) + 719468;
  i64 era = z / 146097;
  u64 doe = (u64)(z - era * 146097);
  u64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  u64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  u64 mp = (5 * doy + 2) / 153;
  u64 day = doy - (153 * mp + 2) / 5 + 1;
  u64 month = mp < 10 ? mp + 3 : mp - 9;
  u64 year = (u64)((i64)yoe + era * 400) + (month <= 2 ? 1 : 0);
  auto n = [](u64 v) { return (unsigned long long)v; };
  return arena_format(arena, "%04llu-%02llu-%02lluT%02llu:%02llu:%02llu.%03lluZ", n(year), n(month), n(day),
                      n(day_seconds / 3600), n(day_seconds / 60 % 60), n(day_seconds % 60), n(ms));
}

//~ Lines
// The comma before a member and its key, when it has one.
static void json_member(JsonLine *line, const char *key) {
  if (line->depth > 0) {
    if (line->filled[line->depth - 1]) str8_list_add(line->arena, &line->pieces, str8_lit(","));
    line->filled[line->depth - 1] = true;
  }
  if (key) str8_list_addf(line->arena, &line->pieces, "\"%s\":", key);
}

// Nesting deeper than JsonDepthMax is the caller's mistake: the member is left out.
static void json_open(JsonLine *line, const char *key, bool array) {
  if (line->depth >= JsonDepthMax) return;
  json_member(line, key);
  str8_list_add(line->arena, &line->pieces, array ? str8_lit("[") : str8_lit("{"));
  line->filled[line->depth] = false;
  line->array[line->depth] = array;
  line->depth += 1;
}

JsonLine json_line_begin(Arena *arena, u64 wall_us, const char *level, const char *event) {
  JsonLine line = {};
  line.arena = arena;
  json_open(&line, nullptr, false);
  json_add_string(&line, "time", json_time(arena, wall_us));
  json_add_string(&line, "level", str8_cstring(level));
  json_add_string(&line, "event", str8_cstring(event));
  return line;
}

void json_add_string(JsonLine *line, const char *key, Str8 value) {
  json_member(line, key);
  str8_list_add(line->arena, &line->pieces, json_string(line->arena, value));
}

void json_add_u64(JsonLine *line, const char *key, u64 value) {
  json_member(line, key);
  str8_list_addf(line->arena, &line->pieces, "%llu", (unsigned long long)value);
}

void json_add_seconds(JsonLine *line, const char *key, u64 us) {
  json_member(line, key);
  u64 ms = (us + 500) / 1000;
  str8_list_addf(line->arena, &line->pieces, "%llu.%03llu", (unsigned long long)(ms / 1000),
                 (unsigned long long)(ms % 1000));
}

void json_open_object(JsonLine *line, const char *key) { json_open(line, key, false); }
void json_open_array(JsonLine *line, const char *key) { json_open(line, key, true); }

void json_close(JsonLine *line) {
  if (line->depth == 0) return;
  line->depth -= 1;
  str8_list_add(line->arena, &line->pieces, line->array[line->depth] ? str8_lit("]") : str8_lit("}"));
}

Str8 json_line_end(JsonLine *line) {
  while (line->depth > 0) json_close(line);
  str8_list_add(line->arena, &line->pieces, str8_lit("\n"));
  return str8_list_join(line->arena, &line->pieces, nullptr);
}
