#include <libheif/heif.h>

#include "convert/convert_heif.h"
#include "convert/image/image.h"

// The library registers its decoders and encoder once, on first use, from any thread.
static bool heif_ready() {
  static const bool ready = heif_init(nullptr).code == heif_error_Ok;
  return ready;
}

//~ Reading
// The brands of the ftyp box that opens the file: its major brand and its compatible ones.
template <typename F> static bool heif_any_brand(Str8 bytes, F wanted) {
  if (bytes.size < HeifSignatureSize || memcmp(bytes.str + 4, "ftyp", 4) != 0) return false;
  u64 box = read_be32(bytes.str);
  if (box < 16 || box > bytes.size) return wanted(bytes.str + 8);
  if (wanted(bytes.str + 8)) return true;
  for (u64 at = 16; at + 4 <= box; at += 4) {
    if (wanted(bytes.str + at)) return true;
  }
  return false;
}

static bool brand_is_avif(const u8 *b) { return memcmp(b, "avif", 4) == 0 || memcmp(b, "avis", 4) == 0; }
static const char *const HeifBrands[] = {"heic", "heix", "mif1", "msf1", "hevc"};
static bool brand_is_heif(const u8 *b) {
  for (const char *brand : HeifBrands) {
    if (memcmp(b, brand, 4) == 0) return true;
  }
  return false;
}

bool heif_starts_as_avif(Str8 bytes) { return heif_any_brand(bytes, brand_is_avif); }
bool heif_starts_as_heif(Str8 bytes) { return !heif_starts_as_avif(bytes) && heif_any_brand(bytes, brand_is_heif); }

bool heif_complete(Str8 bytes) {
  u64 at = 0;
  while (at + 8 <= bytes.size) {
    u64 size = read_be32(bytes.str + at);
    if (size == 0) return true; // the last box runs to the end of the file
    if (size == 1) {
      if (at + 16 > bytes.size) return false;
      size = read_be32(bytes.str + at + 8) << 32 | read_be32(bytes.str + at + 12);
    }
    if (size < 8 || size > bytes.size - at) return false;
    at += size;
  }
  return at == bytes.size;
}

// The primary picture's handle, with its context; both null when the boxes cannot be read,
// and the library's reason in *failure then.
struct HeifPrimary {
  heif_context *context;
  heif_image_handle *handle;
};

static HeifPrimary heif_primary(Str8 bytes, CodecFailure *failure = nullptr) {
  HeifPrimary p = {};
  CodecFailure ignored;
  if (!failure) failure = &ignored;
  if (!heif_ready() || bytes.size == 0) {
    codec_failure_set(failure, DecodeRefused, nullptr);
    return p;
  }
  p.context = heif_context_alloc();
  if (!p.context) {
    codec_failure_set(failure, DecodeRefused, "out of memory");
    return p;
  }
  heif_error error = heif_context_read_from_memory_without_copy(p.context, bytes.str, bytes.size, nullptr);
  if (error.code == heif_error_Ok) error = heif_context_get_primary_image_handle(p.context, &p.handle);
  if (error.code != heif_error_Ok) {
    // the message may live in the context: copied before it goes
    codec_failure_set(failure, DecodeRefused, error.message);
    if (p.handle) heif_image_handle_release(p.handle);
    heif_context_free(p.context);
    return HeifPrimary{};
  }
  return p;
}

static void heif_primary_free(HeifPrimary p) {
  if (p.handle) heif_image_handle_release(p.handle);
  if (p.context) heif_context_free(p.context);
}

// Image sequences (an AVIF or HEIF animation) name a brand of their own.
static bool brand_is_sequence(const u8 *b) {
  return memcmp(b, "avis", 4) == 0 || memcmp(b, "msf1", 4) == 0 || memcmp(b, "hevc", 4) == 0 ||
         memcmp(b, "hevx", 4) == 0;
}

bool heif_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  HeifPrimary p = heif_primary(bytes, &out->failure);
  if (!p.handle) return false;
  out->width = (u64)heif_image_handle_get_width(p.handle);
  out->height = (u64)heif_image_handle_get_height(p.handle);
  out->channels = heif_image_handle_has_alpha_channel(p.handle) ? 4 : 3;
  out->bytes_per_channel = 1;
  out->deep = heif_image_handle_get_luma_bits_per_pixel(p.handle) > 8 ||
              heif_image_handle_get_chroma_bits_per_pixel(p.handle) > 8;
  if (heif_any_brand(bytes, brand_is_sequence)) out->frames = CodecFramesUncounted;
  heif_primary_free(p);
  if (out->width > 0 && out->height > 0) return true;
  codec_failure_set(&out->failure, DecodeRefused, "the primary picture has no size");
  return false;
}

CodecPhotoTags heif_photo_tags(Arena *arena, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  HeifPrimary p = heif_primary(bytes);
  if (!p.handle) return tags;
  u64 size = heif_image_handle_get_raw_color_profile_size(p.handle);
  heif_color_profile_nclx *nclx = nullptr;
  if (size > 0 && size <= CodecProfileMax) {
    u64 mark = arena_offset(arena);
    u8 *profile = (u8 *)arena_alloc(arena, size, 8);
    if (heif_image_handle_get_raw_color_profile(p.handle, profile).code == heif_error_Ok) {
      tags.icc_profile = Str8{profile, size};
    } else {
      arena_rewind(arena, mark);
    }
  } else if (size == 0 && heif_image_handle_get_nclx_color_profile(p.handle, &nclx).code == heif_error_Ok && nclx) {
    const f32 xy[8] = {nclx->color_primary_red_x,   nclx->color_primary_red_y,  nclx->color_primary_green_x,
                       nclx->color_primary_green_y, nclx->color_primary_blue_x, nclx->color_primary_blue_y,
                       nclx->color_primary_white_x, nclx->color_primary_white_y};
    memcpy(tags.primaries.xy, xy, sizeof(xy));
    tags.primaries.transfer = (u32)nclx->transfer_characteristics;
  }
  if (nclx) heif_nclx_color_profile_free(nclx);
  heif_primary_free(p);
  return tags;
}

//- the sizes the decoders will be asked for
// The decoders (dav1d, libde265) allocate for the size their bitstream gives, not the size the
// boxes declare, and libheif lets them up to 32768 x 32768: a file declaring 64 x 48 whose AV1
// sequence header says 16384 x 16384 would take gigabytes before the picture it gives is found
// too large. So every coded picture of the file (the primary one, a grid's tiles, an alpha
// plane, a thumbnail) is measured from its bitstream's header before anything is decoded; none
// is larger than the primary picture in a well-formed file. HEVC pictures are coded in whole
// blocks of up to 64 x 64 pixels and cropped, so they may exceed the declared size by that.
static constexpr u64 HeifCodedSlack = 64;

struct BoxReader {
  Str8 bytes;
  u64 at, end;
  // The next box within [at, end): its type and its body; false at the end or on a bad size.
  bool next(const u8 **type, u64 *body, u64 *body_end) {
    if (at + 8 > end) return false;
    u64 size = read_be32(bytes.str + at), header = 8;
    if (size == 1) {
      if (at + 16 > end) return false;
      size = read_be32(bytes.str + at + 8) << 32 | read_be32(bytes.str + at + 12);
      header = 16;
    } else if (size == 0) {
      size = end - at;
    }
    if (size < header || size > end - at) return false;
    *type = bytes.str + at + 4;
    *body = at + header;
    *body_end = at + size;
    at += size;
    return true;
  }
};

// Reads bits most significant first; a read past the end gives zeros and marks the reader spent.
struct BitReader {
  const u8 *p;
  u64 size, bit;
  bool spent;
  u64 bits(u32 n) {
    u64 v = 0;
    for (u32 i = 0; i < n; i += 1, bit += 1) {
      if (bit / 8 >= size) {
        spent = true;
        return 0;
      }
      v = v << 1 | ((p[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return v;
  }
  u64 golomb() { // ue(v)
    u32 zeros = 0;
    while (!spent && bits(1) == 0 && zeros < 32) zeros += 1;
    return zeros >= 32 ? ~0ull : ((1ull << zeros) - 1 + bits(zeros));
  }
};

// The largest frame the sequence header among an AV1 item's first OBUs allows (a temporal
// delimiter may come before it); false when there is none.
static bool av1_coded_size(Str8 obus, u64 *width, u64 *height) {
  u64 at = 0;
  for (u32 obu = 0;; obu += 1) {
    if (obu == 4 || at + 2 > obus.size) return false;
    u8 header = obus.str[at];
    u64 size = obus.size, p = at + 1 + ((header >> 2) & 1); // after the extension byte
    if (header & 2) {                                          // a LEB128 size
      size = 0;
      for (u32 shift = 0; p < obus.size && shift < 56; shift += 7) {
        u8 byte = obus.str[p++];
        size |= (u64)(byte & 0x7F) << shift;
        if (!(byte & 0x80)) break;
      }
    }
    if (p > obus.size) return false;
    if (((header >> 3) & 15) == 1) { // OBU_SEQUENCE_HEADER
      at = p;
      break;
    }
    if (size > obus.size - p) return false;
    at = p + size;
  }
  BitReader r = {obus.str + at, obus.size - at, 0, false};
  r.bits(4); // seq_profile, still_picture
  if (r.bits(1)) {
    r.bits(5); // reduced_still_picture_header: seq_level_idx
  } else {
    u64 buffer_delay = 0;
    bool decoder_model = false;
    if (r.bits(1)) { // timing_info_present_flag
      r.bits(64);
      if (r.bits(1)) {
        u32 zeros = 0;
        while (!r.spent && r.bits(1) == 0 && zeros < 32) zeros += 1;
        r.bits(zeros);
      }
      decoder_model = r.bits(1) != 0;
      if (decoder_model) {
        buffer_delay = r.bits(5) + 1;
        r.bits(42);
      }
    }
    bool initial_display_delay = r.bits(1) != 0;
    u64 operating_points = r.bits(5) + 1;
    for (u64 i = 0; i < operating_points && !r.spent; i += 1) {
      r.bits(12);
      if (r.bits(5) > 7) r.bits(1);
      if (decoder_model && r.bits(1)) r.bits((u32)(2 * buffer_delay + 1));
      if (initial_display_delay && r.bits(1)) r.bits(4);
    }
  }
  u32 width_bits = (u32)r.bits(4) + 1, height_bits = (u32)r.bits(4) + 1;
  *width = r.bits(width_bits) + 1;
  *height = r.bits(height_bits) + 1;
  return !r.spent;
}

// The picture size of the first sequence parameter set an hvcC box holds.
static bool hevc_coded_size(Str8 hvcc, u64 *width, u64 *height) {
  if (hvcc.size < 23) return false;
  u64 at = 23;
  for (u64 arrays = hvcc.str[22]; arrays > 0 && at + 3 <= hvcc.size; arrays -= 1) {
    u32 type = hvcc.str[at] & 63;
    u64 count = read_be16(hvcc.str + at + 1);
    at += 3;
    for (; count > 0 && at + 2 <= hvcc.size; count -= 1) {
      u64 size = read_be16(hvcc.str + at);
      at += 2;
      if (size > hvcc.size - at) return false;
      if (type == 33 && size > 2) { // SPS_NUT: the payload without its emulation prevention bytes
        u8 rbsp[64];
        u64 n = 0, zeros = 0;
        for (u64 i = at + 2; i < at + size && n < sizeof(rbsp); i += 1) {
          if (zeros >= 2 && hvcc.str[i] == 3) {
            zeros = 0;
            continue;
          }
          zeros = hvcc.str[i] == 0 ? zeros + 1 : 0;
          rbsp[n++] = hvcc.str[i];
        }
        BitReader r = {rbsp, n, 0, false};
        r.bits(4);
        u32 sub_layers = (u32)r.bits(3);
        r.bits(1 + 96); // temporal nesting; the general profile, tier and level
        u32 profile_present = 0, level_present = 0;
        for (u32 i = 0; i < sub_layers; i += 1) {
          profile_present |= (u32)r.bits(1) << i;
          level_present |= (u32)r.bits(1) << i;
        }
        if (sub_layers > 0) r.bits(2 * (8 - sub_layers));
        for (u32 i = 0; i < sub_layers; i += 1) r.bits(((profile_present >> i) & 1) * 88 + ((level_present >> i) & 1) * 8);
        r.golomb(); // sps_seq_parameter_set_id
        if (r.golomb() == 3) r.bits(1);
        *width = r.golomb();
        *height = r.golomb();
        return !r.spent;
      }
      at += size;
    }
  }
  return false;
}

// Whether every coded picture of the file is within `pixels` (with the slack for whole blocks).
static bool heif_coded_sizes_fit(Str8 bytes, u64 declared_width, u64 declared_height) {
  u64 allowed = (declared_width + HeifCodedSlack) * (declared_height + HeifCodedSlack);
  BoxReader top = {bytes, 0, bytes.size};
  const u8 *type;
  u64 body, body_end;
  while (top.next(&type, &body, &body_end)) {
    if (memcmp(type, "meta", 4) != 0) continue;
    // the items' types and the first extent of each, and the codec configurations
    BoxReader meta = {bytes, body + 4, body_end};
    u64 iinf = 0, iinf_end = 0, iloc = 0, iloc_end = 0;
    while (meta.next(&type, &body, &body_end)) {
      if (memcmp(type, "iinf", 4) == 0) iinf = body, iinf_end = body_end;
      if (memcmp(type, "iloc", 4) == 0) iloc = body, iloc_end = body_end;
      if (memcmp(type, "iprp", 4) != 0) continue;
      BoxReader iprp = {bytes, body, body_end};
      while (iprp.next(&type, &body, &body_end)) {
        if (memcmp(type, "ipco", 4) != 0) continue;
        BoxReader ipco = {bytes, body, body_end};
        while (ipco.next(&type, &body, &body_end)) {
          u64 w = 0, h = 0;
          if (memcmp(type, "hvcC", 4) == 0 && hevc_coded_size(Str8{bytes.str + body, body_end - body}, &w, &h) &&
              w * h > allowed) {
            return false;
          }
        }
      }
    }
    if (!iinf || !iloc || iloc + 8 > iloc_end) return true;
    // the AV1 items: their data starts with the sequence header
    const u8 *b = bytes.str;
    u32 version = b[iloc];
    if (version > 2 || iinf + 6 > iinf_end) return true;
    u32 offset_size = b[iloc + 4] >> 4, length_size = b[iloc + 4] & 15, base_size = b[iloc + 5] >> 4,
        index_size = version ? b[iloc + 5] & 15 : 0;
    u64 at = iloc + 6, items = 0;
    auto read = [&](u32 n) {
      u64 v = 0;
      for (u32 i = 0; i < n && at < iloc_end; i += 1) v = v << 8 | b[at++];
      return v;
    };
    items = read(version < 2 ? 2 : 4);
    for (; items > 0 && at < iloc_end; items -= 1) {
      u64 id = read(version < 2 ? 2 : 4);
      u64 method = version ? read(2) & 15 : 0;
      read(2);
      u64 base = read(base_size), extents = read(2);
      u64 first = ~0ull, length = 0;
      for (u64 e = 0; e < extents && at < iloc_end; e += 1) {
        read(index_size);
        u64 offset = read(offset_size), size = read(length_size);
        if (e == 0) first = base + offset, length = size;
      }
      // is it an av01 item? (infe version 2 or 3: the item's ID, a protection index, its type)
      bool av1 = false;
      BoxReader infos = {bytes, iinf + 4 + (b[iinf] ? 4u : 2u), iinf_end};
      while (!av1 && infos.next(&type, &body, &body_end)) {
        if (memcmp(type, "infe", 4) != 0 || body + 4 > body_end || b[body] < 2) continue;
        u64 field = b[body] == 2 ? 2 : 4, p = body + 4;
        if (p + field + 6 > body_end) continue;
        u64 item = field == 2 ? read_be16(b + p) : read_be32(b + p);
        av1 = item == id && memcmp(b + p + field + 2, "av01", 4) == 0;
      }
      if (!av1 || method != 0 || first >= bytes.size) continue;
      u64 w = 0, h = 0;
      Str8 data = {(u8 *)b + first, min_of(length ? length : bytes.size - first, bytes.size - first)};
      if (av1_coded_size(data, &w, &h) && w * h > allowed) return false;
    }
    return true;
  }
  return true;
}

// The decoder applies the picture's own crop (clap), turn (irot) and mirror (imir), and may
// decode a layer of another size (an AV1 operating point): the picture it gives is taken at its
// size. None of those makes more pixels than the header's size, so a picture larger than that
// is refused like data that needs more memory than its size allows.
CodecDecoded heif_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  if (channels < 1 || channels > 4) {
    codec_failure_set(&result.failure, DecodeRefused, nullptr);
    return result;
  }
  HeifPrimary p = heif_primary(bytes, &result.failure);
  if (!p.handle) return result;
  bool alpha = heif_image_handle_has_alpha_channel(p.handle);
  u32 decoded = alpha && (channels == 2 || channels == 4) ? 4 : 3;
  heif_image *image = nullptr;
  heif_error error = {heif_error_Ok, heif_suberror_Unspecified, nullptr};
  if ((u64)heif_image_handle_get_width(p.handle) != width || (u64)heif_image_handle_get_height(p.handle) != height) {
    codec_failure_set(&result.failure, DecodeRefused, "the picture's header changed");
  } else if (!heif_coded_sizes_fit(bytes, (u64)heif_image_handle_get_ispe_width(p.handle),
                                   (u64)heif_image_handle_get_ispe_height(p.handle))) {
    codec_failure_set(&result.failure, DecodeOverBudget, nullptr);
  } else {
    error = heif_decode_image(p.handle, &image, heif_colorspace_RGB,
                              decoded == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr);
    if (error.code != heif_error_Ok) codec_failure_set(&result.failure, DecodeRefused, error.message);
  }
  if (image) {
    int stride = 0;
    const u8 *plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    int w = heif_image_get_width(image, heif_channel_interleaved);
    int h = heif_image_get_height(image, heif_channel_interleaved);
    u64 row = (u64)(w > 0 ? w : 0) * decoded;
    u8 *pixels = nullptr;
    if (!plane || w <= 0 || h <= 0 || (u64)stride < row) {
      codec_failure_set(&result.failure, DecodeRefused, "the decoder gave no picture");
    } else if ((u64)w * (u64)h > width * height) {
      codec_failure_set(&result.failure, DecodeOverBudget, nullptr);
    } else {
      pixels = (u8 *)codec_heap_alloc(row * (u64)h);
      if (!pixels) codec_failure_set(&result.failure, DecodeRefused, "out of memory");
    }
    if (pixels) {
      u64 pixel_count = (u64)w * (u64)h;
      for (u64 y = 0; y < (u64)h; y += 1) memcpy(pixels + y * row, plane + y * (u64)stride, row);
      Str8 taken = {pixels, row * (u64)h};
      if (channels < decoded) taken = codec_narrow_heap(taken, decoded, channels, pixel_count);
      if (channels > decoded) taken = codec_expand_heap(taken, decoded, channels, pixel_count);
      if (taken.size == 0) {
        codec_heap_release(pixels);
        codec_failure_set(&result.failure, DecodeRefused, "out of memory");
      } else {
        result.pixels = taken;
        result.width = (u64)w;
        result.height = (u64)h;
      }
    }
  }
  if (image) heif_image_release(image);
  heif_primary_free(p);
  return result;
}

//~ Writing
static heif_error heif_sink_write(heif_context *, const void *data, size_t size, void *sink) {
  encode_sink_write(sink, (void *)data, (int)size);
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// The AV1 encoder's speed (0 slowest .. 9 fastest): a full-HD picture in well under a second.
static constexpr int AvifSpeed = 8;

bool heif_encode_avif(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                      bool lossless) {
  if (!heif_ready() || channels < 1 || channels > 4 || width == 0 || height == 0 || width > 65535 ||
      height > 65535 || size < width * height * channels) {
    return encode_sink_finish(sink, false);
  }
  bool alpha = channels == 2 || channels == 4;
  u32 wide = alpha ? 4 : 3;
  heif_context *context = heif_context_alloc();
  heif_encoder *encoder = nullptr;
  heif_image *image = nullptr;
  heif_encoding_options *options = heif_encoding_options_alloc();
  heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
  bool ok = context && options && nclx &&
            heif_context_get_encoder_for_format(context, heif_compression_AV1, &encoder).code == heif_error_Ok &&
            heif_image_create((int)width, (int)height, heif_colorspace_RGB,
                              alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &image)
                    .code == heif_error_Ok &&
            heif_image_add_plane(image, heif_channel_interleaved, (int)width, (int)height, 8).code == heif_error_Ok;
  if (ok) {
    int stride = 0;
    u8 *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    ok = plane != nullptr;
    for (u64 y = 0; ok && y < height; y += 1) {
      const u8 *s = pixels + y * width * channels;
      u8 *d = plane + y * (u64)stride;
      for (u64 x = 0; x < width; x += 1, s += channels, d += wide) {
        if (channels >= 3) {
          memcpy(d, s, wide);
        } else {
          d[0] = d[1] = d[2] = s[0];
          if (alpha) d[3] = s[1];
        }
      }
    }
  }
  if (ok) {
    heif_encoder_set_parameter_integer(encoder, "speed", AvifSpeed);
    if (lossless) {
      // every pixel kept: full chroma, and the colours stored as they are (no YCbCr matrix)
      heif_encoder_set_lossless(encoder, 1);
      heif_encoder_set_parameter_string(encoder, "chroma", "444");
      nclx->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
      nclx->full_range_flag = 1;
      options->output_nclx_profile = nclx;
      heif_image_set_nclx_color_profile(image, nclx);
    } else {
      heif_encoder_set_lossy_quality(encoder, clamp_of(1, quality, 100));
    }
    heif_writer writer = {1, heif_sink_write};
    ok = heif_context_encode_image(context, image, encoder, options, nullptr).code == heif_error_Ok &&
         heif_context_write(context, &writer, sink).code == heif_error_Ok;
  }
  if (nclx) heif_nclx_color_profile_free(nclx);
  if (options) heif_encoding_options_free(options);
  if (image) heif_image_release(image);
  if (encoder) heif_encoder_release(encoder);
  if (context) heif_context_free(context);
  return encode_sink_finish(sink, ok);
}
