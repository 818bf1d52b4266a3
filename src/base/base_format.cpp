// The formatting engine: our own walk over the format for %S, stb_sprintf for every other
// conversion, one conversion at a time with its argument fetched by type.
#include <stb_sprintf.h>

#include "base/base_format.h"

//~ Bounded formatting

// Output cursor over the caller's buffer: counts every byte, stores what fits before the
// final zero byte.
struct FormatOut {
  char *buffer;
  i64 capacity;
  i64 length;
};

static void format_out_bytes(FormatOut *out, const void *data, u64 size) {
  if (out->buffer) {
    i64 room = out->capacity - 1 - out->length;
    if (room > 0 && size > 0) memcpy(out->buffer + out->length, data, (u64)min_of<i64>(room, (i64)size));
  }
  out->length += (i64)size;
}

static void format_out_fill(FormatOut *out, char c, i64 count) {
  for (i64 i = 0; i < count; i += 1) format_out_bytes(out, &c, 1);
}

enum FormatArgKind {
  FormatArgNone,
  FormatArgInt32,
  FormatArgInt64,
  FormatArgDouble,
  FormatArgPointer,
  FormatArgCountOut,
};

// One conversion of stb_sprintf: the piece is measured first, then written in place when it
// fits, or cut through a bounded call when it does not.
template <typename T> static void format_out_piece(FormatOut *out, const char *spec_text, T value) {
  int n = stbsp_snprintf(nullptr, 0, spec_text, value);
  if (n <= 0) return;
  if (out->buffer) {
    i64 room = out->capacity - out->length; // includes the zero byte
    if (room > 1) {
      stbsp_snprintf(out->buffer + out->length, (int)min_of<i64>(room, 0x7FFFFFFF), spec_text, value);
    }
  }
  out->length += n;
}

int fmt_vsnprintf(char *buffer, int capacity, const char *format, va_list args) {
  FormatOut out = {buffer, capacity, 0};
  const char *f = format;
  while (*f) {
    if (*f != '%') {
      const char *run = f;
      while (*f && *f != '%') f += 1;
      format_out_bytes(&out, run, (u64)(f - run));
      continue;
    }
    const char *conversion_start = f;
    f += 1;

    //- flags
    char flags[16];
    int flag_count = 0;
    bool left = false;
    while (*f == '-' || *f == '+' || *f == ' ' || *f == '#' || *f == '0' || *f == '\'' || *f == '$' || *f == '_') {
      if (*f == '-') left = true;
      if (flag_count < 15) flags[flag_count++] = *f;
      f += 1;
    }
    flags[flag_count] = 0;

    //- width and precision
    int width = -1;
    if (*f == '*') {
      width = va_arg(args, int);
      if (width < 0) {
        left = true;
        if (flag_count < 15) flags[flag_count++] = '-', flags[flag_count] = 0;
        width = -width;
      }
      f += 1;
    } else if (*f >= '0' && *f <= '9') {
      width = 0;
      while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
    }
    int precision = -1;
    if (*f == '.') {
      f += 1;
      precision = 0;
      if (*f == '*') {
        precision = va_arg(args, int);
        f += 1;
      } else {
        while (*f >= '0' && *f <= '9') precision = precision * 10 + (*f++ - '0');
      }
    }

    //- length modifiers: only ll, I64, j, z and t select 64 bits
    bool wide = false;
    for (;;) {
      if (f[0] == 'h') {
        f += 1;
      } else if (f[0] == 'l') {
        if (f[1] == 'l') {
          wide = true;
          f += 2;
        } else {
          f += 1;
        }
      } else if (f[0] == 'I') {
        if (f[1] == '6' && f[2] == '4') {
          wide = true;
          f += 3;
        } else if (f[1] == '3' && f[2] == '2') {
          f += 3;
        } else {
          f += 1;
        }
      } else if (f[0] == 'j' || f[0] == 'z' || f[0] == 't') {
        wide = true;
        f += 1;
      } else {
        break;
      }
    }

    char conv = *f;
    if (conv == 0) {
      // A lone "%" at the end prints as itself.
      format_out_bytes(&out, conversion_start, (u64)(f - conversion_start));
      break;
    }
    f += 1;

    //- %S: a Str8 by value, every byte, padded to the width, precision ignored
    if (conv == 'S') {
      Str8 s = va_arg(args, Str8);
      u64 size = (u32)s.size;
      i64 pad = width > (i64)size ? width - (i64)size : 0;
      if (!left) format_out_fill(&out, ' ', pad);
      format_out_bytes(&out, s.str, size);
      if (left) format_out_fill(&out, ' ', pad);
      continue;
    }

    FormatArgKind kind = FormatArgNone;
    switch (conv) {
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'b': case 'B': case 'c':
        kind = (wide && conv != 'c') ? FormatArgInt64 : FormatArgInt32;
        break;
      case 'f': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        kind = FormatArgDouble;
        break;
      case 's': case 'p':
        kind = FormatArgPointer;
        break;
      case 'n':
        kind = FormatArgCountOut;
        break;
      default:
        kind = FormatArgNone;
        break;
    }
    if (kind == FormatArgNone) {
      // "%%" and unknown conversion characters print the character and take no argument.
      format_out_bytes(&out, &conv, 1);
      continue;
    }
    if (kind == FormatArgCountOut) {
      int *count_out = va_arg(args, int *);
      if (count_out) *count_out = (int)out.length;
      continue;
    }

    //- every other conversion: a canonical one-conversion format for stb_sprintf
    char piece[64];
    int p = 0;
    piece[p++] = '%';
    for (int i = 0; flags[i]; i += 1) piece[p++] = flags[i];
    if (width >= 0) p += stbsp_snprintf(piece + p, 16, "%d", width);
    if (precision >= 0) p += stbsp_snprintf(piece + p, 16, ".%d", precision);
    if (kind == FormatArgInt64) piece[p++] = 'l', piece[p++] = 'l';
    piece[p++] = conv;
    piece[p] = 0;
    switch (kind) {
      case FormatArgInt32: format_out_piece(&out, piece, va_arg(args, int)); break;
      case FormatArgInt64: format_out_piece(&out, piece, va_arg(args, long long)); break;
      case FormatArgDouble: format_out_piece(&out, piece, va_arg(args, double)); break;
      case FormatArgPointer: format_out_piece(&out, piece, va_arg(args, void *)); break;
      default: break;
    }
  }
  if (buffer && capacity > 0) buffer[min_of<i64>(out.length, capacity - 1)] = 0;
  return (int)out.length;
}

int fmt_snprintf(char *buffer, int capacity, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = fmt_vsnprintf(buffer, capacity, format, args);
  va_end(args);
  return n;
}

//~ Formatting into arenas
Str8 arena_format_v(Arena *arena, const char *format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int length = fmt_vsnprintf(nullptr, 0, format, measure) + 1;
  va_end(measure);
  char *buffer = (char *)arena_alloc(arena, (u64)length, 8);
  fmt_vsnprintf(buffer, length, format, args);
  return str8(buffer, (u64)length - 1);
}

Str8 arena_format(Arena *arena, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Str8 result = arena_format_v(arena, format, args);
  va_end(args);
  return result;
}

void str8_list_addf(Arena *arena, Str8List *list, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Str8 s = arena_format_v(arena, format, args);
  va_end(args);
  str8_list_add(arena, list, s);
}
