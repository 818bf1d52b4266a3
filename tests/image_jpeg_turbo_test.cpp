#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <lcms2.h>

#include "convert/image/image.h"
#include "test_images.h"

// The mean difference of two pictures' samples, and the largest.
static void differences(Str8 a, const Bytes &b, f64 *mean, u32 *most) {
  ASSERT_EQ(a.size, b.size());
  u64 total = 0;
  *most = 0;
  for (u64 i = 0; i < b.size(); i += 1) {
    u32 d = (u32)abs((int)a.str[i] - (int)b[i]);
    total += d;
    *most = d > *most ? d : *most;
  }
  *mean = (f64)total / (f64)b.size();
}

// The JPEGs stb refuses and libjpeg reads (arithmetic coding, stray bytes before a marker, an
// APP14 segment shorter than its length field) convert through the JPEG entry at their size
// and close to their pixels; cut short they wait; 12-bit ones are refused with a reason.
TEST_F(ConvertCodec, JpegsStbRefusesAreReadByLibjpeg) {
  const u32 W = 61, H = 45;
  Bytes px = gradient(W, H, 3);
  const ImageFormat *jpeg = format_of_type(FileTypeJpeg);

  Bytes plain = libjpeg_file(px, W, H, 3, {});
  // stray bytes before the start-of-scan marker, after the frame header (stb refuses those)
  Bytes stray = plain;
  for (u64 at = 2; at + 1 < stray.size(); at += 1) {
    if (stray[at] == 0xFF && stray[at + 1] == 0xDA) {
      stray.insert(stray.begin() + (long)at, {0x00, 0x17, 0x2A});
      break;
    }
  }
  ASSERT_EQ(stray.size(), plain.size() + 3);
  // an APP14 whose length field is 0, before the frame header
  Bytes short_app14 = plain;
  short_app14.insert(short_app14.begin() + 2, {0xFF, 0xEE, 0x00, 0x00});
  Bytes arithmetic = libjpeg_file(px, W, H, 3, {true, false, false, {}});
  Bytes arithmetic_progressive = libjpeg_file(px, W, H, 3, {true, true, false, {}});
  Bytes grey = gradient(W, H, 1);
  Bytes arithmetic_grey = libjpeg_file(grey, W, H, 1, {true, false, false, {}});

  // the pixels of the same coefficients Huffman-coded, as stb decodes them
  Bytes colour_pixels = bytes_of(codec_decode_8(arena, view(plain), W, H, 3).pixels);
  Bytes grey_pixels = bytes_of(codec_decode_8(arena, view(libjpeg_file(grey, W, H, 1, {})), W, H, 1).pixels);

  struct Case {
    const char *name;
    const Bytes *file;
    const Bytes *pixels;
    u32 channels;
  } cases[] = {{"stray bytes", &stray, &colour_pixels, 3},
               {"short APP14", &short_app14, &colour_pixels, 3},
               {"arithmetic", &arithmetic, &colour_pixels, 3},
               {"arithmetic progressive", &arithmetic_progressive, &colour_pixels, 3},
               {"arithmetic grey", &arithmetic_grey, &grey_pixels, 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CodecProbe probe;
    // stb refuses it, or (stray bytes after the frame header) hands over pixels it never decoded
    f64 mean = 0;
    u32 most = 0;
    Str8 by_stb = codec_decode_8(arena, view(*c.file), W, H, c.channels).pixels;
    if (by_stb.size) differences(by_stb, *c.pixels, &mean, &most);
    EXPECT_TRUE(by_stb.size == 0 || mean > 20) << "stb reads it";
    ASSERT_EQ(format_of_bytes(view(*c.file)), jpeg);
    EXPECT_TRUE(jpeg->complete(view(*c.file)));
    ASSERT_TRUE(jpeg->probe(view(*c.file), &probe)) << probe.failure.reason;
    EXPECT_EQ(probe.width, W);
    EXPECT_EQ(probe.height, H);
    EXPECT_EQ(probe.channels, c.channels);
    EXPECT_LE(jpeg->scan_count(view(*c.file)), jpeg->scan_limit);
    CodecDecoded d = jpeg->decode_heap(view(*c.file), W, H, c.channels);
    ASSERT_TRUE(d.pixels.size) << d.failure.reason;
    differences(d.pixels, *c.pixels, &mean, &most);
    EXPECT_LT(mean, 0.5);
    EXPECT_LE(most, 3u);
    codec_heap_release(d.pixels.str);
    // the other layouts a target may ask for: grey is the luma plane, alpha opaque
    for (u32 want : {1u, 2u, 4u}) {
      d = jpeg->decode_heap(view(*c.file), W, H, want);
      ASSERT_EQ(d.pixels.size, (u64)W * H * want) << want;
      if (want >= 2) {
        EXPECT_EQ(d.pixels.str[want == 2 ? 1 : 3], 255);
      }
      codec_heap_release(d.pixels.str);
    }
  }

  // an arithmetic file cut short is still being written
  for (u64 keep : {arithmetic.size() - 2, arithmetic.size() / 2, (u64)200}) {
    Bytes cut(arithmetic.begin(), arithmetic.begin() + (long)keep);
    EXPECT_FALSE(jpeg->complete(view(cut))) << keep;
  }

  // 12-bit samples: a frame header saying so is refused, with the decoders' reason
  Bytes twelve = plain;
  for (u64 at = 2; at + 4 < twelve.size(); at += 1) {
    if (twelve[at] == 0xFF && twelve[at + 1] == 0xC0) {
      twelve[at + 1] = 0xC1;
      twelve[at + 4] = 12;
      break;
    }
  }
  CodecProbe probe;
  EXPECT_TRUE(jpeg->complete(view(twelve)));
  EXPECT_FALSE(jpeg->probe(view(twelve), &probe));
  EXPECT_EQ(probe.width, W);
  EXPECT_NE(std::string(probe.failure.reason).find("8-bit"), std::string::npos) << probe.failure.reason;
}

// The CMYK values libjpeg decodes from a file, as stored.
static Bytes libjpeg_inks(const Bytes &file, u32 width, u32 height) {
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), file.size());
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_CMYK;
  jpeg_start_decompress(&info);
  Bytes inks((u64)width * height * 4);
  while (info.output_scanline < height) {
    JSAMPROW row = inks.data() + (u64)info.output_scanline * width * 4;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return inks;
}

// CMYK and YCCK JPEGs with a CMYK profile come out as lcms2 converts their inks (Adobe's
// inverted storing); without a profile, as stb shows them.
TEST_F(ConvertCodec, CmykJpegsTakeTheirColoursFromTheirProfile) {
  const u32 W = 40, H = 32;
  Bytes inks = gradient(W, H, 4);
  Bytes profile = cmyk_test_profile();
  const ImageFormat *jpeg = format_of_type(FileTypeJpeg);

  cmsHPROFILE cmyk = cmsOpenProfileFromMem(profile.data(), (cmsUInt32Number)profile.size());
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  ASSERT_TRUE(cmyk);
  cmsHTRANSFORM transform = cmsCreateTransform(cmyk, TYPE_CMYK_8_REV, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  ASSERT_TRUE(transform);

  for (bool ycck : {false, true}) {
    SCOPED_TRACE(ycck ? "YCCK" : "CMYK");
    Bytes file = libjpeg_file(inks, W, H, 4, {false, false, ycck, profile});
    CodecProbe probe;
    ASSERT_TRUE(jpeg->probe(view(file), &probe));
    ASSERT_EQ(probe.channels, 3u);
    EXPECT_EQ(jpeg->photo_tags(arena, view(file)).icc_profile.size, profile.size());

    Bytes stored = libjpeg_inks(file, W, H), expected((u64)W * H * 3);
    cmsDoTransform(transform, stored.data(), expected.data(), W * H);
    CodecDecoded d = jpeg->decode_heap(view(file), W, H, 3);
    f64 mean = 0;
    u32 most = 0;
    differences(d.pixels, expected, &mean, &most);
    EXPECT_LE(most, 3u);
    // the naive conversion is far from the profile's: the test tells the two apart
    Str8 naive = codec_decode_8(arena, view(file), W, H, 3).pixels;
    differences(naive, expected, &mean, &most);
    EXPECT_GT(mean, 4.0);
    codec_heap_release(d.pixels.str);

    // grey is the luma of the converted colours
    d = jpeg->decode_heap(view(file), W, H, 1);
    ASSERT_EQ(d.pixels.size, (u64)W * H);
    for (u64 i = 0; i < (u64)W * H; i += 1) {
      const u8 *p = expected.data() + i * 3;
      ASSERT_NEAR(d.pixels.str[i], (p[0] * 77 + p[1] * 150 + p[2] * 29) >> 8, 3) << i;
    }
    codec_heap_release(d.pixels.str);

    // without its profile, stb's own conversion
    Bytes bare = libjpeg_file(inks, W, H, 4, {false, false, ycck, {}});
    d = jpeg->decode_heap(view(bare), W, H, 3);
    EXPECT_EQ(bytes_of(d.pixels), bytes_of(codec_decode_8(arena, view(bare), W, H, 3).pixels));
    codec_heap_release(d.pixels.str);
  }
  cmsDeleteTransform(transform);
  cmsCloseProfile(cmyk);
  cmsCloseProfile(srgb);
}
