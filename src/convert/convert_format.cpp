#include "convert/convert_format.h"

//~ Entries
static bool format_encode_jpeg(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                               int quality, bool) {
  return codec_encode_jpeg(sink, pixels, size, width, height, channels, quality);
}
static bool format_encode_png(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                              int, bool) {
  return codec_encode_png(sink, pixels, size, width, height, channels);
}

// A JPEG needs a byte past its start-of-image marker to be told from other bytes. stb's
// decoder reads both formats. libwebp prints only when built for debugging; libheif's codecs
// print on damaged data (dav1d's log, its input checks).
static const ImageFormat Formats[] = {
    {FileTypeJpeg, str8_lit("JPEG"), str8_lit("jpg"), Str8{}, 3, str8_lit("\xFF\xD8?"), false, true, false, codec_starts_as_jpeg,
     codec_jpeg_complete, codec_probe, codec_photo_tags, codec_jpeg_scans, JpegScanLimit, codec_decode_8_heap, format_encode_jpeg,
     Str8{}},
    {FileTypePng, str8_lit("PNG"), str8_lit("png"), Str8{}, sizeof(PngSignature), str8_lit("\x89PNG\r\n\x1A\n"), true, false, false, codec_starts_as_png,
     codec_png_complete, codec_probe, codec_photo_tags, nullptr, 0, codec_decode_8_heap, format_encode_png, Str8{}},
    {FileTypeWebp, str8_lit("WEBP"), str8_lit("webp"), Str8{}, WebpSignatureSize, str8_lit("RIFF????WEBP"), true, true, true, webp_starts_as,
     webp_complete, webp_probe, webp_photo_tags, nullptr, 0, webp_decode_heap, webp_encode, Str8{}},
    {FileTypeAvif, str8_lit("AVIF"), str8_lit("avif"), Str8{}, HeifSignatureSize, str8_lit("????ftyp"), true, true, true,
     heif_starts_as_avif, heif_complete, heif_probe, heif_photo_tags, nullptr, 0, heif_decode_heap, heif_encode_avif,
     str8_lit("libheif")},
    {FileTypeHeif, str8_lit("HEIF"), str8_lit("heic"), str8_lit("heif"), HeifSignatureSize, str8_lit("????ftyp"), true, false, false,
     heif_starts_as_heif, heif_complete, heif_probe, heif_photo_tags, nullptr, 0, heif_decode_heap, nullptr,
     str8_lit("libheif")},
};

//~ Lookups
const ImageFormat *format_of_bytes(Str8 bytes) {
  for (const ImageFormat &f : Formats) {
    if (bytes.size >= f.signature_size && f.starts_as(bytes)) return &f;
  }
  return nullptr;
}

const ImageFormat *format_of_name(Str8 name) {
  for (const ImageFormat &f : Formats) {
    if (str8_equals(name, f.name, MatchIgnoreCase)) return &f;
  }
  return nullptr;
}

const ImageFormat *format_of_type(u32 file_type) {
  for (const ImageFormat &f : Formats) {
    if (f.file_type == file_type) return &f;
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
  if (f && f->other_extension.size > 0 && source_name.size > f->other_extension.size &&
      source_name.str[source_name.size - f->other_extension.size - 1] == '.' &&
      str8_equals(str8_keep_back(source_name, f->other_extension.size), f->other_extension, MatchIgnoreCase)) {
    return f->other_extension;
  }
  return format_extension(file_type);
}

Str8 format_names(Arena *arena, bool written_only) {
  Str8List names = {};
  for (const ImageFormat &f : Formats) {
    if (!written_only || f.encode) str8_list_add(arena, &names, f.name);
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
  for (const ImageFormat &f : Formats) {
    if (bytes.size >= f.signature.size) continue;
    bool matches = true;
    for (u64 i = 0; i < bytes.size && matches; i += 1) matches = f.signature.str[i] == '?' || f.signature.str[i] == bytes.str[i];
    if (matches) return true;
  }
  return false;
}
