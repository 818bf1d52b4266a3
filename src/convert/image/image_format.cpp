#include "convert/image/image_format.h"
#include "convert/image/image_png.h"
#include "convert/image/image_jpeg.h"
#include "convert/image/image_webp.h"
#include "convert/image/image_heif.h"
#include "convert/image/image_gif.h"
#include "convert/image/image_tiff.h"
#include "convert/image/image_jxl.h"
#include "convert/image/image_raw.h"

//~ What a format's functions give
void codec_failure_set(CodecFailure *failure, u32 kind, const char *reason) {
  failure->kind = kind;
  u64 size = reason ? min_of((u64)strlen(reason), CodecReasonMax - 1) : 0;
  if (size) memcpy(failure->reason, reason, size);
  failure->reason[size] = 0;
}

Str8 codec_failure_reason(const CodecFailure *failure) {
  return Str8{(u8 *)failure->reason, (u64)strnlen(failure->reason, CodecReasonMax)};
}

//~ Formats
// Each format's entry is its module's; the order is the one lookups, the names for people and
// the signatures are tried in.
static const ImageFormat *const Formats[] = {
    &FormatJpeg,
    &FormatPng,
    &FormatWebp,
    &FormatAvif,
    &FormatHeif,
    &FormatRaw,
    &FormatTiff,
    &FormatGif,
    &FormatJxl,
};

//- lookups
const ImageFormat *format_of_bytes(Str8 bytes) {
  for (const ImageFormat *f : Formats) {
    if (bytes.size >= f->signature_size && f->starts_as(bytes)) return f;
  }
  return nullptr;
}

const ImageFormat *format_of_name(Str8 name) {
  for (const ImageFormat *f : Formats) {
    if (str8_equals(name, f->name, MatchIgnoreCase)) return f;
  }
  return nullptr;
}

const ImageFormat *format_of_type(u32 file_type) {
  for (const ImageFormat *f : Formats) {
    if (f->file_type == file_type) return f;
  }
  return nullptr;
}

const ImageFormat *format_default_output() { return format_of_type(FileTypeJpeg); }
const ImageFormat *format_with_alpha() { return format_of_type(FileTypePng); }

Str8 format_name(u32 file_type) {
  const ImageFormat *f = format_of_type(file_type);
  return f ? f->name : format_with_alpha()->name;
}

Str8 format_extension(u32 file_type) {
  const ImageFormat *f = format_of_type(file_type);
  return f ? f->extension : format_with_alpha()->extension;
}

Str8 format_copy_extension(u32 file_type, Str8 source_name) {
  const ImageFormat *f = format_of_type(file_type);
  Str8 others = f ? f->other_extension : Str8{};
  for (u64 start = 0; start < others.size;) {
    u64 end = start;
    while (end < others.size && others.str[end] != ' ') end += 1;
    Str8 other = {others.str + start, end - start};
    if (other.size > 0 && source_name.size > other.size && source_name.str[source_name.size - other.size - 1] == '.' &&
        str8_equals(str8_keep_back(source_name, other.size), other, MatchIgnoreCase)) {
      return other;
    }
    start = end + 1;
  }
  return format_extension(file_type);
}

Str8 format_names(Arena *arena, bool written_only) {
  Str8List names = {};
  for (const ImageFormat *f : Formats) {
    if (!written_only || f->encode) str8_list_add(arena, &names, f->name);
  }
  Str8List text = {};
  u64 i = 0;
  for (Str8Node *n = names.first; n; n = n->next, i += 1) {
    if (i > 0) str8_list_add(arena, &text, n->next ? str8_lit(", ") : str8_lit(" and "));
    str8_list_add(arena, &text, n->string);
  }
  return str8_list_join(arena, &text, nullptr);
}

bool format_may_become(Str8 bytes) {
  for (const ImageFormat *f : Formats) {
    if (bytes.size >= f->signature.size) continue;
    bool matches = true;
    for (u64 i = 0; i < bytes.size && matches; i += 1) matches = f->signature.str[i] == '?' || f->signature.str[i] == bytes.str[i];
    if (matches) return true;
  }
  return false;
}
