#include <gtest/gtest.h>

#include <tiffio.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "convert/image/image.h"
#include "test_images.h"

// Every format's probe, tags reader, completeness rule and decoder, through the format table,
// on damaged and cut-short files.
TEST_F(ConvertCodec, DamagedFilesNeverCrashTheDecoder) {
  Bytes rgba = gradient(24, 17, 4);
  Bytes n = noise(rgba.size(), 17);
  for (u64 i = 0; i < rgba.size(); i += 3) rgba[i] ^= n[i] & 0x1F;
  Bytes png = bytes_of(encode_png(rgba, 24, 17, 4));
  Bytes jpg = bytes_of(encode_jpeg(rgba, 24, 17, 4, 75));
  Bytes grey = gradient(30, 21, 1);
  Bytes jpg_grey = bytes_of(encode_jpeg(grey, 30, 21, 1, 60));
  Bytes webp = bytes_of(encode_as(FileTypeWebp, rgba, 24, 17, 4, 80, false));
  Bytes webp_lossless = bytes_of(encode_as(FileTypeWebp, grey, 30, 21, 1, 0, true));
  Bytes avif = bytes_of(encode_as(FileTypeAvif, rgba, 24, 17, 4, 60, false));
  // libjpeg's: arithmetic-coded, sequential and progressive
  Bytes rgb = gradient(24, 17, 3);
  Bytes jpg_arithmetic = libjpeg_file(rgb, 24, 17, 3, {true, false, false, {}});
  Bytes jpg_arithmetic_progressive = libjpeg_file(rgb, 24, 17, 3, {true, true, false, {}});
  Bytes palette(256 * 3);
  for (u64 i = 0; i < palette.size(); i += 1) palette[i] = (u8)(i * 7);
  Bytes indexes = noise(24 * 17, 5);
  Bytes gif = make_gif(24, 17, palette, {GifFrame{0, 0, 24, 17, indexes, {}}});
  // interlaced, transparent, at an offset and past the screen's edge, then a second frame
  Bytes gif_animated = make_gif(20, 15, Bytes(palette.begin(), palette.begin() + 48),
                                {GifFrame{6, 4, 18, 13, Bytes(indexes.begin(), indexes.begin() + 18 * 13), {}, 3, true},
                                 GifFrame{0, 0, 20, 15, Bytes(20 * 15, 9), {}}});
  Bytes tiff = tiff_file({{.width = 24, .height = 17, .samples = 4, .bits = 8, .photometric = PHOTOMETRIC_RGB,
                           .compression = COMPRESSION_LZW, .extra = EXTRASAMPLE_ASSOCALPHA, .tile = 16, .pixels = rgba}});
  std::vector<u16> deep(30 * 21);
  for (u64 i = 0; i < deep.size(); i += 1) deep[i] = (u16)(grey[i] * 257 + i);
  Bytes tiff_deep = tiff_file({{.width = 30, .height = 21, .samples = 1, .bits = 16, .photometric = PHOTOMETRIC_MINISWHITE,
                                .compression = COMPRESSION_ADOBE_DEFLATE, .pixels = tiff_samples16(deep)},
                               {.width = 24, .height = 17, .samples = 3, .bits = 8, .photometric = PHOTOMETRIC_RGB,
                                .compression = COMPRESSION_JPEG, .pixels = gradient(24, 17, 3)}});
  // JPEG XL lossy and lossless, each in a container behind an Exif box: damage to the
  // codestream is nearly always found, so the box is what leaves a decodable picture
  auto jxl_boxed = [&](const Bytes &px, u64 w, u64 h, u32 channels, bool lossless) {
    Bytes exif(64, 0);
    memcpy(exif.data(), "MM\0*\0\0\0\x08", 8);
    ImageMetadata kept = {};
    kept.exif = view(exif);
    Str8 out = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &out, px.size());
    EXPECT_TRUE(FormatJxl.encode_kept(&sink, px.data(), px.size(), w, h, channels, 80, lossless, &kept));
    return bytes_of(out);
  };
  Bytes jxl = jxl_boxed(rgba, 24, 17, 4, false);
  Bytes jxl_lossless = jxl_boxed(grey, 30, 21, 1, true);
  // a camera's raw file: a DNG's mosaic developed by LibRaw (which reads no sensor under 22 pixels)
  Bytes dng = dng_file(gradient(32, 24, 3), 32, 24, 6);
  const Bytes *originals[] = {&png, &jpg, &jpg_grey, &webp, &webp_lossless, &avif, &gif, &gif_animated,
                              &jpg_arithmetic, &jpg_arithmetic_progressive, &tiff, &tiff_deep, &jxl, &jxl_lossless, &dng};
  constexpr u64 Count = sizeof(originals) / sizeof(originals[0]);

  TestRng rng{0x5EED1234ABCDull};
  u64 decoded[Count] = {};
  for (int round = 0; round < 3000; round += 1) {
    const Bytes &source = *originals[round % Count];
    Bytes damaged = source;
    if (rng.below(3) == 0) {
      damaged.resize(rng.below(source.size()));
    } else {
      u64 flips = 1 + rng.below(8);
      for (u64 f = 0; f < flips; f += 1) damaged[rng.below(damaged.size())] ^= (u8)(1u << rng.below(8));
    }

    u64 mark = arena_offset(arena);
    const ImageFormat *format = format_of_bytes(view(damaged));
    CodecProbe probe;
    if (format && format->probe(view(damaged), &probe)) {
      ASSERT_GE(probe.channels, 1u);
      ASSERT_LE(probe.channels, 4u);
      format->complete(view(damaged));
      format->photo_tags(arena, view(damaged));
      for (u32 want : {probe.channels, 4u, 1u}) {
        CodecDecoded d = format->decode_heap(view(damaged), probe.width, probe.height, want);
        Str8 px = d.pixels;
        if (px.size) {
          ASSERT_LE(d.width * d.height, probe.width * probe.height);
          ASSERT_EQ(px.size, d.width * d.height * want);
          codec_heap_release(px.str);
          decoded[round % Count] += 1;
        }
      }
      if (probe.bytes_per_channel == 2) {
        Str8 px = codec_decode_16_to_8(arena, view(damaged), probe.width, probe.height, probe.channels).pixels;
        if (px.size) {
          ASSERT_EQ(px.size, probe.width * probe.height * probe.channels);
        }
      }
    }
    arena_rewind(arena, mark);
  }
  // some damage leaves a decodable picture: the loop did reach each decoder
  for (u64 i = 0; i < Count; i += 1) EXPECT_GT(decoded[i], 10u) << "original " << i;
}

// How much the resident memory grew at its peak while `work` ran, in KiB; -1 where the system
// cannot say (the peak is reset through /proc on Linux only).
template <typename F> static long peak_growth_kib(F work) {
  auto status = [](const char *field) {
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long value = -1;
    while (f && fgets(line, sizeof(line), f)) {
      if (strncmp(line, field, strlen(field)) == 0) value = atol(line + strlen(field));
    }
    if (f) fclose(f);
    return value;
  };
  FILE *reset = fopen("/proc/self/clear_refs", "w");
  bool cleared = reset && fputs("5", reset) >= 0;
  if (reset) cleared = fclose(reset) == 0 && cleared;
  long before = status("VmRSS:");
  work();
  long peak = status("VmHWM:");
  return cleared && before >= 0 && peak >= 0 ? peak - before : -1;
}

// Each library decodes within what the header declares: an animation of two small frames on a
// large canvas holds that canvas once, composed as libwebp composes it, and an AVIF whose AV1
// stream is larger than its boxes declare is refused before the stream is decoded.
TEST_F(ConvertCodec, LibrariesDecodeWithinWhatTheHeaderDeclares) {
  auto animation = [&](u32 width, u32 height) {
    auto le24 = [](Bytes &b, u32 v) { b.insert(b.end(), {(u8)v, (u8)(v >> 8), (u8)(v >> 16)}); };
    Bytes vp8x = {0x12, 0, 0, 0}; // animation and alpha
    le24(vp8x, width - 1);
    le24(vp8x, height - 1);
    Bytes body = {'W', 'E', 'B', 'P'};
    for (const Bytes &c : {webp_chunk("VP8X", vp8x), webp_chunk("ANIM", {0xCC, 0x66, 0x33, 0xFF, 0, 0})}) {
      body.insert(body.end(), c.begin(), c.end());
    }
    for (u32 f = 0; f < 2; f += 1) {
      Bytes frame;
      for (u32 v : {(f + 3) * 5, (f + 2) * 6, 29u + f, 19u}) le24(frame, v); // offsets (halved), size - 1
      le24(frame, 100);
      frame.push_back(f ? 0 : 2); // the first frame disposed, the second blended
      Bytes px = gradient(30 + f, 20, 4);
      for (u64 i = 3; i < px.size(); i += 4) px[i] = (u8)(120 + i % 101);
      Str8 still = encode_as(FileTypeWebp, px, 30 + f, 20, 4, 80, f == 1);
      u64 chunks = memcmp(still.str + 12, "VP8X", 4) == 0 ? 30 : 12; // its ALPH and VP8, or its VP8L
      frame.insert(frame.end(), still.str + chunks, still.str + still.size);
      Bytes anmf = webp_chunk("ANMF", frame);
      body.insert(body.end(), anmf.begin(), anmf.end());
    }
    Bytes file = webp_chunk("RIFF", body);
    file.resize(file.size() - (body.size() & 1));
    return file;
  };
  Bytes small = animation(97, 61);
  const ImageFormat *webp = format_of_type(FileTypeWebp);
  WebPData data = {small.data(), small.size()};
  WebPAnimDecoderOptions options;
  ASSERT_TRUE(WebPAnimDecoderOptionsInit(&options));
  WebPAnimDecoder *reference = WebPAnimDecoderNew(&data, &options);
  ASSERT_NE(reference, nullptr);
  u8 *frame = nullptr;
  int timestamp = 0;
  ASSERT_TRUE(WebPAnimDecoderGetNext(reference, &frame, &timestamp));
  CodecDecoded composed = webp->decode_heap(view(small), 97, 61, 4);
  ASSERT_EQ(composed.pixels.size, 97u * 61 * 4);
  EXPECT_EQ(memcmp(composed.pixels.str, frame, composed.pixels.size), 0);
  codec_heap_release(composed.pixels.str);
  WebPAnimDecoderDelete(reference);

  Bytes large = animation(8000, 6000);
  CodecDecoded canvas = {};
  long grown = peak_growth_kib([&] { canvas = webp->decode_heap(view(large), 8000, 6000, 4); });
  ASSERT_EQ(canvas.pixels.size, 8000ull * 6000 * 4);
  EXPECT_EQ(canvas.pixels.str[(6000ull * 8000 - 1) * 4 + 3], 0); // transparent beyond the frames
  EXPECT_NE(canvas.pixels.str[(30ull * 8000 + 35) * 4 + 3], 0);
  codec_heap_release(canvas.pixels.str);
  if (grown >= 0) {
    EXPECT_LT(grown * 1024, 8000ll * 6000 * 4 * 5 / 4 + (long long)mib(64));
  }

  // declared 64 x 48, coded 3000 x 2000
  Bytes flat(3000 * 2000 * 3, 90);
  Bytes avif = bytes_of(encode_as(FileTypeAvif, flat, 3000, 2000, 3, 50, false));
  auto ispe = std::search(avif.begin(), avif.end(), std::begin("ispe"), std::end("ispe") - 1);
  ASSERT_NE(ispe, avif.end());
  std::copy_n(Bytes{0, 0, 0, 64, 0, 0, 0, 48}.begin(), 8, ispe + 8);
  const ImageFormat *av1 = format_of_bytes(view(avif));
  CodecProbe probe;
  ASSERT_TRUE(av1->probe(view(avif), &probe));
  ASSERT_EQ(probe.width * probe.height, 64u * 48);
  CodecDecoded refused = {};
  grown = peak_growth_kib([&] { refused = av1->decode_heap(view(avif), 64, 48, 3); });
  EXPECT_EQ(refused.pixels.size, 0u);
  EXPECT_EQ(refused.failure.kind, (u32)DecodeOverBudget);
  if (grown >= 0) {
    EXPECT_LT(grown * 1024, (long long)mib(8));
  }
}
