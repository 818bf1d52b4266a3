#include <gtest/gtest.h>

#include <jxl/encode.h>

#include <cstring>
#include <string>

#include "convert/image/image.h"
#include "test_images.h"

namespace {

// A JPEG XL through libjxl's own encoder: one frame per picture (an animation when several),
// lossless or at a distance, with the header's orientation; or a JPEG recompressed.
struct JxlOptions {
  bool lossless = true;
  float distance = 1.0f;
  u32 orientation = 1;
  bool container = false;
  const Bytes *jpeg = nullptr;
  u32 layer = 0; // a single frame of layer x layer pixels, cropped onto the picture
};

Bytes libjxl_file(const std::vector<Bytes> &frames, u32 width, u32 height, u32 channels, const JxlOptions &o) {
  JxlEncoder *enc = JxlEncoderCreate(nullptr);
  EXPECT_EQ(JxlEncoderUseContainer(enc, o.container || o.jpeg ? JXL_TRUE : JXL_FALSE), JXL_ENC_SUCCESS);
  JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
  JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, 3);
  if (o.jpeg) {
    EXPECT_EQ(JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE), JXL_ENC_SUCCESS);
    EXPECT_EQ(JxlEncoderAddJPEGFrame(settings, o.jpeg->data(), o.jpeg->size()), JXL_ENC_SUCCESS);
  } else {
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = width;
    info.ysize = height;
    info.bits_per_sample = 8;
    info.num_color_channels = channels <= 2 ? 1 : 3;
    info.alpha_bits = channels % 2 == 0 ? 8 : 0;
    info.num_extra_channels = channels % 2 == 0 ? 1 : 0;
    info.uses_original_profile = o.lossless ? JXL_TRUE : JXL_FALSE;
    info.orientation = (JxlOrientation)o.orientation;
    if (frames.size() > 1) {
      info.have_animation = JXL_TRUE;
      info.animation.tps_numerator = 10;
      info.animation.tps_denominator = 1;
    }
    EXPECT_EQ(JxlEncoderSetBasicInfo(enc, &info), JXL_ENC_SUCCESS);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, channels <= 2 ? JXL_TRUE : JXL_FALSE);
    EXPECT_EQ(JxlEncoderSetColorEncoding(enc, &srgb), JXL_ENC_SUCCESS);
    if (o.lossless) {
      JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    } else {
      JxlEncoderSetFrameDistance(settings, o.distance);
    }
    JxlPixelFormat format = {channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (const Bytes &frame : frames) {
      if (frames.size() > 1 || o.layer) {
        JxlFrameHeader header;
        JxlEncoderInitFrameHeader(&header);
        header.duration = 1;
        header.layer_info.have_crop = o.layer ? JXL_TRUE : JXL_FALSE;
        header.layer_info.xsize = o.layer;
        header.layer_info.ysize = o.layer;
        EXPECT_EQ(JxlEncoderSetFrameHeader(settings, &header), JXL_ENC_SUCCESS);
      }
      EXPECT_EQ(JxlEncoderAddImageFrame(settings, &format, frame.data(), frame.size()), JXL_ENC_SUCCESS);
    }
  }
  JxlEncoderCloseInput(enc);
  Bytes out(4096);
  u8 *next = out.data();
  size_t avail = out.size();
  JxlEncoderStatus status;
  while ((status = JxlEncoderProcessOutput(enc, &next, &avail)) == JXL_ENC_NEED_MORE_OUTPUT) {
    size_t used = next - out.data();
    out.resize(out.size() * 2);
    next = out.data() + used;
    avail = out.size() - used;
  }
  EXPECT_EQ(status, JXL_ENC_SUCCESS);
  out.resize(next - out.data());
  JxlEncoderDestroy(enc);
  return out;
}

struct Decoded {
  Bytes pixels;
  u64 width = 0, height = 0;
  std::string reason;
};

Decoded decode(const Bytes &jxl, u64 width, u64 height, u32 channels) {
  CodecDecoded d = FormatJxl.decode_heap(view(jxl), width, height, channels);
  Decoded out;
  out.pixels = bytes_of(d.pixels);
  out.width = d.width;
  out.height = d.height;
  out.reason = std::string((const char *)codec_failure_reason(&d.failure).str, codec_failure_reason(&d.failure).size);
  if (d.pixels.str) codec_heap_release(d.pixels.str);
  return out;
}

// The mean difference of a sample between two pictures of the same size (lossy coding blurs
// the gradient's sharp wrap-arounds, so the largest one says little).
double mean_difference(const Bytes &a, const Bytes &b) {
  EXPECT_EQ(a.size(), b.size());
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (u64 i = 0; i < a.size(); i += 1) sum += std::abs((int)a[i] - (int)b[i]);
  return sum / (double)a.size();
}

// A picture without sharp edges, for lossy coding to come near.
Bytes smooth(u64 width, u64 height, u32 channels) {
  Bytes out(width * height * channels);
  for (u64 y = 0; y < height; y += 1) {
    for (u64 x = 0; x < width; x += 1) {
      for (u32 c = 0; c < channels; c += 1) out[(y * width + x) * channels + c] = (u8)(x * 120 / width + y * 80 / height + c * 20);
    }
  }
  return out;
}

} // namespace

// Files of libjxl's encoder, both forms: what the probe, the tags and the decoder give, and
// files still being written left waiting.
TEST_F(ConvertCodec, JxlReadsWhatLibjxlWrites) {
  Bytes rgb = gradient(40, 30, 3);
  Bytes rgba = smooth(40, 30, 4);
  Bytes other = gradient(40, 30, 3);
  for (u8 &v : other) v = (u8)(255 - v);

  // lossless: every sample back, from the bare codestream and from a container
  Bytes lossless = libjxl_file({rgb}, 40, 30, 3, {});
  Bytes boxed = libjxl_file({rgb}, 40, 30, 3, {.container = true});
  ASSERT_EQ(lossless[0], 0xFF);
  ASSERT_EQ(boxed[4], 'J');
  for (const Bytes *file : {&lossless, &boxed}) {
    ASSERT_EQ(format_of_bytes(view(*file)), &FormatJxl);
    CodecProbe probe;
    ASSERT_TRUE(FormatJxl.probe(view(*file), &probe));
    EXPECT_EQ(probe.width, 40u);
    EXPECT_EQ(probe.height, 30u);
    EXPECT_EQ(probe.channels, 3u);
    EXPECT_LE(probe.frames, 1u);
    EXPECT_TRUE(FormatJxl.complete(view(*file)));
    Decoded d = decode(*file, 40, 30, 3);
    ASSERT_EQ(d.pixels, rgb) << d.reason;
    EXPECT_EQ(decode(*file, 40, 30, 4).pixels.size(), 40u * 30 * 4);
    // not the size asked for: refused
    EXPECT_TRUE(decode(*file, 30, 40, 3).pixels.empty());
  }

  // lossy with alpha: near the picture, four channels; sRGB data converts to nothing
  Bytes lossy = libjxl_file({rgba}, 40, 30, 4, {.lossless = false, .distance = 1.0f});
  CodecProbe probe;
  ASSERT_TRUE(FormatJxl.probe(view(lossy), &probe));
  EXPECT_EQ(probe.channels, 4u);
  Decoded d = decode(lossy, 40, 30, 4);
  ASSERT_EQ(d.pixels.size(), rgba.size()) << d.reason;
  EXPECT_LE(mean_difference(d.pixels, rgba), 3.0);
  CodecPhotoTags tags = FormatJxl.photo_tags(arena, view(lossy));
  EXPECT_EQ(tags.orientation, 1u);
  ASSERT_GT(tags.icc_profile.size, 0u);
  EXPECT_EQ(color_to_srgb(tags.icc_profile), nullptr);

  // orientation 6: reported, the pixels left as stored
  Bytes turned = libjxl_file({rgb}, 40, 30, 3, {.orientation = 6});
  ASSERT_TRUE(FormatJxl.probe(view(turned), &probe));
  EXPECT_EQ(probe.width, 40u);
  EXPECT_EQ(probe.height, 30u);
  EXPECT_EQ(FormatJxl.photo_tags(arena, view(turned)).orientation, 6u);
  EXPECT_EQ(decode(turned, 40, 30, 3).pixels, rgb);

  // an animation: its frames counted, its first frame decoded
  Bytes animation = libjxl_file({rgb, other, rgb}, 40, 30, 3, {});
  ASSERT_TRUE(FormatJxl.probe(view(animation), &probe));
  EXPECT_EQ(probe.frames, 3u);
  EXPECT_EQ(decode(animation, 40, 30, 3).pixels, rgb);

  // a JPEG recompressed: its pixels, as a JPEG decoder gives them
  Bytes jpeg = bytes_of(encode_jpeg(rgb, 40, 30, 3, 90));
  Bytes recompressed = libjxl_file({}, 0, 0, 3, {.jpeg = &jpeg});
  ASSERT_TRUE(FormatJxl.probe(view(recompressed), &probe));
  EXPECT_EQ(probe.width, 40u);
  CodecDecoded from_jpeg = codec_decode_8_heap(view(jpeg), 40, 30, 3);
  d = decode(recompressed, 40, 30, 3);
  EXPECT_LE(mean_difference(d.pixels, bytes_of(from_jpeg.pixels)), 2.0) << d.reason;
  codec_heap_release(from_jpeg.pixels.str);

  // cut short anywhere, also in an animation's last frame: not complete (the decoder asks for
  // more); a single picture is never decoded from part of it
  for (const Bytes *file : {&lossless, &boxed, &lossy, &animation, &recompressed}) {
    for (u64 keep : {file->size() - 1, file->size() * 3 / 4, file->size() / 2, (u64)20, (u64)2}) {
      Bytes cut(file->begin(), file->begin() + keep);
      EXPECT_FALSE(FormatJxl.complete(view(cut))) << keep << " of " << file->size();
      if (file != &animation) {
        EXPECT_TRUE(decode(cut, 40, 30, 3).pixels.empty());
      }
    }
  }
  // a frame coded far larger than the picture (the decoder would allocate for all of it):
  // refused from its header, before decoding
  Bytes layer = libjxl_file({Bytes(1100 * 1100 * 3, 90)}, 16, 16, 3, {.layer = 1100});
  ASSERT_TRUE(FormatJxl.probe(view(layer), &probe));
  EXPECT_EQ(probe.width, 16u);
  CodecDecoded over = FormatJxl.decode_heap(view(layer), 16, 16, 3);
  EXPECT_EQ(over.pixels.size, 0u);
  EXPECT_EQ(over.failure.kind, (u32)DecodeOverBudget);

  // the start of a container's signature is not yet a file of no format
  for (u64 keep = 1; keep < 12; keep += 1) EXPECT_TRUE(format_may_become(str8(boxed.data(), keep))) << keep;
}

// Our JXL targets: lossy near the picture, lossless exact (alpha and grey too), the same bytes
// every time, and the kept metadata in the container's boxes where a reader finds it.
TEST_F(ConvertCodec, JxlTargetsDecodeBack) {
  Bytes rgb = smooth(64, 48, 3);
  Bytes lossy = bytes_of(encode_as(FileTypeJxl, rgb, 64, 48, 3, 80, false));
  ASSERT_EQ(format_of_bytes(view(lossy)), &FormatJxl);
  EXPECT_TRUE(FormatJxl.complete(view(lossy)));
  CodecProbe probe;
  ASSERT_TRUE(FormatJxl.probe(view(lossy), &probe));
  EXPECT_EQ(probe.width, 64u);
  EXPECT_EQ(probe.height, 48u);
  EXPECT_EQ(probe.channels, 3u);
  Decoded d = decode(lossy, 64, 48, 3);
  EXPECT_LE(mean_difference(d.pixels, rgb), 3.0) << d.reason;
  EXPECT_EQ(bytes_of(encode_as(FileTypeJxl, rgb, 64, 48, 3, 80, false)), lossy);
  // a lower quality, a smaller file
  Bytes detail = gradient(64, 48, 3);
  EXPECT_LT(bytes_of(encode_as(FileTypeJxl, detail, 64, 48, 3, 30, false)).size(),
            bytes_of(encode_as(FileTypeJxl, detail, 64, 48, 3, 80, false)).size());
  EXPECT_FLOAT_EQ(jxl_distance_of_quality(90), 1.0f);
  EXPECT_FLOAT_EQ(jxl_distance_of_quality(30), 6.4f);

  for (u32 channels : {4u, 2u, 1u, 3u}) {
    Bytes px = gradient(37, 23, channels);
    Bytes exact = bytes_of(encode_as(FileTypeJxl, px, 37, 23, channels, 0, true));
    ASSERT_TRUE(FormatJxl.probe(view(exact), &probe));
    EXPECT_EQ(probe.channels, channels);
    EXPECT_EQ(decode(exact, 37, 23, channels).pixels, px) << channels;
  }

  // kept metadata: Exif and XMP in boxes, the profile in the header; IPTC has no place
  Bytes exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0};
  std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
  ImageMetadata kept = {};
  kept.exif = view(exif);
  kept.xmp = str8((const u8 *)xmp.data(), xmp.size());
  kept.iptc = str8_lit("iptc");
  kept.icc = color_srgb_profile();
  Str8 out = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &out, rgb.size());
  ASSERT_TRUE(FormatJxl.encode_kept(&sink, rgb.data(), rgb.size(), 64, 48, 3, 80, false, &kept));
  EXPECT_EQ(kept.iptc.size, 0u);
  EXPECT_GT(kept.icc.size, 0u);
  EXPECT_TRUE(FormatJxl.complete(out));
  ImageMetadata read = FormatJxl.metadata(arena, out);
  EXPECT_EQ(bytes_of(read.exif), exif);
  EXPECT_EQ(std::string((const char *)read.xmp.str, read.xmp.size), xmp);
  EXPECT_GT(read.icc.size, 0u);
  EXPECT_EQ(color_to_srgb(read.icc), nullptr); // the sRGB it was written in
  EXPECT_LE(mean_difference(decode(bytes_of(out), 64, 48, 3).pixels, rgb), 3.0);
}
