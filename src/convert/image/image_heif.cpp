#include <libheif/heif.h>

#include "convert/image/image_heif.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_heif_sizes.h"
#include "convert/image/image_stb.h"

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

// The primary picture's first Exif block (its four-byte offset to the TIFF header skipped) and
// first XMP block (a "mime" block of type application/rdf+xml), copied into the arena, and its
// colour profile.
ImageMetadata heif_metadata(Arena *arena, Str8 bytes) {
  ImageMetadata m = {};
  HeifPrimary p = heif_primary(bytes);
  if (!p.handle) return m;
  heif_item_id ids[16];
  int count = heif_image_handle_get_list_of_metadata_block_IDs(p.handle, nullptr, ids, 16);
  for (int i = 0; i < count; i += 1) {
    const char *type = heif_image_handle_get_metadata_type(p.handle, ids[i]);
    const char *content = heif_image_handle_get_metadata_content_type(p.handle, ids[i]);
    bool exif = type && strcmp(type, "Exif") == 0 && !m.exif.size;
    bool xmp = type && strcmp(type, "mime") == 0 && content && strcmp(content, "application/rdf+xml") == 0 && !m.xmp.size;
    u64 size = heif_image_handle_get_metadata_size(p.handle, ids[i]);
    if ((!exif && !xmp) || size == 0 || size > CodecProfileMax) continue;
    u64 mark = arena_offset(arena);
    u8 *data = (u8 *)arena_alloc(arena, size, 8);
    if (heif_image_handle_get_metadata(p.handle, ids[i], data).code != heif_error_Ok) {
      arena_rewind(arena, mark);
      continue;
    }
    Str8 block = {data, size};
    if (xmp) {
      m.xmp = block;
    } else if (size >= 4 && read_be32(data) <= size - 4) {
      Str8 tiff = str8_drop_front(block, 4 + read_be32(data));
      if (tiff.size >= 6 && memcmp(tiff.str, "Exif\0\0", 6) == 0) tiff = str8_drop_front(tiff, 6);
      m.exif = tiff;
    }
  }
  heif_primary_free(p);
  m.icc = heif_photo_tags(arena, bytes).icc_profile;
  return m;
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
      Str8 taken = codec_relayout_heap(Str8{pixels, row * (u64)h}, decoded, channels, pixel_count);
      if (taken.size == 0) {
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
  return heif_encode_avif_kept(sink, pixels, size, width, height, channels, quality, lossless, nullptr);
}

bool heif_encode_avif_kept(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                           int quality, bool lossless, ImageMetadata *kept) {
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
      if (channels == wide) {
        memcpy(d, s, width * wide);
        continue;
      }
      for (u64 x = 0; x < width; x += 1, s += channels, d += wide) {
        d[0] = d[1] = d[2] = s[0];
        if (alpha) d[3] = s[1];
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
    if (kept && kept->icc.size &&
        heif_image_set_raw_color_profile(image, "prof", kept->icc.str, kept->icc.size).code != heif_error_Ok) {
      kept->icc = Str8{};
    }
    heif_writer writer = {1, heif_sink_write};
    heif_image_handle *handle = nullptr;
    ok = heif_context_encode_image(context, image, encoder, options, kept ? &handle : nullptr).code == heif_error_Ok;
    if (ok && kept) {
      kept->iptc = Str8{};
      if (kept->exif.size && heif_context_add_exif_metadata(context, handle, kept->exif.str, (int)kept->exif.size).code != heif_error_Ok) {
        kept->exif = Str8{};
      }
      if (kept->xmp.size && heif_context_add_XMP_metadata(context, handle, kept->xmp.str, (int)kept->xmp.size).code != heif_error_Ok) {
        kept->xmp = Str8{};
      }
    }
    if (handle) heif_image_handle_release(handle);
    ok = ok && heif_context_write(context, &writer, sink).code == heif_error_Ok;
  }
  if (nclx) heif_nclx_color_profile_free(nclx);
  if (options) heif_encoding_options_free(options);
  if (image) heif_image_release(image);
  if (encoder) heif_encoder_release(encoder);
  if (context) heif_context_free(context);
  return encode_sink_finish(sink, ok);
}

//~ Entries
// libheif's codecs print on damaged data (dav1d's log, its input checks).
const ImageFormat FormatAvif = {
    .file_type = FileTypeAvif, .name = str8_lit("AVIF"), .extension = str8_lit("avif"), .other_extension = Str8{},
    .signature_size = HeifSignatureSize, .signature = str8_lit("????ftyp"),
    .keeps_alpha = true, .takes_quality = true, .can_be_lossless = true,
    .starts_as = heif_starts_as_avif, .complete = heif_complete, .probe = heif_probe, .photo_tags = heif_photo_tags,
    .scan_count = nullptr, .scan_limit = 0, .decode_heap = heif_decode_heap,
    .encode = heif_encode_avif,
    .metadata = heif_metadata, .holds = HoldsExif | HoldsXmp | HoldsIcc, .encode_kept = heif_encode_avif_kept,
    .library = str8_lit("libheif"),
};

// Read, never written.
const ImageFormat FormatHeif = {
    .file_type = FileTypeHeif, .name = str8_lit("HEIF"), .extension = str8_lit("heic"), .other_extension = str8_lit("heif"),
    .signature_size = HeifSignatureSize, .signature = str8_lit("????ftyp"),
    .keeps_alpha = true, .takes_quality = false, .can_be_lossless = false,
    .starts_as = heif_starts_as_heif, .complete = heif_complete, .probe = heif_probe, .photo_tags = heif_photo_tags,
    .scan_count = nullptr, .scan_limit = 0, .decode_heap = heif_decode_heap,
    .encode = nullptr,
    .metadata = heif_metadata, .holds = 0, .encode_kept = nullptr,
    .library = str8_lit("libheif"),
};
