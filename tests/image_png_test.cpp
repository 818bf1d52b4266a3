#include <gtest/gtest.h>

#include <libdeflate.h>

#include <cmath>

#include "convert/image/image.h"
#include "test_images.h"

TEST_F(ConvertCodec, PngRoundTripEveryChannelCount) {
  for (u32 comps = 1; comps <= 4; comps += 1) {
    Bytes px = gradient(37, 23, comps);
    Str8 png = encode_png(px, 37, 23, comps);
    ASSERT_GT(png.size, 8u);
    EXPECT_EQ(png.str[0], 0x89);
    EXPECT_EQ(png.str[1], 'P');

    CodecProbe probe;
    ASSERT_TRUE(codec_probe(png, &probe));
    EXPECT_EQ(probe.width, 37u);
    EXPECT_EQ(probe.height, 23u);
    EXPECT_EQ(probe.channels, comps);
    EXPECT_EQ(probe.bytes_per_channel, 1u);
    EXPECT_FALSE(codec_is_16_bit(png));

    Str8 back = codec_decode_8(arena, png, 37, 23, comps).pixels;
    EXPECT_EQ(bytes_of(back), px) << comps;

    // any other channel count decodes to its own packed size
    Str8 rgba = codec_decode_8(arena, png, 37, 23, 4).pixels;
    EXPECT_EQ(rgba.size, 37u * 23u * 4u);
  }
}

TEST_F(ConvertCodec, SixteenBitPngProbesAndReduces) {
  // RGB, 2 × 2, 16 bits: samples chosen where (v + 128) / 257 differs from v >> 8
  const u16 samples[12] = {0, 127, 128, 129, 200, 1000, 32767, 32896, 65000, 65407, 65535, 385};
  Bytes rows;
  for (int y = 0; y < 2; y += 1) {
    rows.push_back(0);
    for (int i = 0; i < 6; i += 1) {
      u16 v = samples[y * 6 + i];
      rows.push_back((u8)(v >> 8));
      rows.push_back((u8)v);
    }
  }
  Bytes png = make_png(2, 2, 16, 2, rows);

  CodecProbe probe;
  ASSERT_TRUE(codec_probe(view(png), &probe));
  EXPECT_EQ(probe.width, 2u);
  EXPECT_EQ(probe.height, 2u);
  EXPECT_EQ(probe.channels, 3u);
  EXPECT_EQ(probe.bytes_per_channel, 2u);
  EXPECT_TRUE(codec_is_16_bit(view(png)));

  Str8 reduced = codec_decode_16_to_8(arena, view(png), 2, 2, 3).pixels;
  ASSERT_EQ(reduced.size, 12u);
  for (int i = 0; i < 12; i += 1) EXPECT_EQ(reduced.str[i], (u8)((samples[i] + 128) / 257)) << i;
  EXPECT_EQ(reduced.str[4], 1);
  EXPECT_EQ(reduced.str[5], 4);

  // the 8-bit decoder reads it too
  EXPECT_EQ(codec_decode_8(arena, view(png), 2, 2, 4).pixels.size, 16u);

  // grey 16-bit: one channel
  Bytes grey_rows = {0, 0x12, 0x34, 0xFF, 0xFF};
  Bytes grey = make_png(2, 1, 16, 0, grey_rows);
  ASSERT_TRUE(codec_probe(view(grey), &probe));
  EXPECT_EQ(probe.channels, 1u);
  EXPECT_EQ(probe.bytes_per_channel, 2u);
  Str8 g = codec_decode_16_to_8(arena, view(grey), 2, 1, 1).pixels;
  ASSERT_EQ(g.size, 2u);
  EXPECT_EQ(g.str[0], (0x1234 + 128) / 257);
  EXPECT_EQ(g.str[1], 255);
}

TEST(ConvertCodecHook, ZlibHookRoundTripsAndRefusesBadLevels) {
  Bytes data = gradient(100, 50, 3);
  int length = 0;
  unsigned char *z = zlib_compress_hook(data.data(), (int)data.size(), &length, 12);
  ASSERT_NE(z, nullptr);
  ASSERT_GT(length, 2);
  EXPECT_LT((u64)length, data.size());
  EXPECT_EQ(z[0] & 0x0F, 8); // deflate

  Bytes back(data.size());
  size_t got = 0;
  libdeflate_decompressor *d = libdeflate_alloc_decompressor();
  EXPECT_EQ(libdeflate_zlib_decompress(d, z, (size_t)length, back.data(), back.size(), &got), LIBDEFLATE_SUCCESS);
  libdeflate_free_decompressor(d);
  codec_heap_release(z);
  EXPECT_EQ(got, data.size());
  EXPECT_EQ(back, data);

  EXPECT_EQ(zlib_compress_hook(data.data(), (int)data.size(), &length, 13), nullptr);
  EXPECT_EQ(zlib_compress_hook(data.data(), -1, &length, 12), nullptr);
  unsigned char *empty = zlib_compress_hook(data.data(), 0, &length, 12);
  EXPECT_NE(empty, nullptr);
  codec_heap_release(empty);
}

// Without iCCP or sRGB, a PNG's gAMA and cHRM say what its numbers are, and the outputs are
// converted from them as a browser shows them: within 3 levels of the values worked out from
// the chunks. Chunks that describe sRGB, or an sRGB chunk beside them, leave the numbers alone.
TEST_F(ConvertCodec, PngGammaAndChromaticitiesConvertAsBrowsersShowThem) {
  const Bytes pixels = {200, 50, 30, 30, 200, 50, 128, 128, 128, 10, 20, 250};
  auto be32s = [](std::vector<u32> values) {
    Bytes out;
    for (u32 v : values) out.insert(out.end(), {(u8)(v >> 24), (u8)(v >> 16), (u8)(v >> 8), (u8)v});
    return out;
  };
  // white, then red, green and blue, as cHRM lists them; here red and green swapped
  const Bytes swapped = be32s({31270, 32900, 30000, 60000, 64000, 33000, 15000, 6000});
  const Bytes srgb_chrm = be32s({31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000});
  auto srgb_encode = [](double v) {
    v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    return 255.0 * v;
  };
  auto converted = [&](const Bytes &png) {
    CodecPhotoTags tags = png_photo_tags(arena, view(png));
    ColorConversion *c = color_to_srgb_from_primaries(&tags.primaries);
    Bytes out = pixels;
    if (c) color_convert(c, pixels.data(), 12, out.data(), 12, 4, 1, 3);
    return std::make_pair(c != nullptr, out);
  };
  Bytes png = png_file(pixels, 4, 1, 3);
  struct Case {
    Bytes chrm;
    u32 gama; // 0: no chunk
    double gamma;
    bool swap;
  };
  for (const Case &k : {Case{swapped, 45455, 100000.0 / 45455, true}, Case{{}, 100000, 1.0, false},
                        Case{swapped, 0, 0.0, true}}) {
    Bytes file = png;
    if (!k.chrm.empty()) file = png_with_chunk(file, "cHRM", k.chrm);
    if (k.gama) file = png_with_chunk(file, "gAMA", be32s({k.gama}));
    auto [made, out] = converted(file);
    ASSERT_TRUE(made) << "gAMA " << k.gama;
    for (u32 p = 0; p < 4; p += 1) {
      for (u32 ch = 0; ch < 3; ch += 1) {
        u32 from = k.swap && ch < 2 ? 1 - ch : ch;
        double v = pixels[p * 3 + from] / 255.0;
        // no gAMA: sRGB's own curve, so only the primaries move the numbers
        double linear = k.gama ? std::pow(v, k.gamma) : (v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
        EXPECT_NEAR(out[p * 3 + ch], srgb_encode(linear), 3.0) << "gAMA " << k.gama << ", pixel " << p << ", channel " << ch;
      }
    }
  }
  // sRGB's values, or an sRGB chunk or a profile beside the chunks: the numbers stay
  EXPECT_FALSE(converted(png_with_chunk(png_with_chunk(png, "cHRM", srgb_chrm), "gAMA", be32s({45455}))).first);
  EXPECT_FALSE(converted(png_with_chunk(png_with_chunk(png, "cHRM", swapped), "sRGB", Bytes{0})).first);
  EXPECT_FALSE(converted(png).first);
}

// The PNG writer against stb_image_write's on pictures whose rows pick every filter (noise, ramps,
// a letterboxed canvas), on every channel count and on widths around the 16-byte blocks.
TEST_F(ConvertCodec, PngWriterMatchesStbByteForByte) {
  u64 chosen[5] = {};
  auto check = [&](const Bytes &px, u64 w, u64 h, u32 comps, const std::string &what) {
    Str8 ours = {}, theirs = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &ours, 16);
    bool ours_ok = codec_encode_png(&sink, px.data(), px.size(), w, h, comps);
    encode_sink_begin(&sink, arena, &theirs, 16);
    bool theirs_ok = codec_encode_png_stb(&sink, px.data(), px.size(), w, h, comps);
    ASSERT_TRUE(ours_ok && theirs_ok) << what;
    ASSERT_EQ(bytes_of(ours), bytes_of(theirs)) << what;
    // the filters the rows took
    Bytes rows((w * comps + 1) * h);
    size_t got = 0;
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    ASSERT_EQ(libdeflate_zlib_decompress(d, ours.str + 41, read_be32(ours.str + 33), rows.data(), rows.size(), &got),
              LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(d);
    for (u64 y = 0; y < h; y += 1) chosen[rows[y * (w * comps + 1)] % 5] += 1;
  };
  for (int level : {1, 12}) {
    codec_set_png_compression_level(level);
    for (u32 comps = 1; comps <= 4; comps += 1) {
      for (u64 w : {1, 3, 5, 15, 16, 17, 33, 70}) {
        u64 h = level == 1 ? 9 : 3;
        std::string what = std::to_string(w) + "x" + std::to_string(h) + " channels " + std::to_string(comps) +
                           " level " + std::to_string(level);
        Bytes grain = noise(w * h * comps, w + comps), ramp = gradient(w, h, comps), mixed = ramp;
        for (u64 i = 0; i < mixed.size(); i += 1) mixed[i] = (u8)(mixed[i] + grain[i] % 9 + (i / comps % 7) * 11);
        Bytes canvas(w * h * comps, 0);
        for (u64 i = canvas.size() / 3; i < canvas.size() * 2 / 3; i += 1) canvas[i] = ramp[i];
        check(grain, w, h, comps, "noise " + what);
        check(ramp, w, h, comps, "ramp " + what);
        check(mixed, w, h, comps, "mixed " + what);
        check(canvas, w, h, comps, "canvas " + what);
      }
    }
  }
  for (u32 f = 0; f < 5; f += 1) EXPECT_GT(chosen[f], 0u) << "filter " << f;
  codec_set_png_compression_level(12);
}
