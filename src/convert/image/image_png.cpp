#include <libdeflate.h>

#include "convert/image/image_png.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_exif.h"
#include "convert/image/image_stb.h"

//~ Reading
bool codec_starts_as_png(Str8 bytes) {
  return bytes.size >= sizeof(PngSignature) && memcmp(bytes.str, PngSignature, sizeof(PngSignature)) == 0;
}

// The decoder stops at the end chunk's type and never reads its checksum, so a PNG cut inside
// that last chunk decodes; walking the chunks to a whole IEND chunk tells it apart. Bytes after
// it do not matter.
bool codec_png_complete(Str8 bytes) {
  const u8 *b = bytes.str;
  for (u64 at = sizeof(PngSignature); at + 12 <= bytes.size;) {
    u64 length = read_be32(b + at);
    if (memcmp(b + at + 4, "IEND", 4) == 0) return at + 12 + length <= bytes.size;
    at += 12 + length;
  }
  return false;
}

// An iCCP chunk: a name of 1 to 79 bytes and its terminating zero, the compression method
// (0, zlib), then the compressed profile.
static Str8 png_inflate_profile(Arena *arena, Str8 chunk) {
  const u8 *zero = (const u8 *)memchr(chunk.str, 0, min_of<u64>(chunk.size, 80));
  if (!zero || zero == chunk.str) return Str8{};
  u64 data_at = (u64)(zero - chunk.str) + 2;
  if (data_at >= chunk.size || chunk.str[data_at - 1] != 0) return Str8{};
  libdeflate_decompressor *d = libdeflate_alloc_decompressor();
  if (!d) return Str8{};
  Str8 profile = {};
  // the buffer grows until the profile fits, never past the largest profile read
  for (u64 capacity = kib(64); capacity <= CodecProfileMax * 4; capacity *= 4) {
    u64 mark = arena_offset(arena);
    u64 size = min_of(capacity, CodecProfileMax);
    u8 *out = (u8 *)arena_alloc(arena, size, 8);
    size_t actual = 0;
    libdeflate_result result =
        libdeflate_zlib_decompress(d, chunk.str + data_at, chunk.size - data_at, out, size, &actual);
    if (result == LIBDEFLATE_SUCCESS && actual > 0) {
      profile = Str8{out, actual};
      break;
    }
    arena_rewind(arena, mark);
    if (result != LIBDEFLATE_INSUFFICIENT_SPACE || size == CodecProfileMax) break;
  }
  libdeflate_free_decompressor(d);
  return profile;
}

CodecPhotoTags png_photo_tags(Arena *arena, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  bool exif_seen = false, icc_seen = false;
  const u8 *b = bytes.str;
  for (u64 at = sizeof(PngSignature); at + 12 <= bytes.size;) {
    u64 length = read_be32(b + at);
    if (length > bytes.size - at - 12 || memcmp(b + at + 4, "IEND", 4) == 0) break;
    Str8 data = {(u8 *)b + at + 8, length};
    if (!exif_seen && memcmp(b + at + 4, "eXIf", 4) == 0) {
      exif_seen = true;
      tags.orientation = codec_tiff_orientation(data);
    } else if (!icc_seen && memcmp(b + at + 4, "iCCP", 4) == 0) {
      icc_seen = true;
      tags.icc_profile = png_inflate_profile(arena, data);
    }
    at += 12 + length;
  }
  return tags;
}

u64 png_frames(Str8 bytes) {
  const u8 *b = bytes.str;
  for (u64 at = sizeof(PngSignature); at + 12 <= bytes.size;) {
    u64 length = read_be32(b + at);
    if (length > bytes.size - at - 12 || memcmp(b + at + 4, "IDAT", 4) == 0) break;
    if (memcmp(b + at + 4, "acTL", 4) == 0 && length >= 8) return max_of(read_be32(b + at + 8), (u64)1);
    at += 12 + length;
  }
  return 1;
}

//~ Writing
// A compressor per call: libdeflate compressors are not shared between threads, and nothing
// kept between calls makes the hook safe on any number of them.
unsigned char *zlib_compress_hook(unsigned char *data, int length, int *out_length, int level) {
  if (length < 0 || (!data && length > 0) || !out_length) return nullptr;
  libdeflate_compressor *compressor = libdeflate_alloc_compressor(level);
  if (!compressor) return nullptr;
  size_t bound = libdeflate_zlib_compress_bound(compressor, (size_t)length);
  unsigned char *buffer = (unsigned char *)codec_heap_alloc(bound);
  if (!buffer) {
    libdeflate_free_compressor(compressor);
    return nullptr;
  }
  size_t written = libdeflate_zlib_compress(compressor, data, (size_t)length, buffer, bound);
  libdeflate_free_compressor(compressor);
  // The PNG encoder adds its chunk framing to this length in int.
  if (written == 0 || written > CodecIntMax - 64) {
    codec_heap_release(buffer);
    return nullptr;
  }
  *out_length = (int)written;
  return buffer;
}

//~ Entry
static bool format_encode_png(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                              int, bool) {
  return codec_encode_png(sink, pixels, size, width, height, channels);
}

// stb's decoder reads it and stb's writer writes it; neither prints.
const ImageFormat FormatPng = {
    .file_type = FileTypePng, .name = str8_lit("PNG"), .extension = str8_lit("png"), .other_extension = Str8{},
    .signature_size = sizeof(PngSignature), .signature = str8_lit("\x89PNG\r\n\x1A\n"),
    .keeps_alpha = true, .takes_quality = false, .can_be_lossless = false,
    .starts_as = codec_starts_as_png, .complete = codec_png_complete, .probe = codec_probe, .photo_tags = codec_photo_tags,
    .scan_count = nullptr, .scan_limit = 0, .decode_heap = codec_decode_8_heap,
    .encode = format_encode_png,
    .library = Str8{},
};
