#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

#include "convert/image/image_webp.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_exif.h"
#include "convert/image/image_stb.h"

// libwebp counts sizes and strides in int, and its pictures are at most 16383 on a side.
static constexpr u64 WebpSideMax = 16383;

//~ Reading
bool webp_starts_as(Str8 bytes) {
  return bytes.size >= WebpSignatureSize && memcmp(bytes.str, "RIFF", 4) == 0 && memcmp(bytes.str + 8, "WEBP", 4) == 0;
}

bool webp_complete(Str8 bytes) { return webp_starts_as(bytes) && read_le32(bytes.str + 4) + 8 == bytes.size; }

// The library tells why it failed by a status code only.
static const char *webp_status_text(VP8StatusCode status) {
  switch (status) {
  case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
  case VP8_STATUS_INVALID_PARAM: return "invalid parameter";
  case VP8_STATUS_BITSTREAM_ERROR: return "bitstream error";
  case VP8_STATUS_UNSUPPORTED_FEATURE: return "unsupported feature";
  case VP8_STATUS_NOT_ENOUGH_DATA: return "not enough data";
  default: return nullptr;
  }
}

// An animation's frame count, from its chunks alone.
static u64 webp_frames(Str8 bytes) {
  WebPData data = {bytes.str, bytes.size};
  WebPDemuxer *demux = WebPDemux(&data);
  if (!demux) return CodecFramesUncounted;
  u64 frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
  WebPDemuxDelete(demux);
  return frames > 0 ? frames : CodecFramesUncounted;
}

bool webp_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  WebPBitstreamFeatures features;
  VP8StatusCode status = webp_starts_as(bytes) ? WebPGetFeatures(bytes.str, bytes.size, &features) : VP8_STATUS_BITSTREAM_ERROR;
  if (status != VP8_STATUS_OK) {
    codec_failure_set(&out->failure, DecodeRefused, webp_status_text(status));
    return false;
  }
  out->width = (u64)features.width;
  out->height = (u64)features.height;
  out->channels = features.has_alpha ? 4 : 3;
  out->bytes_per_channel = 1;
  if (features.has_animation) out->frames = webp_frames(bytes);
  if (out->width > 0 && out->height > 0 && out->width <= WebpSideMax && out->height <= WebpSideMax) return true;
  codec_failure_set(&out->failure, DecodeRefused, "picture too large for the decoder");
  return false;
}

CodecPhotoTags webp_photo_tags(Arena *, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  bool exif_seen = false;
  for (u64 at = WebpSignatureSize; webp_starts_as(bytes) && at + 8 <= bytes.size;) {
    u64 size = read_le32(bytes.str + at + 4);
    if (size > bytes.size - at - 8) break;
    Str8 data = {bytes.str + at + 8, size};
    if (!exif_seen && memcmp(bytes.str + at, "EXIF", 4) == 0) {
      exif_seen = true;
      // some writers keep the JPEG segment's "Exif\0\0" before the TIFF structure
      if (data.size >= 6 && memcmp(data.str, "Exif\0\0", 6) == 0) data = str8_drop_front(data, 6);
      tags.orientation = codec_tiff_orientation(data);
    } else if (tags.icc_profile.size == 0 && memcmp(bytes.str + at, "ICCP", 4) == 0) {
      tags.icc_profile = data;
    }
    at += 8 + size + (size & 1);
  }
  return tags;
}

ImageMetadata webp_metadata(Arena *, Str8 bytes) {
  ImageMetadata m = {};
  for (u64 at = WebpSignatureSize; webp_starts_as(bytes) && at + 8 <= bytes.size;) {
    u64 size = read_le32(bytes.str + at + 4);
    if (size > bytes.size - at - 8) break;
    Str8 data = {bytes.str + at + 8, size};
    if (!m.exif.size && memcmp(bytes.str + at, "EXIF", 4) == 0) {
      m.exif = data.size >= 6 && memcmp(data.str, "Exif\0\0", 6) == 0 ? str8_drop_front(data, 6) : data;
    } else if (!m.xmp.size && memcmp(bytes.str + at, "XMP ", 4) == 0) {
      m.xmp = data;
    } else if (!m.icc.size && memcmp(bytes.str + at, "ICCP", 4) == 0) {
      m.icc = data;
    }
    at += 8 + size + (size & 1);
  }
  return m;
}

// Decodes a picture's bitstream into `rows` rows of `stride` bytes at `rgba`, of `channels` (3 or
// 4) bytes a pixel, through a configuration, which tells why it failed.
static VP8StatusCode webp_decode_into(const u8 *data, u64 size, u8 *rgba, u64 stride, u64 rows, u32 channels) {
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return VP8_STATUS_INVALID_PARAM;
  config.output.colorspace = channels == 4 ? MODE_RGBA : MODE_RGB;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = rgba;
  config.output.u.RGBA.stride = (int)stride;
  config.output.u.RGBA.size = rows * stride;
  VP8StatusCode status = WebPDecode(data, size, &config);
  WebPFreeDecBuffer(&config.output);
  return status;
}

// The first frame of an animation composed on its canvas: the canvas cleared to transparent
// black and the frame decoded straight into its place, as libwebp's animation decoder composes a
// first frame (it does not blend it, and its background colour is only a hint). That decoder
// keeps two canvases of its own besides the one it hands over, which for a small frame on a
// canvas of 16383 x 8000 is 1.5 GB: here the only canvas is `pixels`, of `channels` (3 or 4)
// bytes a pixel.
static VP8StatusCode webp_first_frame(Str8 bytes, u8 *pixels, u64 width, u64 height, u32 channels) {
  WebPData data = {bytes.str, bytes.size};
  WebPDemuxer *demux = WebPDemux(&data);
  if (!demux) return VP8_STATUS_BITSTREAM_ERROR;
  WebPIterator frame;
  VP8StatusCode status = VP8_STATUS_BITSTREAM_ERROR;
  u64 stride = width * channels;
  // the demuxer has checked that every frame lies on the canvas
  if (WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH) == width && WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT) == height &&
      WebPDemuxGetFrame(demux, 1, &frame)) {
    memset(pixels, 0, stride * height);
    u8 *at = pixels + (u64)frame.y_offset * stride + (u64)frame.x_offset * channels;
    status = webp_decode_into(frame.fragment.bytes, frame.fragment.size, at, stride, (u64)frame.height, channels);
    WebPDemuxReleaseIterator(&frame);
  }
  WebPDemuxDelete(demux);
  return status;
}

CodecDecoded webp_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  CodecProbe probe;
  WebPBitstreamFeatures features;
  if (channels < 1 || channels > 4 || !webp_probe(bytes, &probe) || probe.width != width || probe.height != height ||
      WebPGetFeatures(bytes.str, bytes.size, &features) != VP8_STATUS_OK) {
    codec_failure_set(&result.failure, DecodeRefused, probe.failure.reason);
    return result;
  }
  // decoded at 4 channels (3 for a picture without alpha that is wanted without), then narrowed
  u32 decoded = channels == 3 || (channels == 1 && !features.has_alpha) ? 3 : 4;
  u64 size = width * height * decoded;
  u8 *pixels = (u8 *)codec_heap_alloc(size);
  if (!pixels) {
    codec_failure_set(&result.failure, DecodeRefused, "out of memory");
    return result;
  }
  VP8StatusCode status = features.has_animation ? webp_first_frame(bytes, pixels, width, height, decoded)
                                                 : webp_decode_into(bytes.str, bytes.size, pixels, width * decoded, height, decoded);
  if (status != VP8_STATUS_OK) {
    codec_failure_set(&result.failure, DecodeRefused,
                      features.has_animation ? "its first frame cannot be decoded" : webp_status_text(status));
    codec_heap_release(pixels);
    return result;
  }
  result.pixels = Str8{pixels, size};
  result.width = width;
  result.height = height;
  if (channels < decoded) result.pixels = codec_narrow_heap(result.pixels, decoded, channels, width * height);
  return result;
}

//~ Writing
static int webp_sink_write(const uint8_t *data, size_t size, const WebPPicture *picture) {
  encode_sink_write(picture->custom_ptr, (void *)data, (int)size);
  return 1;
}

bool webp_encode(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                 bool lossless) {
  if (channels < 1 || channels > 4 || width == 0 || height == 0 || width > WebpSideMax || height > WebpSideMax ||
      size < width * height * channels) {
    return encode_sink_finish(sink, false);
  }
  WebPConfig config;
  WebPPicture picture;
  if (!WebPConfigInit(&config) || !WebPPictureInit(&picture)) return encode_sink_finish(sink, false);
  config.lossless = lossless ? 1 : 0;
  config.exact = lossless ? 1 : 0; // else the colours under full transparency are not kept
  config.quality = lossless ? 75.0f : (f32)clamp_of(1, quality, 100);
  picture.use_argb = lossless ? 1 : 0;
  picture.width = (int)width;
  picture.height = (int)height;

  // grey is handed over as colour; alpha only where there is some
  bool alpha = channels == 2 || channels == 4;
  u32 wide = alpha ? 4 : 3;
  Scratch scratch = scratch_begin(sink->arena);
  const u8 *rows = pixels;
  if (channels != wide) {
    u8 *widened = (u8 *)arena_alloc(scratch.arena, width * height * wide, 8);
    for (u64 i = 0; i < width * height; i += 1) {
      const u8 *s = pixels + i * channels;
      u8 *d = widened + i * wide;
      d[0] = d[1] = d[2] = s[0];
      if (alpha) d[3] = s[1];
    }
    rows = widened;
  }
  bool ok = alpha ? WebPPictureImportRGBA(&picture, rows, (int)(width * 4))
                  : WebPPictureImportRGB(&picture, rows, (int)(width * 3));
  scratch_restore(scratch);
  if (ok) {
    picture.writer = webp_sink_write;
    picture.custom_ptr = sink;
    ok = WebPEncode(&config, &picture);
  }
  WebPPictureFree(&picture);
  return encode_sink_finish(sink, ok);
}

//- kept metadata
static u64 webp_chunk_put(u8 *out, const char *tag, Str8 data) {
  memcpy(out, tag, 4);
  put_le32(out + 4, data.size);
  if (data.size) memcpy(out + 8, data.str, data.size);
  if (data.size & 1) out[8 + data.size] = 0;
  return 8 + data.size + (data.size & 1);
}

// The extended layout: a VP8X chunk (its flags, the canvas's size less one in 24 bits each),
// ICCP, the picture's chunks as the encoder wrote them, then EXIF and XMP.
bool webp_embed(EncodeSink *sink, ImageMetadata *kept) {
  Str8 file = *sink->buffer;
  WebPBitstreamFeatures features;
  if (!webp_complete(file) || file.size < WebpSignatureSize + 8 || WebPGetFeatures(file.str, file.size, &features) != VP8_STATUS_OK) {
    return false;
  }
  kept->iptc = Str8{};
  if (kept->exif.size > 0x7FFFFFF0) kept->exif = Str8{};
  if (kept->xmp.size > 0x7FFFFFF0) kept->xmp = Str8{};
  if (kept->icc.size > 0x7FFFFFF0) kept->icc = Str8{};
  u8 vp8x[10] = {};
  Str8 picture = str8_drop_front(file, WebpSignatureSize);
  if (memcmp(picture.str, "VP8X", 4) == 0 && picture.size >= 18) {
    memcpy(vp8x, picture.str + 8, 10);
    picture = str8_drop_front(picture, 18);
  } else {
    vp8x[0] = features.has_alpha ? 0x10 : 0;
    u64 w = (u64)features.width - 1, h = (u64)features.height - 1;
    u8 sizes[6] = {(u8)w, (u8)(w >> 8), (u8)(w >> 16), (u8)h, (u8)(h >> 8), (u8)(h >> 16)};
    memcpy(vp8x + 4, sizes, 6);
  }
  vp8x[0] |= (kept->icc.size ? 0x20 : 0) | (kept->exif.size ? 0x08 : 0) | (kept->xmp.size ? 0x04 : 0);
  u64 total = WebpSignatureSize + 18 + picture.size;
  const Str8 blocks[3] = {kept->icc, kept->exif, kept->xmp};
  for (Str8 block : blocks) total += block.size ? 8 + block.size + (block.size & 1) : 0;
  if (total - 8 > 0xFFFFFFFF) return false;
  u8 *out = (u8 *)arena_alloc(sink->arena, total, 8);
  memcpy(out, "RIFF", 4);
  put_le32(out + 4, total - 8);
  memcpy(out + 8, "WEBP", 4);
  u64 at = WebpSignatureSize;
  at += webp_chunk_put(out + at, "VP8X", Str8{vp8x, 10});
  if (kept->icc.size) at += webp_chunk_put(out + at, "ICCP", kept->icc);
  memcpy(out + at, picture.str, picture.size);
  at += picture.size;
  if (kept->exif.size) at += webp_chunk_put(out + at, "EXIF", kept->exif);
  if (kept->xmp.size) at += webp_chunk_put(out + at, "XMP ", kept->xmp);
  *sink->buffer = Str8{out, at};
  return true;
}

static bool webp_encode_kept(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                             int quality, bool lossless, ImageMetadata *kept) {
  return webp_encode(sink, pixels, size, width, height, channels, quality, lossless) && webp_embed(sink, kept);
}

//~ Entry
// libwebp prints only when built for debugging.
const ImageFormat FormatWebp = {
    .file_type = FileTypeWebp, .name = str8_lit("WEBP"), .extension = str8_lit("webp"), .other_extension = Str8{},
    .signature_size = WebpSignatureSize, .signature = str8_lit("RIFF????WEBP"),
    .keeps_alpha = true, .takes_quality = true, .can_be_lossless = true,
    .starts_as = webp_starts_as, .complete = webp_complete, .probe = webp_probe, .photo_tags = webp_photo_tags,
    .scan_count = nullptr, .scan_limit = 0, .decode_heap = webp_decode_heap,
    .encode = webp_encode,
    .metadata = webp_metadata, .holds = HoldsExif | HoldsXmp | HoldsIcc, .encode_kept = webp_encode_kept,
    .library = Str8{},
};
