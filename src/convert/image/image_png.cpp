#include <libdeflate.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// A zlib stream inflated into the arena, at most `limit` bytes; empty when it does not inflate.
static Str8 png_inflate(Arena *arena, Str8 zdata, u64 limit) {
  libdeflate_decompressor *d = libdeflate_alloc_decompressor();
  if (!d) return Str8{};
  Str8 inflated = {};
  // the buffer grows until the data fits, never past the limit
  for (u64 capacity = kib(64); capacity <= limit * 4; capacity *= 4) {
    u64 mark = arena_offset(arena);
    u64 size = min_of(capacity, limit);
    u8 *out = (u8 *)arena_alloc(arena, size, 8);
    size_t actual = 0;
    libdeflate_result result = libdeflate_zlib_decompress(d, zdata.str, zdata.size, out, size, &actual);
    if (result == LIBDEFLATE_SUCCESS && actual > 0) {
      inflated = Str8{out, actual};
      break;
    }
    arena_rewind(arena, mark);
    if (result != LIBDEFLATE_INSUFFICIENT_SPACE || size == limit) break;
  }
  libdeflate_free_decompressor(d);
  return inflated;
}

// An iCCP chunk: a name of 1 to 79 bytes and its terminating zero, the compression method
// (0, zlib), then the compressed profile.
static Str8 png_inflate_profile(Arena *arena, Str8 chunk) {
  const u8 *zero = (const u8 *)memchr(chunk.str, 0, min_of<u64>(chunk.size, 80));
  if (!zero || zero == chunk.str) return Str8{};
  u64 data_at = (u64)(zero - chunk.str) + 2;
  if (data_at >= chunk.size || chunk.str[data_at - 1] != 0) return Str8{};
  return png_inflate(arena, str8_drop_front(chunk, data_at), CodecProfileMax);
}

CodecPhotoTags png_photo_tags(Arena *arena, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  bool exif_seen = false, icc_seen = false, srgb_seen = false, before_data = true;
  // gAMA and cHRM count only before the image data, and only without iCCP or sRGB
  u64 gama = 0;
  const u8 *chrm = nullptr;
  const u8 *b = bytes.str;
  for (u64 at = sizeof(PngSignature); at + 12 <= bytes.size;) {
    u64 length = read_be32(b + at);
    if (length > bytes.size - at - 12 || memcmp(b + at + 4, "IEND", 4) == 0) break;
    Str8 data = {(u8 *)b + at + 8, length};
    if (memcmp(b + at + 4, "IDAT", 4) == 0) before_data = false;
    if (!exif_seen && memcmp(b + at + 4, "eXIf", 4) == 0) {
      exif_seen = true;
      tags.orientation = codec_tiff_orientation(data);
    } else if (!icc_seen && memcmp(b + at + 4, "iCCP", 4) == 0) {
      icc_seen = true;
      tags.icc_profile = png_inflate_profile(arena, data);
    } else if (before_data && memcmp(b + at + 4, "sRGB", 4) == 0) {
      srgb_seen = true;
    } else if (before_data && !gama && length == 4 && memcmp(b + at + 4, "gAMA", 4) == 0) {
      gama = read_be32(data.str);
    } else if (before_data && !chrm && length == 32 && memcmp(b + at + 4, "cHRM", 4) == 0) {
      chrm = data.str;
    }
    at += 12 + length;
  }
  if (!icc_seen && !srgb_seen && (gama || chrm)) {
    // cHRM lists white first, then red, green and blue; without it, sRGB's primaries
    const f32 Srgb[8] = {0.640f, 0.330f, 0.300f, 0.600f, 0.150f, 0.060f, 0.3127f, 0.3290f};
    for (u32 i = 0; i < 8; i += 1) {
      tags.primaries.xy[i] = chrm ? (f32)read_be32(chrm + 4 * ((i + 2) % 8)) / 100000.0f : Srgb[i];
    }
    // gAMA is the encoding exponent times 100000; without it, sRGB's curve
    tags.primaries.transfer = gama ? TransferPower : 13;
    tags.primaries.gamma = gama ? 100000.0f / (f32)gama : 0.0f;
  }
  return tags;
}

// An iTXt chunk: its keyword and zero, the compression flag and method, a language tag and a
// translated keyword each ending with a zero, then the text (zlib-compressed when flagged).
static Str8 png_itxt_xmp(Arena *arena, Str8 data) {
  Str8 keyword = str8_lit("XML:com.adobe.xmp");
  if (data.size < keyword.size + 3 || memcmp(data.str, keyword.str, keyword.size + 1) != 0) return Str8{};
  u64 at = keyword.size + 1;
  bool compressed = data.str[at] != 0;
  at += 2;
  for (u32 skip = 0; skip < 2; skip += 1) {
    const u8 *zero = (const u8 *)memchr(data.str + at, 0, data.size - at);
    if (!zero) return Str8{};
    at = (u64)(zero - data.str) + 1;
  }
  Str8 text = str8_drop_front(data, at);
  return compressed ? png_inflate(arena, text, PngTextMax) : text;
}

ImageMetadata png_metadata(Arena *arena, Str8 bytes) {
  ImageMetadata m = {};
  const u8 *b = bytes.str;
  for (u64 at = sizeof(PngSignature); at + 12 <= bytes.size;) {
    u64 length = read_be32(b + at);
    if (length > bytes.size - at - 12 || memcmp(b + at + 4, "IEND", 4) == 0) break;
    Str8 data = {(u8 *)b + at + 8, length};
    if (!m.exif.size && memcmp(b + at + 4, "eXIf", 4) == 0) m.exif = data;
    if (!m.xmp.size && memcmp(b + at + 4, "iTXt", 4) == 0) m.xmp = png_itxt_xmp(arena, data);
    at += 12 + length;
  }
  m.icc = png_photo_tags(arena, bytes).icc_profile;
  return m;
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

//- the writer
// The file stb_image_write makes, byte for byte, in less time: every row gets the filter whose
// bytes, read as signed numbers, have the smallest sum of magnitudes (the lowest filter number on
// a tie), with zeros left of the first pixel and above the first row; the filtered rows are one
// zlib stream at the set level in one IDAT chunk. Its buffers come from the image libraries'
// heap, as stb's did, and the sink gets the finished file's size.

static inline int png_magnitude(int v) { return v < 0 ? -v : v; }

static inline u8 png_paeth(u8 a, u8 b, u8 c) {
  int p = a + b - c, pa = png_magnitude(p - a), pb = png_magnitude(p - b), pc = png_magnitude(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// x the byte, a the same sample of the pixel to its left, b the one above, c above-left.
static inline u8 png_filtered(u32 filter, u8 x, u8 a, u8 b, u8 c) {
  switch (filter) {
  case 0: return x;
  case 1: return (u8)(x - a);
  case 2: return (u8)(x - b);
  case 3: return (u8)(x - ((a + b) >> 1));
  default: return (u8)(x - png_paeth(a, b, c));
  }
}

// `cur` and `prev` are rows with `n` zero bytes before them; bytes [from, bytes) of the row.
static void png_sums_scalar(const u8 *cur, const u8 *prev, u64 n, u64 from, u64 bytes, u64 sums[5]) {
  for (u64 i = from; i < bytes; i += 1) {
    for (u32 f = 0; f < 5; f += 1) {
      sums[f] += (u64)png_magnitude((i8)png_filtered(f, cur[i], cur[i - n], prev[i], prev[i - n]));
    }
  }
}

static void png_apply_scalar(u32 filter, const u8 *cur, const u8 *prev, u64 n, u64 from, u64 bytes, u8 *out) {
  for (u64 i = from; i < bytes; i += 1) out[i] = png_filtered(filter, cur[i], cur[i - n], prev[i], prev[i - n]);
}

#if defined(__SSE2__)
struct PngBlock {
  __m128i x, a, b, c;
};

static inline PngBlock png_block(const u8 *cur, const u8 *prev, u64 n, u64 i) {
  return {_mm_loadu_si128((const __m128i *)(cur + i)), _mm_loadu_si128((const __m128i *)(cur + i - n)),
          _mm_loadu_si128((const __m128i *)(prev + i)), _mm_loadu_si128((const __m128i *)(prev + i - n))};
}

static inline __m128i png_abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// The Paeth predictor of eight samples widened to 16 bits.
static inline __m128i png_paeth8(__m128i a, __m128i b, __m128i c) {
  __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
  __m128i pa = png_abs16(bc), pb = png_abs16(ac), pc = png_abs16(_mm_add_epi16(bc, ac));
  __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
  __m128i not_b = _mm_cmpgt_epi16(pb, pc);
  __m128i b_or_c = _mm_or_si128(_mm_and_si128(not_b, c), _mm_andnot_si128(not_b, b));
  return _mm_or_si128(_mm_and_si128(not_a, b_or_c), _mm_andnot_si128(not_a, a));
}

static inline __m128i png_filtered16(u32 filter, const PngBlock &k) {
  switch (filter) {
  case 0: return k.x;
  case 1: return _mm_sub_epi8(k.x, k.a);
  case 2: return _mm_sub_epi8(k.x, k.b);
  case 3: {
    // the rounded-up average less the bit it rounded up
    __m128i up = _mm_avg_epu8(k.a, k.b);
    return _mm_sub_epi8(k.x, _mm_sub_epi8(up, _mm_and_si128(_mm_xor_si128(k.a, k.b), _mm_set1_epi8(1))));
  }
  default: {
    __m128i zero = _mm_setzero_si128();
    __m128i lo = png_paeth8(_mm_unpacklo_epi8(k.a, zero), _mm_unpacklo_epi8(k.b, zero), _mm_unpacklo_epi8(k.c, zero));
    __m128i hi = png_paeth8(_mm_unpackhi_epi8(k.a, zero), _mm_unpackhi_epi8(k.b, zero), _mm_unpackhi_epi8(k.c, zero));
    return _mm_sub_epi8(k.x, _mm_packus_epi16(lo, hi));
  }
  }
}

// The magnitudes of 16 signed bytes, summed into the two 64-bit halves.
static inline __m128i png_magnitudes(__m128i v) {
  __m128i zero = _mm_setzero_si128();
  return _mm_sad_epu8(_mm_min_epu8(v, _mm_sub_epi8(zero, v)), zero);
}

static u64 png_row_sums(const u8 *cur, const u8 *prev, u64 n, u64 bytes, u64 sums[5]) {
  __m128i acc[5] = {};
  u64 i = 0;
  for (; i + 16 <= bytes; i += 16) {
    PngBlock k = png_block(cur, prev, n, i);
    for (u32 f = 0; f < 5; f += 1) acc[f] = _mm_add_epi64(acc[f], png_magnitudes(png_filtered16(f, k)));
  }
  for (u32 f = 0; f < 5; f += 1) {
    sums[f] = (u64)_mm_cvtsi128_si64(acc[f]) + (u64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc[f], acc[f]));
  }
  return i;
}

static u64 png_row_apply(u32 filter, const u8 *cur, const u8 *prev, u64 n, u64 bytes, u8 *out) {
  u64 i = 0;
  for (; i + 16 <= bytes; i += 16) {
    _mm_storeu_si128((__m128i *)(out + i), png_filtered16(filter, png_block(cur, prev, n, i)));
  }
  return i;
}
#else
static u64 png_row_sums(const u8 *, const u8 *, u64, u64, u64 sums[5]) {
  for (u32 f = 0; f < 5; f += 1) sums[f] = 0;
  return 0;
}
static u64 png_row_apply(u32, const u8 *, const u8 *, u64, u64, u8 *) { return 0; }
#endif

// The filter byte and the filtered bytes of every row, (width × n + 1) × height bytes.
static void png_filter_rows(const u8 *pixels, u64 width, u64 height, u32 n, u8 *pad, u8 *out) {
  u64 bytes = width * n, padded = bytes + n + 16;
  u8 *rows[2] = {pad, pad + padded}; // each row with n zeros before it, the one above first zeros
  memset(pad, 0, 2 * padded);
  for (u64 y = 0; y < height; y += 1) {
    u8 *prev = rows[y % 2] + n, *cur = rows[(y + 1) % 2] + n;
    memcpy(cur, pixels + y * bytes, bytes);
    u64 sums[5];
    u64 done = png_row_sums(cur, prev, n, bytes, sums);
    png_sums_scalar(cur, prev, n, done, bytes, sums);
    u32 best = 0;
    for (u32 f = 1; f < 5; f += 1) best = sums[f] < sums[best] ? f : best;
    u8 *line = out + y * (bytes + 1);
    line[0] = (u8)best;
    done = png_row_apply(best, cur, prev, n, bytes, line + 1);
    png_apply_scalar(best, cur, prev, n, done, bytes, line + 1);
  }
}

bool png_encode(EncodeSink *sink, const u8 *pixels, u64 width, u64 height, u32 components, int level) {
  static const u8 ColourType[5] = {0, 0, 4, 2, 6};
  u64 filtered_size = (width * components + 1) * height;
  u64 pad_size = 2 * (width * components + components + 16);
  u8 *filtered = (u8 *)codec_heap_alloc(filtered_size + pad_size);
  libdeflate_compressor *compressor = filtered ? libdeflate_alloc_compressor(level) : nullptr;
  u64 bound = compressor ? libdeflate_zlib_compress_bound(compressor, filtered_size) : 0;
  u8 *zlib = bound ? (u8 *)codec_heap_alloc(bound) : nullptr;
  u64 zlen = 0;
  if (zlib) {
    png_filter_rows(pixels, width, height, components, filtered + filtered_size, filtered);
    zlen = libdeflate_zlib_compress(compressor, filtered, filtered_size, zlib, bound);
  }
  // a chunk's length is a 31-bit number; the stream as stb framed it stays within an int
  bool ok = zlen > 0 && zlen <= CodecIntMax - 64;
  if (ok) {
    u8 *file = encode_sink_reserve(sink, 8 + 25 + 12 + zlen + 12);
    memcpy(file, PngSignature, 8);
    u8 *head = file + 8;
    put_be32(head, 13);
    memcpy(head + 4, "IHDR", 4);
    put_be32(head + 8, width);
    put_be32(head + 12, height);
    const u8 rest[5] = {8, ColourType[components], 0, 0, 0};
    memcpy(head + 16, rest, 5);
    put_be32(head + 21, libdeflate_crc32(0, head + 4, 17));
    u8 *data = head + 25;
    put_be32(data, zlen);
    memcpy(data + 4, "IDAT", 4);
    memcpy(data + 8, zlib, zlen);
    put_be32(data + 8 + zlen, libdeflate_crc32(0, data + 4, 4 + zlen));
    u8 *end = data + 12 + zlen;
    put_be32(end, 0);
    memcpy(end + 4, "IEND", 4);
    put_be32(end + 8, libdeflate_crc32(0, end + 4, 4));
    sink->cursor = end + 12;
  }
  if (zlib) codec_heap_release(zlib);
  if (compressor) libdeflate_free_compressor(compressor);
  if (filtered) codec_heap_release(filtered);
  return ok;
}

//- kept metadata
// A chunk: its length, type, data and the CRC of type and data; the bytes written at `out`.
static u64 png_chunk_put(u8 *out, const char *type, Str8 a, Str8 b = {}) {
  u64 length = a.size + b.size;
  put_be32(out, length);
  memcpy(out + 4, type, 4);
  if (a.size) memcpy(out + 8, a.str, a.size);
  if (b.size) memcpy(out + 8 + a.size, b.str, b.size);
  put_be32(out + 8 + length, libdeflate_crc32(0, out + 4, 4 + length));
  return 12 + length;
}

// The blocks go after the header chunk, before the image data as iCCP must: iCCP, eXIf, then
// the XMP packet as an uncompressed iTXt.
bool png_embed(EncodeSink *sink, ImageMetadata *kept) {
  Str8 file = *sink->buffer;
  u64 after = sizeof(PngSignature) + 12 + 13;
  if (file.size < after || !codec_starts_as_png(file) || memcmp(file.str + 12, "IHDR", 4) != 0) return false;
  Str8 icc = {};
  if (kept->icc.size) {
    libdeflate_compressor *c = libdeflate_alloc_compressor(9);
    u64 bound = c ? libdeflate_zlib_compress_bound(c, kept->icc.size) : 0;
    u8 *z = bound ? (u8 *)arena_alloc(sink->arena, bound, 8) : nullptr;
    u64 size = z ? libdeflate_zlib_compress(c, kept->icc.str, kept->icc.size, z, bound) : 0;
    if (c) libdeflate_free_compressor(c);
    icc = Str8{z, size};
    if (size == 0) kept->icc = Str8{};
  }
  if (kept->exif.size > 0x7FFFFFFF) kept->exif = Str8{};
  if (kept->xmp.size > 0x7FFFFFFF) kept->xmp = Str8{};
  Str8 icc_head = str8_lit("ICC Profile\0\0"); // its name, its zero, compression method 0
  icc_head.size = 13;
  Str8 xmp_head = str8_lit("XML:com.adobe.xmp\0\0\0\0\0"); // keyword, not compressed, no language
  xmp_head.size = 22;
  u64 extra = 36 + icc_head.size + icc.size + kept->exif.size + xmp_head.size + kept->xmp.size;
  u8 *out = (u8 *)arena_alloc(sink->arena, file.size + extra, 8);
  memcpy(out, file.str, after);
  u64 at = after;
  if (icc.size) at += png_chunk_put(out + at, "iCCP", icc_head, icc);
  if (kept->exif.size) at += png_chunk_put(out + at, "eXIf", kept->exif);
  if (kept->xmp.size) at += png_chunk_put(out + at, "iTXt", xmp_head, kept->xmp);
  memcpy(out + at, file.str + after, file.size - after);
  *sink->buffer = Str8{out, at + file.size - after};
  kept->iptc = Str8{};
  return true;
}

//~ Entry
static bool format_encode_png_kept(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                                   int, bool, ImageMetadata *kept) {
  return codec_encode_png(sink, pixels, size, width, height, channels) && png_embed(sink, kept);
}

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
    .metadata = png_metadata, .holds = HoldsExif | HoldsXmp | HoldsIcc, .encode_kept = format_encode_png_kept,
    .library = Str8{},
};
