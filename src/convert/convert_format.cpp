#include "convert/convert_format.h"

//~ Entries
static bool format_encode_jpeg(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                               int quality) {
  return codec_encode_jpeg(sink, pixels, size, width, height, channels, quality);
}
static bool format_encode_png(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                              int) {
  return codec_encode_png(sink, pixels, size, width, height, channels);
}

// A JPEG needs a byte past its start-of-image marker to be told from other bytes. stb's
// decoder reads both formats.
static const ImageFormat Formats[] = {
    {FileTypeJpeg, str8_lit("JPEG"), str8_lit("jpg"), 3, false, true, codec_starts_as_jpeg,
     codec_jpeg_complete, codec_probe, codec_jpeg_scans, JpegScanLimit, codec_decode_8_heap, format_encode_jpeg},
    {FileTypePng, str8_lit("PNG"), str8_lit("png"), sizeof(PngSignature), true, false, codec_starts_as_png,
     codec_png_complete, codec_probe, nullptr, 0, codec_decode_8_heap, format_encode_png},
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

u64 format_longest_signature() {
  u64 longest = 0;
  for (const ImageFormat &f : Formats) longest = max_of(longest, f.signature_size);
  return longest;
}
