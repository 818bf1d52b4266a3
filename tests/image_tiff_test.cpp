#include <gtest/gtest.h>

#include <lcms2.h>
#include <tiffio.h>

#include <cstdlib>

#include "convert/image/image.h"
#include "test_images.h"

//~ Tests
namespace {
// A small CMYK profile of lcms2's own making: a 2-node table from inks to Lab.
Bytes cmyk_profile() {
  cmsHPROFILE h = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(h, 2.1);
  cmsSetDeviceClass(h, cmsSigOutputClass);
  cmsSetColorSpace(h, cmsSigCmykData);
  cmsSetPCS(h, cmsSigLabData);
  cmsUInt16Number table[16 * 3];
  for (u32 node = 0; node < 16; node += 1) {
    // nodes run with the last ink fastest: c m y k
    f64 c = node >> 3 & 1, m = node >> 2 & 1, y = node >> 1 & 1, k = node & 1;
    table[node * 3 + 0] = (cmsUInt16Number)(65535 * (1 - k * 0.85) * (1 - (c + m + y) * 0.25));
    table[node * 3 + 1] = (cmsUInt16Number)(32896 + 9000 * (m - c));
    table[node * 3 + 2] = (cmsUInt16Number)(32896 + 9000 * (y - m));
  }
  cmsPipeline *pipe = cmsPipelineAlloc(nullptr, 4, 3);
  cmsPipelineInsertStage(pipe, cmsAT_END, cmsStageAllocCLut16bit(nullptr, 2, 4, 3, table));
  cmsWriteTag(h, cmsSigAToB0Tag, pipe);
  cmsWriteTag(h, cmsSigMediaWhitePointTag, cmsD50_XYZ());
  cmsPipelineFree(pipe);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(h, nullptr, &size);
  Bytes bytes(size);
  cmsSaveProfileToMem(h, bytes.data(), &size);
  cmsCloseProfile(h);
  return bytes;
}

// The largest difference between two pictures of the same size.
int max_difference(Str8 a, const Bytes &b) {
  if (a.size != b.size()) return 1000;
  int most = 0;
  for (u64 i = 0; i < a.size; i += 1) most = std::max(most, std::abs((int)a.str[i] - (int)b[i]));
  return most;
}

struct Decoded {
  CodecProbe probe;
  Bytes pixels;
};

Decoded read_tiff(const Bytes &file) {
  Decoded d = {};
  const ImageFormat *format = format_of_bytes(view(file));
  EXPECT_EQ(format, &FormatTiff);
  if (format != &FormatTiff || !tiff_complete(view(file)) || !tiff_probe(view(file), &d.probe)) return d;
  CodecDecoded got = tiff_decode_heap(view(file), d.probe.width, d.probe.height, d.probe.channels);
  EXPECT_EQ(got.failure.kind, (u32)DecodeOk) << codec_failure_reason(&got.failure).str;
  d.pixels = bytes_of(got.pixels);
  if (got.pixels.size) codec_heap_release(got.pixels.str);
  return d;
}
} // namespace

TEST_F(ConvertCodec, TiffLayoutsAndCompressionsDecodeToTheirPixels) {
  const u32 w = 37, h = 23;
  // 8-bit RGB, LZW, strips
  Bytes rgb = gradient(w, h, 3);
  Decoded d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_RGB,
                                    .compression = COMPRESSION_LZW, .pixels = rgb}}));
  EXPECT_EQ(d.probe.channels, 3u);
  EXPECT_FALSE(d.probe.deep);
  EXPECT_EQ(d.pixels, rgb);

  // 16-bit RGB, Deflate, tiles that overhang the picture: reduced as (v + 128) / 257, with the note's flag
  std::vector<u16> deep(w * h * 3);
  TestRng rng{77};
  for (u16 &v : deep) v = (u16)rng.next();
  deep[0] = 128, deep[1] = 32896, deep[2] = 65535;
  Bytes expected(deep.size());
  for (u64 i = 0; i < deep.size(); i += 1) expected[i] = (u8)((deep[i] + 128) / 257);
  d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 3, .bits = 16, .photometric = PHOTOMETRIC_RGB,
                            .compression = COMPRESSION_ADOBE_DEFLATE, .tile = 16, .pixels = tiff_samples16(deep)}}));
  EXPECT_TRUE(d.probe.deep);
  EXPECT_EQ(d.probe.channels, 3u);
  EXPECT_EQ(d.pixels, expected);

  // grey, min-is-white, PackBits: white is 0
  Bytes grey = gradient(w, h, 1);
  Bytes inverted = grey;
  for (u8 &v : inverted) v = 255 - v;
  d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 1, .bits = 8, .photometric = PHOTOMETRIC_MINISWHITE,
                            .compression = COMPRESSION_PACKBITS, .pixels = inverted}}));
  EXPECT_EQ(d.probe.channels, 1u);
  EXPECT_EQ(d.pixels, grey);

  // palette: 16-bit colour map entries to 8-bit levels
  std::vector<u16> map(256 * 3);
  for (u32 i = 0; i < 256; i += 1) map[i] = (u16)(i * 257), map[256 + i] = (u16)((255 - i) * 257), map[512 + i] = (u16)((i * 7 % 256) * 257);
  Bytes palette_rgb(w * h * 3);
  for (u64 i = 0; i < w * h; i += 1) {
    palette_rgb[i * 3] = grey[i], palette_rgb[i * 3 + 1] = 255 - grey[i], palette_rgb[i * 3 + 2] = (u8)(grey[i] * 7 % 256);
  }
  d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 1, .bits = 8, .photometric = PHOTOMETRIC_PALETTE,
                            .colormap = map, .pixels = grey}}));
  EXPECT_EQ(d.probe.channels, 3u);
  EXPECT_EQ(d.pixels, palette_rgb);

  // RGBA, unassociated alpha, in separate planes: as stored
  Bytes rgba = gradient(w, h, 4);
  for (u64 i = 3; i < rgba.size(); i += 4) rgba[i] = (u8)(64 + i % 192);
  d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 4, .bits = 8, .photometric = PHOTOMETRIC_RGB,
                            .extra = EXTRASAMPLE_UNASSALPHA, .separate = true, .pixels = rgba}}));
  EXPECT_EQ(d.probe.channels, 4u);
  EXPECT_EQ(d.pixels, rgba);

  // associated (premultiplied) alpha: divided out again, within what premultiplying rounded away
  Bytes premultiplied = rgba;
  for (u64 i = 0; i < premultiplied.size(); i += 4) {
    for (u32 k = 0; k < 3; k += 1) premultiplied[i + k] = (u8)((rgba[i + k] * rgba[i + 3] + 127) / 255);
  }
  d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 4, .bits = 8, .photometric = PHOTOMETRIC_RGB,
                            .compression = COMPRESSION_LZW, .extra = EXTRASAMPLE_ASSOCALPHA, .pixels = premultiplied}}));
  EXPECT_EQ(d.probe.channels, 4u);
  EXPECT_LE(max_difference(view(d.pixels), rgba), 2);

  // YCbCr through JPEG, handed over as RGB by the library: close to the colours written
  Bytes photo(64 * 48 * 3);
  for (u32 y = 0; y < 48; y += 1) {
    for (u32 x = 0; x < 64; x += 1) {
      u8 *p = &photo[(y * 64 + x) * 3];
      p[0] = (u8)(x * 4), p[1] = (u8)(y * 5), p[2] = (u8)((x + y) * 2);
    }
  }
  d = read_tiff(tiff_file({{.width = 64, .height = 48, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_YCBCR,
                            .compression = COMPRESSION_JPEG, .rows_per_strip = 16, .pixels = photo}}));
  EXPECT_EQ(d.probe.channels, 3u);
  EXPECT_LE(max_difference(view(d.pixels), photo), 16);

  // bilevel, 1 bit a pixel, CCITT group 4, through the library's own reader: black and white stay so
  Bytes bits((w + 7) / 8 * h);
  for (u64 i = 0; i < bits.size(); i += 1) bits[i] = (u8)(0xA5 ^ i);
  d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 1, .bits = 1, .photometric = PHOTOMETRIC_MINISBLACK,
                            .compression = COMPRESSION_CCITTFAX4, .pixels = bits}}));
  ASSERT_EQ(d.pixels.size(), (u64)w * h);
  for (u32 y = 0; y < h; y += 1) {
    for (u32 x = 0; x < w; x += 1) {
      bool set = bits[y * ((w + 7) / 8) + x / 8] >> (7 - x % 8) & 1;
      ASSERT_EQ(d.pixels[y * w + x], set ? 255 : 0) << x << "," << y;
    }
  }

  // CMYK: by its inks without a profile, through its profile with one (as lcms2 converts it)
  Bytes cmyk = noise(w * h * 4, 5);
  Bytes naive(w * h * 3);
  for (u64 i = 0; i < w * h; i += 1) {
    for (u32 k = 0; k < 3; k += 1) naive[i * 3 + k] = (u8)((255 - cmyk[i * 4 + k]) * (255 - cmyk[i * 4 + 3]) / 255.0 + 0.5);
  }
  d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 4, .bits = 8, .photometric = PHOTOMETRIC_SEPARATED,
                            .compression = COMPRESSION_LZW, .pixels = cmyk}}));
  EXPECT_EQ(d.probe.channels, 3u);
  EXPECT_LE(max_difference(view(d.pixels), naive), 1);

  Bytes profile = cmyk_profile();
  Bytes reference(w * h * 3);
  cmsHPROFILE in = cmsOpenProfileFromMem(profile.data(), (cmsUInt32Number)profile.size());
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM t = cmsCreateTransform(in, TYPE_CMYK_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  ASSERT_NE(t, nullptr);
  cmsDoTransform(t, cmyk.data(), reference.data(), w * h);
  cmsDeleteTransform(t);
  cmsCloseProfile(srgb);
  cmsCloseProfile(in);
  d = read_tiff(tiff_file({{.width = w, .height = h, .samples = 4, .bits = 8, .photometric = PHOTOMETRIC_SEPARATED,
                            .icc = profile, .pixels = cmyk}}));
  EXPECT_LE(max_difference(view(d.pixels), reference), 3);
  EXPECT_GT(max_difference(view(d.pixels), naive), 10); // the profile did change the colours
}

TEST_F(ConvertCodec, TiffPagesTagsCompletenessAndCameraRaw) {
  const u32 w = 30, h = 20;
  Bytes first = gradient(w, h, 3), second = noise(w * h * 3, 9);
  Bytes icc = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'r', 'o', 'f', 'i', 'l', 'e'};
  Bytes file = tiff_file({{.width = w, .height = h, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_RGB,
                           .compression = COMPRESSION_LZW, .orientation = ORIENTATION_RIGHTTOP, .icc = icc, .pixels = first},
                          {.width = w, .height = h, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_RGB, .pixels = second}});
  // two pages: the first decoded, both counted
  Decoded d = read_tiff(file);
  EXPECT_EQ(d.probe.frames, 2u);
  EXPECT_EQ(d.pixels, first);
  // its orientation and profile tags, as a viewer applies them
  CodecPhotoTags tags = tiff_photo_tags(arena, view(file));
  EXPECT_EQ(tags.orientation, 6u);
  EXPECT_EQ(bytes_of(tags.icc_profile), icc);

  // cut anywhere, it waits for the rest; libtiff writes each directory after its page's data
  for (u64 size = 0; size < file.size(); size += 1) {
    Bytes cut(file.begin(), file.begin() + size);
    ASSERT_FALSE(tiff_complete(view(cut))) << size;
  }
  // a strip that reaches past the end: declared bytes count, not where the directory is
  Bytes lying = file;
  u64 strips = 0;
  ASSERT_TRUE(tiff_complete(view(lying)));
  for (u64 at = 8; at + 12 <= lying.size() && !strips; at += 2) {
    // the first directory's StripByteCounts entry (tag 279, LONG or SHORT) found by its bytes
    if (read_le16(lying.data() + at) == 279 && read_le16(lying.data() + at + 2) <= 4) strips = at;
  }
  ASSERT_NE(strips, 0u);
  u64 at = read_le32(lying.data() + strips + 8);
  u64 type = read_le16(lying.data() + strips + 2);
  if (read_le32(lying.data() + strips + 4) * (type == 3 ? 2 : 4) <= 4) at = strips + 8;
  lying[at + (type == 3 ? 1 : 2)] = 0x7F; // a strip of millions of bytes
  EXPECT_FALSE(tiff_complete(view(lying)));

  // BigTIFF reads the same
  Bytes big = tiff_file({{.width = w, .height = h, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_RGB, .big = true, .pixels = first}});
  ASSERT_EQ(memcmp(big.data(), "II+\0", 4), 0);
  EXPECT_EQ(read_tiff(big).pixels, first);
  // and so does the big-endian order, its structure walked as whole and its tags read
  Bytes motorola = tiff_file({{.width = w, .height = h, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_RGB,
                               .orientation = ORIENTATION_RIGHTTOP, .big_endian = true, .pixels = first}});
  ASSERT_EQ(memcmp(motorola.data(), "MM\0*", 4), 0);
  EXPECT_TRUE(tiff_complete(view(motorola)));
  EXPECT_EQ(tiff_photo_tags(arena, view(motorola)).orientation, 6u);
  EXPECT_EQ(read_tiff(motorola).pixels, first);

  // a camera's raw file built on TIFF is no picture of this format: it is developed as raw
  Bytes dng = tiff_file({{.width = w, .height = h, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_RGB, .dng = true, .pixels = first}});
  ASSERT_FALSE(dng.empty());
  EXPECT_EQ(format_of_bytes(view(dng)), &FormatRaw);

  // read, not written; both extensions kept on the copy
  EXPECT_EQ(FormatTiff.encode, nullptr);
  EXPECT_TRUE(str8_equals(format_copy_extension(FileTypeTiff, str8_lit("scan.TIFF")), str8_lit("tiff"), 0));
  EXPECT_TRUE(str8_equals(format_copy_extension(FileTypeTiff, str8_lit("scan.tif")), str8_lit("tif"), 0));

  // damaged data fails with the library's words, printing nothing
  Bytes damaged = tiff_file({{.width = w, .height = h, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_RGB,
                              .compression = COMPRESSION_LZW, .rows_per_strip = h, .pixels = first}});
  for (u64 i = 40; i < 120; i += 1) damaged[i] = 0xFF;
  testing::internal::CaptureStderr();
  CodecProbe p;
  bool probed = tiff_probe(view(damaged), &p);
  CodecDecoded fail = tiff_decode_heap(view(damaged), w, h, 3);
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(probed);
  EXPECT_EQ(fail.pixels.size, 0u);
  EXPECT_EQ(fail.failure.kind, (u32)DecodeRefused);
  EXPECT_GT(codec_failure_reason(&fail.failure).size, 0u);
  EXPECT_EQ(printed, "");
}
