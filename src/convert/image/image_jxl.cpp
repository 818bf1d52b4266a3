#include <jxl/decode.h>
#include <jxl/encode.h>

#include "convert/image/image_jxl.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_stb.h"

static const u8 JxlContainerSignature[JxlContainerSignatureSize] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};

// The library allocates its own state through the image libraries' heap, so a decode's budget
// counts it; the planes it decodes into come from its own allocator, so what they may take is
// judged from the frames' sizes before decoding (see jxl_layers_fit).
static void *jxl_alloc(void *, size_t size) { return codec_heap_alloc(size); }
static void jxl_free(void *, void *block) { codec_heap_release(block); }
static const JxlMemoryManager JxlHeap = {nullptr, jxl_alloc, jxl_free};

// A decode's budget: the pixels handed over, and room for what the library would need were its
// planes (32-bit floats: three colours and alpha, a copy of each while it filters and composes
// frames) counted too. With libjxl 0.7 only its small state is (a few KiB measured).
static constexpr u64 JxlDecodeMargin = mib(32);
static u64 jxl_decode_budget(u64 width, u64 height, u32 channels) { return width * height * (channels + 2 * 4 * 4) + JxlDecodeMargin; }
// The basic info, the colour encoding and the frames' headers come from the start of the data.
static constexpr u64 JxlHeaderBudget = mib(16);

//~ Reading
bool jxl_starts_as(Str8 bytes) {
  if (bytes.size >= JxlCodestreamSignatureSize && bytes.str[0] == 0xFF && bytes.str[1] == 0x0A) return true;
  return bytes.size >= JxlContainerSignatureSize && memcmp(bytes.str, JxlContainerSignature, JxlContainerSignatureSize) == 0;
}

static bool jxl_is_container(Str8 bytes) { return jxl_starts_as(bytes) && bytes.str[0] == 0; }

// A container's boxes, one after another: its type and data, a box of size 0 running to the end
// of the file. False at the end and at a box that does not fit (`*cut` then set).
struct JxlBox {
  const u8 *type;
  Str8 data;
};
static bool jxl_next_box(Str8 bytes, u64 *at, JxlBox *box, bool *cut) {
  *cut = false;
  if (*at == bytes.size) return false;
  *cut = true;
  if (bytes.size - *at < 8) return false;
  u64 size = read_be32(bytes.str + *at), header = 8;
  if (size == 1) {
    if (bytes.size - *at < 16) return false;
    size = read_be32(bytes.str + *at + 8) << 32 | read_be32(bytes.str + *at + 12);
    header = 16;
  } else if (size == 0) {
    size = bytes.size - *at;
  }
  if (size < header || size > bytes.size - *at) return false;
  *cut = false;
  box->type = bytes.str + *at + 4;
  box->data = Str8{bytes.str + *at + header, size - header};
  *at += size;
  return true;
}

// A decoder over the whole of `bytes`, told that no more will come (unless `closed` is false),
// its pixels kept as stored.
static JxlDecoder *jxl_open(Str8 bytes, int events, bool closed = true) {
  if (!jxl_starts_as(bytes)) return nullptr;
  JxlDecoder *dec = JxlDecoderCreate(&JxlHeap);
  if (!dec) return nullptr;
  if (JxlDecoderSubscribeEvents(dec, events) != JXL_DEC_SUCCESS ||
      JxlDecoderSetKeepOrientation(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec, bytes.str, bytes.size) != JXL_DEC_SUCCESS) {
    JxlDecoderDestroy(dec);
    return nullptr;
  }
  if (closed) JxlDecoderCloseInput(dec);
  return dec;
}

// A picture stored in XYB has no colour space of its own: it is asked for in sRGB, so that the
// profile reported and the pixels decoded agree and the colour step has nothing to do.
static void jxl_prefer_srgb(JxlDecoder *dec, const JxlBasicInfo *info) {
  if (info->uses_original_profile) return;
  JxlColorEncoding srgb;
  JxlColorEncodingSetToSRGB(&srgb, info->num_color_channels == 1 ? JXL_TRUE : JXL_FALSE);
  JxlDecoderSetPreferredColorProfile(dec, &srgb);
}

// The library tells why it failed by its status alone.
static const char *jxl_status_text(JxlDecoderStatus status) {
  return status == JXL_DEC_NEED_MORE_INPUT ? "the data ends before the picture does" : "the decoder refused the data";
}

// The decoder hands the rows over; they are not needed.
static void jxl_drop_rows(void *, size_t, size_t, size_t, const void *) {}

bool jxl_complete(Str8 bytes) {
  if (!jxl_starts_as(bytes)) return false;
  if (jxl_is_container(bytes)) {
    u64 at = 0;
    JxlBox box;
    bool cut = false;
    while (jxl_next_box(bytes, &at, &box, &cut)) {}
    if (cut) return false;
  }
  // The input is left open, so that data cut short asks for more rather than failing; a
  // damaged file is whole too: its decode then tells why it cannot be read. Walking the
  // frames' headers needs every frame but the last (each header says where the next begins);
  // the last is then decoded, the others skipped, for the decoder to ask for all of its bytes.
  codec_heap_budget_begin(JxlHeaderBudget);
  JxlDecoder *dec = jxl_open(bytes, JXL_DEC_BASIC_INFO | JXL_DEC_FRAME, false);
  JxlDecoderStatus status = JXL_DEC_ERROR;
  JxlBasicInfo info = {};
  u64 frames = 0;
  while (dec) {
    status = JxlDecoderProcessInput(dec);
    if (status == JXL_DEC_BASIC_INFO && JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) status = JXL_DEC_ERROR;
    if (status == JXL_DEC_FRAME) frames += 1;
    if (status != JXL_DEC_BASIC_INFO && status != JXL_DEC_FRAME) break;
  }
  if (dec) JxlDecoderDestroy(dec);
  codec_heap_budget_end();
  if (status != JXL_DEC_SUCCESS || frames == 0) return status != JXL_DEC_NEED_MORE_INPUT;

  codec_heap_budget_begin(jxl_decode_budget(info.xsize, info.ysize, 0));
  dec = jxl_open(bytes, JXL_DEC_FULL_IMAGE, false);
  if (dec) JxlDecoderSkipFrames(dec, frames - 1);
  JxlPixelFormat format = {info.num_color_channels == 1 ? 1u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  status = JXL_DEC_ERROR;
  while (dec) {
    status = JxlDecoderProcessInput(dec);
    if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER &&
        JxlDecoderSetImageOutCallback(dec, &format, jxl_drop_rows, nullptr) != JXL_DEC_SUCCESS) {
      status = JXL_DEC_ERROR;
    }
    if (status != JXL_DEC_NEED_IMAGE_OUT_BUFFER && status != JXL_DEC_FULL_IMAGE) break;
  }
  if (dec) JxlDecoderDestroy(dec);
  codec_heap_budget_end();
  return status != JXL_DEC_NEED_MORE_INPUT;
}

bool jxl_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  codec_heap_budget_begin(JxlHeaderBudget);
  JxlDecoder *dec = jxl_open(bytes, JXL_DEC_BASIC_INFO | JXL_DEC_FRAME);
  JxlBasicInfo info = {};
  JxlDecoderStatus status = dec ? JxlDecoderProcessInput(dec) : JXL_DEC_ERROR;
  bool ok = status == JXL_DEC_BASIC_INFO && JxlDecoderGetBasicInfo(dec, &info) == JXL_DEC_SUCCESS;
  if (ok && info.have_animation) {
    // each frame's header tells where the next begins: they are walked, not decoded
    u64 frames = 0;
    while ((status = JxlDecoderProcessInput(dec)) == JXL_DEC_FRAME) frames += 1;
    out->frames = status == JXL_DEC_SUCCESS && frames > 0 ? frames : CodecFramesUncounted;
  }
  if (dec) JxlDecoderDestroy(dec);
  codec_heap_budget_end();
  if (!ok) {
    codec_failure_set(&out->failure, DecodeRefused, jxl_status_text(status));
    return false;
  }
  out->width = info.xsize;
  out->height = info.ysize;
  out->channels = (info.num_color_channels == 1 ? 1 : 3) + (info.alpha_bits > 0 ? 1 : 0);
  out->bytes_per_channel = 1;
  out->deep = info.bits_per_sample > 8;
  if (out->width > 0 && out->height > 0) return true;
  codec_failure_set(&out->failure, DecodeRefused, "the picture has no size");
  return false;
}

CodecPhotoTags jxl_photo_tags(Arena *arena, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  codec_heap_budget_begin(JxlHeaderBudget);
  JxlDecoder *dec = jxl_open(bytes, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING);
  JxlBasicInfo info = {};
  for (JxlDecoderStatus status = JXL_DEC_SUCCESS; dec;) {
    status = JxlDecoderProcessInput(dec);
    if (status == JXL_DEC_BASIC_INFO) {
      if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) break;
      if (info.orientation >= 1 && info.orientation <= 8) tags.orientation = (u32)info.orientation;
      continue;
    }
    if (status != JXL_DEC_COLOR_ENCODING) break;
    jxl_prefer_srgb(dec, &info);
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) == JXL_DEC_SUCCESS && size > 0 &&
        size <= CodecProfileMax) {
      u64 mark = arena_offset(arena);
      u8 *profile = (u8 *)arena_alloc(arena, size, 8);
      if (JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, profile, size) == JXL_DEC_SUCCESS) {
        tags.icc_profile = Str8{profile, size};
      } else {
        arena_rewind(arena, mark);
      }
    }
    break;
  }
  if (dec) JxlDecoderDestroy(dec);
  codec_heap_budget_end();
  return tags;
}

ImageMetadata jxl_metadata(Arena *arena, Str8 bytes) {
  ImageMetadata m = {};
  u64 at = 0;
  JxlBox box;
  bool cut = false;
  while (jxl_is_container(bytes) && jxl_next_box(bytes, &at, &box, &cut)) {
    if (!m.exif.size && memcmp(box.type, "Exif", 4) == 0 && box.data.size >= 4 && read_be32(box.data.str) <= box.data.size - 4) {
      Str8 tiff = str8_drop_front(box.data, 4 + read_be32(box.data.str));
      if (tiff.size >= 6 && memcmp(tiff.str, "Exif\0\0", 6) == 0) tiff = str8_drop_front(tiff, 6);
      m.exif = tiff;
    } else if (!m.xmp.size && memcmp(box.type, "xml ", 4) == 0) {
      m.xmp = box.data;
    }
  }
  m.icc = jxl_photo_tags(arena, bytes).icc_profile;
  return m;
}

// The library decodes each frame at its own size, which a codestream may set far above the
// picture's (a layer is cropped onto the canvas only once decoded), and allocates for it: every
// layer's header is read, not decoded, and one larger than the picture allows is refused like
// data that needs more memory than its size. Layers overhang the canvas in some animations: a
// layer may hold four times the picture, and any picture's layer a megapixel.
static constexpr u64 JxlLayerFloor = u64(1) << 18;
static bool jxl_layers_fit(Str8 bytes, u64 width, u64 height) {
  u64 limit = 4 * max_of(width * height, JxlLayerFloor);
  codec_heap_budget_begin(JxlHeaderBudget);
  // what cannot be walked is left for the decode to refuse, with its reason
  JxlDecoder *dec = jxl_open(bytes, JXL_DEC_FRAME);
  bool fit = true, walk = dec && JxlDecoderSetCoalescing(dec, JXL_FALSE) == JXL_DEC_SUCCESS;
  while (walk && fit && JxlDecoderProcessInput(dec) == JXL_DEC_FRAME) {
    JxlFrameHeader header;
    fit = JxlDecoderGetFrameHeader(dec, &header) == JXL_DEC_SUCCESS &&
          (u64)header.layer_info.xsize * header.layer_info.ysize <= limit;
  }
  if (dec) JxlDecoderDestroy(dec);
  codec_heap_budget_end();
  return fit;
}

CodecDecoded jxl_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  if (channels < 1 || channels > 4 || width == 0 || height == 0) {
    codec_failure_set(&result.failure, DecodeRefused, nullptr);
    return result;
  }
  if (!jxl_layers_fit(bytes, width, height)) {
    codec_failure_set(&result.failure, DecodeOverBudget, nullptr);
    return result;
  }
  codec_heap_budget_begin(jxl_decode_budget(width, height, 4));
  JxlDecoder *dec = jxl_open(bytes, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
  JxlBasicInfo info = {};
  JxlPixelFormat format = {0, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  u8 *pixels = nullptr;
  u64 size = 0;
  const char *failure = "the decoder refused the data";
  bool done = false;
  while (dec && !done) {
    JxlDecoderStatus status = JxlDecoderProcessInput(dec);
    if (status == JXL_DEC_BASIC_INFO) {
      if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) break;
      if (info.xsize != width || info.ysize != height) {
        failure = "the picture's header changed";
        break;
      }
      // decoded as grey or colour as stored, with alpha when it has some and it is wanted
      bool alpha = info.alpha_bits > 0 && (channels == 2 || channels == 4);
      format.num_channels = (info.num_color_channels == 1 ? 1 : 3) + (alpha ? 1 : 0);
      size = width * height * format.num_channels;
      pixels = (u8 *)codec_heap_alloc(size);
      if (!pixels) {
        failure = "out of memory";
        break;
      }
    } else if (status == JXL_DEC_COLOR_ENCODING) {
      jxl_prefer_srgb(dec, &info);
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      size_t wanted = 0;
      if (!pixels || JxlDecoderImageOutBufferSize(dec, &format, &wanted) != JXL_DEC_SUCCESS || wanted != size ||
          JxlDecoderSetImageOutBuffer(dec, &format, pixels, size) != JXL_DEC_SUCCESS) {
        break;
      }
    } else if (status == JXL_DEC_FULL_IMAGE) {
      done = true; // the first frame: the others are never decoded
    } else {
      failure = jxl_status_text(status);
      break;
    }
  }
  if (dec) JxlDecoderDestroy(dec);
  bool within = codec_heap_budget_end();
  if (!done) {
    if (pixels) codec_heap_release(pixels);
    codec_failure_set(&result.failure, within ? DecodeRefused : DecodeOverBudget, within ? failure : nullptr);
    return result;
  }
  Str8 taken = codec_relayout_heap(Str8{pixels, size}, format.num_channels, channels, width * height);
  if (taken.size == 0) {
    codec_failure_set(&result.failure, DecodeRefused, "out of memory");
    return result;
  }
  result.pixels = taken;
  result.width = width;
  result.height = height;
  return result;
}

//~ Writing
// The efforts (1 fastest .. 9 slowest) that encode a full-HD picture within about a second
// on one thread of this machine: lossy at libjxl's own default (0.4 s measured), lossless
// lower (0.8 s; its default takes 2 s, and efforts 2 and 3 make files twice as large).
static constexpr int JxlEffortLossy = 7;
static constexpr int JxlEffortLossless = 4;
// The largest side a codestream of the library's default level takes.
static constexpr u64 JxlSideMax = u64(1) << 18;

// libjxl's own mapping (JxlEncoderDistanceFromQuality from 0.9 on, which cjxl and libvips now
// use): distance 1 (visually lossless) at quality 90, rising by 0.09 a step down to quality 30
// (distance 6.4), then along a parabola to 25 at quality 0. Debian 12's cjxl 0.7 and libvips
// 8.14 agree from quality 30 up; below it they follow older, steeper curves.
f32 jxl_distance_of_quality(int quality) {
  f64 q = (f64)clamp_of(1, quality, 100);
  f64 d = q >= 30 ? 0.1 + (100 - q) * 0.09 : 53.0 / 3000.0 * q * q - 23.0 / 20.0 * q + 25.0;
  return (f32)d;
}

bool jxl_encode(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                bool lossless) {
  return jxl_encode_kept(sink, pixels, size, width, height, channels, quality, lossless, nullptr);
}

bool jxl_encode_kept(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                     bool lossless, ImageMetadata *kept) {
  if (channels < 1 || channels > 4 || width == 0 || height == 0 || width > JxlSideMax || height > JxlSideMax ||
      size < width * height * channels) {
    return encode_sink_finish(sink, false);
  }
  JxlEncoder *enc = JxlEncoderCreate(&JxlHeap);
  if (!enc) return encode_sink_finish(sink, false);
  bool grey = channels <= 2, alpha = channels == 2 || channels == 4;
  if (kept) {
    kept->iptc = Str8{};
    if (kept->exif.size > 0xFFFFFFF0) kept->exif = Str8{};
    if (kept->xmp.size > 0xFFFFFFF0) kept->xmp = Str8{};
  }
  bool boxes = kept && (kept->exif.size || kept->xmp.size);

  // the header: 8-bit samples, in sRGB or in the kept profile
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = (u32)width;
  info.ysize = (u32)height;
  info.bits_per_sample = 8;
  info.num_color_channels = grey ? 1 : 3;
  info.alpha_bits = alpha ? 8 : 0;
  info.num_extra_channels = alpha ? 1 : 0;
  info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
  bool ok = (!boxes || JxlEncoderUseBoxes(enc) == JXL_ENC_SUCCESS) && JxlEncoderSetBasicInfo(enc, &info) == JXL_ENC_SUCCESS;
  if (ok && kept && kept->icc.size && JxlEncoderSetICCProfile(enc, kept->icc.str, kept->icc.size) != JXL_ENC_SUCCESS) {
    kept->icc = Str8{};
  }
  if (ok && !(kept && kept->icc.size)) {
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, grey ? JXL_TRUE : JXL_FALSE);
    ok = JxlEncoderSetColorEncoding(enc, &srgb) == JXL_ENC_SUCCESS;
  }

  // the metadata's boxes before the codestream, where a reader finds them first
  Scratch scratch = scratch_begin(sink->arena);
  if (ok && kept && kept->exif.size) {
    u8 *exif = (u8 *)arena_alloc(scratch.arena, 4 + kept->exif.size, 8);
    put_be32(exif, 0); // the TIFF header follows at once
    memcpy(exif + 4, kept->exif.str, kept->exif.size);
    if (JxlEncoderAddBox(enc, "Exif", exif, 4 + kept->exif.size, JXL_FALSE) != JXL_ENC_SUCCESS) kept->exif = Str8{};
  }
  if (ok && kept && kept->xmp.size && JxlEncoderAddBox(enc, "xml ", kept->xmp.str, kept->xmp.size, JXL_FALSE) != JXL_ENC_SUCCESS) {
    kept->xmp = Str8{};
  }
  if (boxes) JxlEncoderCloseBoxes(enc);

  // one frame
  JxlEncoderFrameSettings *settings = ok ? JxlEncoderFrameSettingsCreate(enc, nullptr) : nullptr;
  int effort = lossless ? JxlEffortLossless : JxlEffortLossy;
  ok = settings && JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, effort) == JXL_ENC_SUCCESS;
  if (ok && lossless) {
    ok = JxlEncoderSetFrameDistance(settings, 0) == JXL_ENC_SUCCESS && JxlEncoderSetFrameLossless(settings, JXL_TRUE) == JXL_ENC_SUCCESS;
  } else if (ok) {
    ok = JxlEncoderSetFrameDistance(settings, jxl_distance_of_quality(quality)) == JXL_ENC_SUCCESS;
  }
  JxlPixelFormat format = {channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  ok = ok && JxlEncoderAddImageFrame(settings, &format, pixels, width * height * channels) == JXL_ENC_SUCCESS;
  scratch_restore(scratch);
  JxlEncoderCloseInput(enc);

  // written straight into the sink's buffer
  JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT;
  while (ok && status == JXL_ENC_NEED_MORE_OUTPUT) {
    u64 room = max_of(kib(64), width * height / 4);
    u8 *next = encode_sink_reserve(sink, room);
    if (!next) {
      ok = false;
      break;
    }
    size_t avail = room;
    status = JxlEncoderProcessOutput(enc, &next, &avail);
    sink->cursor = next;
    ok = status == JXL_ENC_SUCCESS || status == JXL_ENC_NEED_MORE_OUTPUT;
  }
  JxlEncoderDestroy(enc);
  return encode_sink_finish(sink, ok);
}

//~ Entry
// A bare codestream is told by its first two bytes, a container by its signature box: the
// signature is the container's, so that a file holding only the start of it waits to become one.
// libjxl prints why it stops on data cut short or damaged.
const ImageFormat FormatJxl = {
    .file_type = FileTypeJxl, .name = str8_lit("JXL"), .extension = str8_lit("jxl"), .other_extension = Str8{},
    .signature_size = JxlCodestreamSignatureSize, .signature = Str8{(u8 *)JxlContainerSignature, JxlContainerSignatureSize},
    .keeps_alpha = true, .takes_quality = true, .can_be_lossless = true,
    .starts_as = jxl_starts_as, .complete = jxl_complete, .probe = jxl_probe, .photo_tags = jxl_photo_tags,
    .scan_count = nullptr, .scan_limit = 0, .decode_heap = jxl_decode_heap,
    .encode = jxl_encode,
    .metadata = jxl_metadata, .holds = HoldsExif | HoldsXmp | HoldsIcc, .encode_kept = jxl_encode_kept,
    .library = str8_lit("libjxl"),
};
