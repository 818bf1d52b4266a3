#include <stb_image.h>
#include <stb_image_resize2.h>
#include <stb_image_write.h>

#include "convert/image/image_stb.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_png.h"
#include "convert/image/image_jpeg.h"
#include "convert/image/image_jpeg_writer.h"

// In the decoder's implementation file: clears the calling thread's failure reason.
void stb_image_forget_failure();

// The system's pixel layout and filter numbers are handed to the resampler unchanged.
static_assert(STBIR_1CHANNEL == 1 && STBIR_2CHANNEL == 2 && STBIR_RGB == 3 && STBIR_RGBA == 4);
static_assert(STBIR_FILTER_DEFAULT == 0 && STBIR_FILTER_BOX == 1 && STBIR_FILTER_TRIANGLE == 2 &&
              STBIR_FILTER_CUBICBSPLINE == 3 && STBIR_FILTER_CATMULLROM == 4 && STBIR_FILTER_MITCHELL == 5 &&
              STBIR_FILTER_POINT_SAMPLE == 6);
static_assert(STBIR_EDGE_CLAMP == 0 && STBIR_EDGE_REFLECT == 1 && STBIR_EDGE_WRAP == 2 && STBIR_EDGE_ZERO == 3);

static bool mul_checked(u64 a, u64 b, u64 *out) {
  if (a != 0 && b > ~0ull / a) return false;
  *out = a * b;
  return true;
}

// width × height × bytes_per_pixel, when it is not 0 and fits the libraries' int sizes.
static bool codec_int_size(u64 width, u64 height, u64 bytes_per_pixel, u64 *out) {
  u64 row = 0, size = 0;
  if (!mul_checked(width, bytes_per_pixel, &row) || !mul_checked(row, height, &size)) return false;
  if (size == 0 || size > CodecIntMax) return false;
  *out = size;
  return true;
}

// The decoder takes the byte count as an int.
static bool codec_input_fits(Str8 bytes) { return bytes.str && bytes.size > 0 && bytes.size <= CodecIntMax; }

//~ The formats it reads
// The size a PNG or JPEG header declares, read without the decoder: the decoder refuses to
// describe pictures it would not decode, but the caller still wants to say what was refused.
static bool codec_declared_size(Str8 bytes, u64 *width, u64 *height) {
  const u8 *b = bytes.str;
  if (bytes.size >= 24 && codec_starts_as_png(bytes) && memcmp(b + 12, "IHDR", 4) == 0) {
    *width = read_be32(b + 16);
    *height = read_be32(b + 20);
    return *width && *height;
  }
  u64 at = jpeg_find_frame(bytes);
  if (at + 9 > bytes.size) return false;
  *height = read_be16(b + at + 5);
  *width = read_be16(b + at + 7);
  return *width && *height;
}

bool codec_complete(Str8 bytes) {
  if (codec_starts_as_png(bytes)) return codec_png_complete(bytes);
  if (codec_starts_as_jpeg(bytes)) return codec_jpeg_complete(bytes);
  return bytes.size > 0;
}

CodecPhotoTags codec_photo_tags(Arena *arena, Str8 bytes) {
  if (codec_starts_as_png(bytes)) return png_photo_tags(arena, bytes);
  if (codec_starts_as_jpeg(bytes)) return jpeg_photo_tags(arena, bytes);
  return CodecPhotoTags{1, {}, {}};
}

// Why the decoder refuses a file whose header it cannot describe. Its information call gives
// one generic reason for every refusal, so the loader reads the header again, within a budget
// too small for any picture, for its own. JPEG coding processes it never reads (arithmetic,
// lossless, hierarchical) are named by their frame marker.
static constexpr u64 HeaderBudget = mib(1);

static void codec_refusal_reason(Str8 bytes, CodecFailure *failure) {
  u64 at = jpeg_find_frame(bytes);
  if (codec_starts_as_jpeg(bytes) && at + 2 <= bytes.size) {
    u8 marker = bytes.str[at + 1];
    if (marker == 0xC3 || marker == 0xC7 || marker == 0xCB || marker == 0xCF) {
      return codec_failure_set(failure, DecodeRefused, "lossless JPEG is not supported");
    }
    if (marker >= 0xC9) return codec_failure_set(failure, DecodeRefused, "arithmetic-coded JPEG is not supported");
    if (marker >= 0xC5) return codec_failure_set(failure, DecodeRefused, "hierarchical JPEG is not supported");
  }
  int x = 0, y = 0, n = 0;
  stb_image_forget_failure();
  codec_heap_budget_begin(HeaderBudget);
  u8 *decoded = stbi_load_from_memory(bytes.str, (int)bytes.size, &x, &y, &n, 0);
  codec_heap_budget_end();
  const char *reason = decoded ? nullptr : stbi_failure_reason();
  if (decoded) stbi_image_free(decoded);
  codec_failure_set(failure, DecodeRefused, reason);
}

bool codec_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  if (!codec_input_fits(bytes)) {
    codec_failure_set(&out->failure, DecodeRefused, bytes.size > 0 ? "file too large for the decoder" : nullptr);
    return false;
  }
  int w = 0, h = 0, n = 0;
  if (!stbi_info_from_memory(bytes.str, (int)bytes.size, &w, &h, &n)) {
    codec_refusal_reason(bytes, &out->failure);
    u64 width = 0, height = 0;
    if (codec_declared_size(bytes, &width, &height)) {
      out->width = width;
      out->height = height;
    }
    return false;
  }
  if (w <= 0 || h <= 0 || n < 1 || n > 4) {
    codec_failure_set(&out->failure, DecodeRefused, nullptr);
    return false;
  }
  u32 bytes_per_channel = stbi_is_16_bit_from_memory(bytes.str, (int)bytes.size) ? 2 : 1;

  out->width = (u64)w;
  out->height = (u64)h;
  out->channels = (u32)n;
  out->bytes_per_channel = bytes_per_channel;
  if (codec_starts_as_png(bytes)) out->frames = png_frames(bytes);
  if (!jpeg_data_holds_picture(bytes)) {
    codec_failure_set(&out->failure, DecodeRefused, "Image data ends before the picture does");
    return false;
  }

  // The decoder's own format conversion of a 16-bit image multiplies in int without a check,
  // so the largest decode any caller may ask for is refused here rather than there. The
  // header's values stay in *out, so the caller can say what was refused.
  u64 largest = 0;
  if (codec_int_size((u64)w, (u64)h, 4ull * bytes_per_channel, &largest)) return true;
  codec_failure_set(&out->failure, DecodeRefused, "picture too large for the decoder");
  return false;
}

bool codec_is_16_bit(Str8 bytes) {
  return codec_input_fits(bytes) && stbi_is_16_bit_from_memory(bytes.str, (int)bytes.size) != 0;
}

//~ Decoding
//- what a decode may hold
// The most one decode may hold at once, in bytes: the sum of the buffers the decoder can hold
// together, each term an upper bound, so that every well-formed file stays inside it.
//   pixels  3 × W × H × 4 × s, s = 2 for a 16-bit source or output, else 1: the decoder holds
//           at most three pictures at once (a PNG's de-interlaced image, one of its passes and
//           its palette expansion; a picture and its conversion to the channels asked for; an
//           8-bit picture and its 16-bit copy).
//   PNG     2 × F + 4 KiB: the IDAT chunks gathered into one buffer, which doubles as it fills
//           (F the file's size);
//           2 × Z: the inflated image data, Z = (row bytes + 1) × H; its buffer starts at Z and
//           doubles once for an interlaced image's extra filter bytes and padding per pass;
//           2 × (row bytes + 1): the two filter rows.
//   JPEG    C × (W + 32) × (H + 32) × (3 when progressive, else 1): each of the C components'
//           planes, padded to whole MCUs of at most 32 × 32 pixels, and a progressive file's
//           16-bit coefficients; C × (W + 3): the line buffers.
//   margin  8 MiB: the decoder's state (a JPEG's Huffman tables and context) and small blocks.
// An unreadable header counts as the most costly one (four 16-bit channels, progressive).
// A PNG whose image data inflates to more than its size needs meets this limit while it
// inflates, its buffer never past the budget: a 1000 × 1000 RGB picture of a 3 MB file stops
// near 32 MB instead of inflating gigabytes.
static constexpr u64 DecodeMargin = mib(8);

static u64 codec_decode_budget(Str8 bytes, u64 width, u64 height, u32 output_sample_bytes) {
  const u8 *b = bytes.str;
  u64 sample_bytes = output_sample_bytes;
  u64 working = 0;
  if (codec_starts_as_png(bytes)) {
    u64 depth = 16, samples = 4;
    if (bytes.size >= 26 && memcmp(b + 12, "IHDR", 4) == 0) {
      static const u8 samples_of_colour_type[7] = {1, 4, 3, 1, 2, 4, 4};
      depth = b[24] <= 16 ? b[24] : 16;
      samples = b[25] < 7 ? samples_of_colour_type[b[25]] : 4;
    }
    if (depth == 16) sample_bytes = 2;
    u64 row = (width * samples * depth + 7) / 8 + 1;
    working = 2 * bytes.size + kib(4) + 2 * row * height + 2 * row;
  } else {
    u64 components = 4, progressive = 1;
    u64 at = jpeg_find_frame(bytes);
    if (at + 10 <= bytes.size) {
      components = b[at + 9] >= 1 && b[at + 9] <= 4 ? b[at + 9] : 4;
      progressive = (b[at + 1] & 0x03) == 0x02; // C2, C6, CA, CE
    }
    working = components * ((width + 32) * (height + 32) * (progressive ? 3 : 1) + width + 3);
  }
  return 3 * width * height * 4 * sample_bytes + working + DecodeMargin;
}

// The decoder gathers the IDAT chunks into a buffer that it allocates at the first one with
// data: an empty one before it is copied as zero bytes to a null pointer, undefined behaviour
// that the sanitizers stop at. Such chunks hold nothing, so the decoder gets a copy without
// them, made only for a file that has one (the walk ends at the first IDAT with data). The
// copy, from the image libraries' heap, is released with codec_heap_release; empty when it
// cannot be made.
static Str8 png_without_empty_first_idat(Str8 bytes) {
  const u8 *b = bytes.str;
  u64 first = sizeof(PngSignature);
  if (!codec_starts_as_png(bytes) || bytes.size < first + 12 || memcmp(b + first + 4, "IHDR", 4) != 0) return bytes;
  u64 end = first + 12 + read_be32(b + first);
  bool empty = false;
  while (end + 12 <= bytes.size) {
    u64 length = read_be32(b + end);
    bool idat = memcmp(b + end + 4, "IDAT", 4) == 0;
    if ((idat && length > 0) || memcmp(b + end + 4, "IEND", 4) == 0 || length > bytes.size - end - 12) break;
    empty |= idat;
    end += 12 + length;
  }
  if (!empty) return bytes;
  u8 *copy = (u8 *)codec_heap_alloc(bytes.size);
  if (!copy) return Str8{};
  u64 size = 0;
  for (u64 at = 0; at < end;) {
    u64 chunk = at < first ? first : 12 + read_be32(b + at);
    if (at < first || chunk > 12 || memcmp(b + at + 4, "IDAT", 4) != 0) {
      memcpy(copy + size, b + at, chunk);
      size += chunk;
    }
    at += chunk;
  }
  memcpy(copy + size, b + end, bytes.size - end);
  return Str8{copy, size + bytes.size - end};
}

// One call of the decoder (stbi_load_16 when sixteen), on input it can take, within the
// picture's budget. On failure, *failure says why.
static void *codec_load(Str8 bytes, u64 width, u64 height, u32 channels, bool sixteen, int *x, int *y,
                        CodecFailure *failure) {
  Str8 input = png_without_empty_first_idat(bytes);
  if (input.size == 0) {
    codec_failure_set(failure, DecodeRefused, "out of memory");
    return nullptr;
  }
  int n = 0;
  stb_image_forget_failure();
  codec_heap_budget_begin(codec_decode_budget(bytes, width, height, sixteen ? 2 : 1));
  void *decoded = sixteen ? (void *)stbi_load_16_from_memory(input.str, (int)input.size, x, y, &n, (int)channels)
                          : (void *)stbi_load_from_memory(input.str, (int)input.size, x, y, &n, (int)channels);
  bool within = codec_heap_budget_end();
  if (!decoded) codec_failure_set(failure, within ? DecodeRefused : DecodeOverBudget, stbi_failure_reason());
  if (input.str != bytes.str) codec_heap_release(input.str);
  return decoded;
}

// The decoded picture is the probed one; otherwise the failure says it is not.
static bool decode_matches(int x, int y, u64 width, u64 height, CodecFailure *failure) {
  if (x > 0 && y > 0 && (u64)x == width && (u64)y == height) return true;
  codec_failure_set(failure, DecodeRefused, "the picture decoded is not of the size its header gives");
  return false;
}

// A decode asked for what no picture can be.
static CodecDecoded decode_refused(CodecDecoded result) {
  codec_failure_set(&result.failure, DecodeRefused, nullptr);
  return result;
}

CodecDecoded codec_decode_8_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  u64 size = 0;
  if (!codec_input_fits(bytes) || channels < 1 || channels > 4) return decode_refused(result);
  if (!codec_int_size(width, height, channels, &size)) return decode_refused(result);
  int x = 0, y = 0;
  u8 *decoded = (u8 *)codec_load(bytes, width, height, channels, false, &x, &y, &result.failure);
  if (!decoded) return result;
  if (!decode_matches(x, y, width, height, &result.failure)) {
    stbi_image_free(decoded);
    return result;
  }
  result.pixels = Str8{decoded, size};
  result.width = width;
  result.height = height;
  return result;
}

CodecDecoded codec_decode_8(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded decoded = codec_decode_8_heap(bytes, width, height, channels);
  if (decoded.pixels.size == 0) return decoded;
  Str8 copy = {arena_push_uninit<u8>(arena, decoded.pixels.size), decoded.pixels.size};
  memcpy(copy.str, decoded.pixels.str, decoded.pixels.size);
  codec_heap_free(decoded.pixels);
  decoded.pixels = copy;
  return decoded;
}

void codec_heap_free(Str8 pixels) {
  if (pixels.str) stbi_image_free(pixels.str);
}

CodecDecoded codec_decode_16_to_8(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  u64 count = 0, size16 = 0;
  if (!codec_input_fits(bytes) || channels < 1 || channels > 4) return decode_refused(result);
  if (!codec_int_size(width, height, channels, &count) || !codec_int_size(width, height, channels * 2ull, &size16)) {
    return decode_refused(result);
  }

  int x = 0, y = 0;
  u16 *decoded = (u16 *)codec_load(bytes, width, height, channels, true, &x, &y, &result.failure);
  if (!decoded) return result;
  if (decode_matches(x, y, width, height, &result.failure)) {
    result.pixels.str = arena_push_uninit<u8>(arena, count);
    result.pixels.size = count;
    for (u64 i = 0; i < count; i += 1) result.pixels.str[i] = (u8)(((u32)decoded[i] + 128) / 257);
    result.width = width;
    result.height = height;
  }
  stbi_image_free(decoded);
  return result;
}

//- one decode, every layout
// The decoder's own channel conversions, written out so that a second layout can be derived
// from the first decode instead of decoding the file again. The luma weights and the opaque
// alpha are the decoder's; T is u8 or u16.
template <typename T> static T codec_luma(u32 r, u32 g, u32 b) { return (T)((r * 77 + g * 150 + b * 29) >> 8); }

template <typename S, typename D, typename Out>
static void codec_convert(const S *src, u32 from, D *dst, u32 to, u64 pixel_count, S opaque, Out out) {
  for (u64 i = 0; i < pixel_count; i += 1, src += from, dst += to) {
    S p[4] = {0, 0, 0, opaque};
    if (from <= 2) {
      p[0] = p[1] = p[2] = src[0];
      if (from == 2) p[3] = src[1];
    } else {
      p[0] = src[0], p[1] = src[1], p[2] = src[2];
      if (from == 4) p[3] = src[3];
    }
    if (to <= 2) {
      dst[0] = out(from <= 2 ? p[0] : codec_luma<S>(p[0], p[1], p[2]));
      if (to == 2) dst[1] = out(p[3]);
    } else {
      dst[0] = out(p[0]), dst[1] = out(p[1]), dst[2] = out(p[2]);
      if (to == 4) dst[3] = out(p[3]);
    }
  }
}

bool codec_derivable(Str8 bytes, u32 from, u32 to) {
  // A colour JPEG decoded to one or two channels gives its own luma plane, which the colour
  // pixels cannot reproduce exactly: that layout is decoded, not derived.
  bool jpeg = codec_starts_as_jpeg(bytes);
  return from >= 1 && from <= 4 && to >= 1 && to <= 4 && !(jpeg && from >= 3 && to <= 2);
}

Str8 codec_derive_8(Arena *arena, Str8 from_pixels, u32 from, u32 to, u64 pixel_count) {
  u64 size = 0;
  if (from < 1 || from > 4 || to < 1 || to > 4) return Str8{};
  if (!mul_checked(pixel_count, from, &size) || size != from_pixels.size) return Str8{};
  if (!mul_checked(pixel_count, to, &size)) return Str8{};
  Str8 result = {arena_push_uninit<u8>(arena, size), size};
  codec_convert<u8, u8>(from_pixels.str, from, result.str, to, pixel_count, (u8)255, [](u8 v) { return v; });
  return result;
}

Str8 codec_expand_heap(Str8 pixels, u32 from, u32 to, u64 pixel_count) {
  u64 size = 0, expanded_size = 0;
  if (from < 1 || to > 4 || to <= from) return Str8{};
  if (!mul_checked(pixel_count, from, &size) || size != pixels.size) return Str8{};
  if (!mul_checked(pixel_count, to, &expanded_size) || expanded_size > CodecIntMax) return Str8{};
  // The decoder's heap owns the buffer; growing a large one moves its pages without copying.
  u8 *grown = (u8 *)codec_heap_realloc(pixels.str, expanded_size);
  if (!grown) return Str8{};
  // From the last pixel back, each is read whole before its wider form is written, and the
  // wider form never reaches a pixel not yet read.
  if (from == 3 && to == 4) {
    // The common case (a colour photo on a transparent canvas), without the general rules.
    for (u64 i = pixel_count; i-- > 0;) {
      u8 r = grown[i * 3], g = grown[i * 3 + 1], b = grown[i * 3 + 2];
      u8 *d = grown + i * 4;
      d[0] = r, d[1] = g, d[2] = b, d[3] = 255;
    }
  } else {
    for (u64 i = pixel_count; i-- > 0;) {
      codec_convert<u8, u8>(grown + i * from, from, grown + i * to, to, 1, (u8)255, [](u8 v) { return v; });
    }
  }
  return Str8{grown, expanded_size};
}

Str8 codec_narrow_heap(Str8 pixels, u32 from, u32 to, u64 pixel_count) {
  u64 size = 0;
  if (to < 1 || from > 4 || to >= from) return Str8{};
  if (!mul_checked(pixel_count, from, &size) || size != pixels.size) return Str8{};
  // From the first pixel on, each is read whole before its narrower form is written, and the
  // narrower form never reaches a pixel not yet read.
  for (u64 i = 0; i < pixel_count; i += 1) {
    u8 wide[4];
    memcpy(wide, pixels.str + i * from, from);
    codec_convert<u8, u8>(wide, from, pixels.str + i * to, to, 1, (u8)255, [](u8 v) { return v; });
  }
  return Str8{pixels.str, pixel_count * to};
}

Str8 codec_relayout_heap(Str8 pixels, u32 from, u32 to, u64 pixel_count) {
  Str8 taken = pixels;
  if (to < from) taken = codec_narrow_heap(pixels, from, to, pixel_count);
  if (to > from) taken = codec_expand_heap(pixels, from, to, pixel_count);
  if (taken.size == 0) codec_heap_release(pixels.str);
  return taken;
}

CodecFailure codec_decode_16_layouts(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels,
                                     const bool needed[4], Str8 out[4]) {
  CodecFailure failure = {};
  u64 count = 0;
  for (u32 k = 0; k < 4; k += 1) out[k] = Str8{};
  if (!codec_input_fits(bytes) || channels < 1 || channels > 4 || !codec_int_size(width, height, 4 * 2ull, &count)) {
    codec_failure_set(&failure, DecodeRefused, nullptr);
    return failure;
  }
  u64 pixel_count = width * height;

  int x = 0, y = 0;
  u16 *decoded = (u16 *)codec_load(bytes, width, height, channels, true, &x, &y, &failure);
  if (!decoded) return failure;
  bool ok = decode_matches(x, y, width, height, &failure);
  for (u32 to = 1; ok && to <= 4; to += 1) {
    if (to != channels && !needed[to - 1]) continue;
    Str8 result = {arena_push_uninit<u8>(arena, pixel_count * to), pixel_count * to};
    if (to == channels) {
      // The source's own layout keeps the best 8-bit approximation of each sample.
      for (u64 i = 0; i < result.size; i += 1) result.str[i] = (u8)(((u32)decoded[i] + 128) / 257);
    } else {
      // Any other layout is what the decoder's 8-bit output would be: converted at 16 bits,
      // then the top byte of each sample.
      codec_convert<u16, u8>(decoded, channels, result.str, to, pixel_count, (u16)0xFFFF,
                             [](u16 v) { return (u8)(v >> 8); });
    }
    out[to - 1] = result;
  }
  stbi_image_free(decoded);
  return failure;
}

//~ Resampling

// True when the picture's rows lie inside its buffer and every number fits in an int.
static bool picture_fits(CodecPicture p, u64 channels) {
  u64 row = 0, span = 0;
  if (!p.pixels || p.width == 0 || p.height == 0) return false;
  if (p.width > CodecIntMax || p.height > CodecIntMax || p.stride > CodecIntMax) return false;
  if (!mul_checked(p.width, channels, &row) || row > CodecIntMax) return false;
  u64 stride = p.stride ? p.stride : row;
  if (stride < row) return false;
  if (!mul_checked(stride, p.height - 1, &span) || span + row < span) return false;
  return span + row <= p.size;
}

bool codec_resize(CodecPicture in, CodecPicture out, u32 pixel_layout, u32 filter, u32 edge) {
  if (pixel_layout < 1 || pixel_layout > 4 || filter > 6 || edge > 3) return false;
  if (!picture_fits(in, pixel_layout) || !picture_fits(out, pixel_layout)) return false;

  STBIR_RESIZE resize;
  stbir_resize_init(&resize, in.pixels, (int)in.width, (int)in.height, (int)in.stride, out.pixels, (int)out.width,
                    (int)out.height, (int)out.stride, (stbir_pixel_layout)pixel_layout, STBIR_TYPE_UINT8);
  stbir_set_filters(&resize, (stbir_filter)filter, (stbir_filter)filter);
  stbir_set_edgemodes(&resize, (stbir_edge)edge, (stbir_edge)edge);
  return stbir_resize_extended(&resize) != 0;
}

//~ Encoding

void codec_set_png_compression_level(int level) { stbi_write_png_compression_level = level; }

// Packed rows inside the given buffer, 1 to 4 components, every size an int.
static bool encode_input_fits(const u8 *pixels, u64 size, u64 width, u64 height, u32 components) {
  u64 packed = 0;
  if (!pixels || components < 1 || components > 4) return false;
  if (!codec_int_size(width, height, components, &packed)) return false;
  return packed <= size;
}

bool codec_encode_png(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components) {
  // the encoder filters into (row + 1) × height bytes, counted in int
  u64 filtered = 0;
  bool ok = encode_input_fits(pixels, size, width, height, components) &&
            codec_int_size(width * components + 1, height, 1, &filtered);
  if (ok) ok = png_encode(sink, pixels, width, height, components, stbi_write_png_compression_level);
  return encode_sink_finish(sink, ok);
}

bool codec_encode_png_stb(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components) {
  u64 filtered = 0;
  bool ok = encode_input_fits(pixels, size, width, height, components) &&
            codec_int_size(width * components + 1, height, 1, &filtered);
  if (ok) {
    ok = stbi_write_png_to_func(encode_sink_write, sink, (int)width, (int)height, (int)components, pixels, 0) != 0;
  }
  return encode_sink_finish(sink, ok);
}

// A JPEG frame header stores each side in 16 bits.
static bool encode_jpeg_fits(const u8 *pixels, u64 size, u64 width, u64 height, u32 components) {
  return encode_input_fits(pixels, size, width, height, components) && width <= 0xFFFF && height <= 0xFFFF;
}

bool codec_encode_jpeg(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components,
                       int quality) {
  bool ok = encode_jpeg_fits(pixels, size, width, height, components) &&
            jpeg_encode(sink, pixels, width, height, components, quality);
  return encode_sink_finish(sink, ok);
}

bool codec_encode_jpeg_stb(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components,
                           int quality) {
  bool ok = encode_jpeg_fits(pixels, size, width, height, components);
  if (ok) {
    ok = stbi_write_jpg_to_func(encode_sink_write, sink, (int)width, (int)height, (int)components, pixels, quality) !=
         0;
  }
  return encode_sink_finish(sink, ok);
}
