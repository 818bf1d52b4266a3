#include <gtest/gtest.h>

#include <libdeflate.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstdlib>

#include <string>
#include <thread>
#include <vector>

#include "convert/image/image.h"
#include "test_images.h"
#include "test_text.h"

namespace {

typedef TestRng Rng;

struct CodecFixture : testing::Test {
  Arena *arena = nullptr;
  void SetUp() override {
    arena = arena_create(mib(64), mib(1));
    codec_set_png_compression_level(12);
  }
  void TearDown() override { arena_destroy(arena); }

  Str8 encode_png(const Bytes &px, u64 w, u64 h, u32 comps) {
    Str8 out = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &out, px.size());
    EXPECT_TRUE(codec_encode_png(&sink, px.data(), px.size(), w, h, comps));
    return out;
  }
  Str8 encode_as(u32 file_type, const Bytes &px, u64 w, u64 h, u32 comps, int quality, bool lossless) {
    Str8 out = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &out, px.size());
    EXPECT_TRUE(format_of_type(file_type)->encode(&sink, px.data(), px.size(), w, h, comps, quality, lossless));
    return out;
  }
  Str8 encode_jpeg(const Bytes &px, u64 w, u64 h, u32 comps, int quality) {
    Str8 out = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &out, px.size());
    EXPECT_TRUE(codec_encode_jpeg(&sink, px.data(), px.size(), w, h, comps, quality));
    return out;
  }
};

} // namespace

using ConvertCodec = CodecFixture;

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

TEST_F(ConvertCodec, DecodeRefusesOtherDimensionsAndChannels) {
  Bytes px = gradient(16, 9, 3);
  Str8 png = encode_png(px, 16, 9, 3);
  EXPECT_EQ(codec_decode_8(arena, png, 17, 9, 3).pixels.size, 0u);
  EXPECT_EQ(codec_decode_8(arena, png, 16, 8, 3).pixels.size, 0u);
  EXPECT_EQ(codec_decode_16_to_8(arena, png, 15, 9, 3).pixels.size, 0u);
  EXPECT_EQ(codec_decode_8(arena, png, 16, 9, 0).pixels.size, 0u);
  EXPECT_EQ(codec_decode_8(arena, png, 16, 9, 5).pixels.size, 0u);
  EXPECT_EQ(codec_decode_8(arena, png, 0, 9, 3).pixels.size, 0u);
  EXPECT_EQ(codec_decode_8(arena, png, 16, 9, 3).pixels.size, 16u * 9u * 3u);
}

TEST_F(ConvertCodec, NoisePngGrowsTheSinkInPlace) {
  Bytes px = noise(64 * 64 * 4, 7);
  Str8 out = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &out, px.size());
  u8 *start = out.str;
  ASSERT_TRUE(codec_encode_png(&sink, px.data(), px.size(), 64, 64, 4));
  EXPECT_GT(out.size, px.size());
  EXPECT_EQ(out.str, start);
  EXPECT_EQ(arena_offset(arena), sink.end_offset);
  EXPECT_EQ(bytes_of(codec_decode_8(arena, out, 64, 64, 4).pixels), px);
}

TEST_F(ConvertCodec, NoisePngMovesASinkThatIsNotTheLatestAllocation) {
  Bytes px = noise(48 * 40 * 3, 99);
  Str8 out = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &out, px.size());
  u8 *start = out.str;
  u8 *fence = (u8 *)arena_alloc(arena, 256, 8);
  memset(fence, 0xA5, 256);

  ASSERT_TRUE(codec_encode_png(&sink, px.data(), px.size(), 48, 40, 3));
  EXPECT_GT(out.size, px.size());
  EXPECT_NE(out.str, start);
  for (int i = 0; i < 256; i += 1) ASSERT_EQ(fence[i], 0xA5) << i;
  EXPECT_EQ(bytes_of(codec_decode_8(arena, out, 48, 40, 3).pixels), px);
}

TEST_F(ConvertCodec, SinkKeepsPiecesContiguous) {
  // in place while latest, then moved once something else is allocated
  Str8 buf = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &buf, 4);
  u8 *start = buf.str;
  std::string expect;
  const char *pieces[] = {"abc", "defgh", "ij"};
  for (const char *p : pieces) {
    encode_sink_write(&sink, (void *)p, (int)strlen(p));
    expect += p;
  }
  EXPECT_EQ(buf.str, start);
  arena_alloc(arena, 16, 8);
  encode_sink_write(&sink, (void *)"KLMNOPQRSTUVWXYZ", 16);
  expect += "KLMNOPQRSTUVWXYZ";
  EXPECT_NE(buf.str, start);
  u64 used = (u64)(sink.cursor - buf.str);
  EXPECT_EQ(std::string((char *)buf.str, used), expect);
  EXPECT_GE(buf.size, used);

  // a full block cannot extend in place: the bytes move to a chained block
  Arena *small = arena_create(kib(64), kib(64));
  Str8 tight = {};
  EncodeSink tight_sink;
  encode_sink_begin(&tight_sink, small, &tight, kib(60));
  Bytes first = noise(kib(60), 3), second = noise(kib(10), 4);
  encode_sink_write(&tight_sink, first.data(), (int)first.size());
  encode_sink_write(&tight_sink, second.data(), (int)second.size());
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(Bytes(tight.str, tight_sink.cursor), first);
  arena_destroy(small);
}

TEST_F(ConvertCodec, JpegQualityChangesSizeAndDecodes) {
  Bytes px = gradient(96, 64, 3);
  Bytes n = noise(px.size(), 5);
  for (u64 i = 0; i < px.size(); i += 1) px[i] = (u8)(px[i] / 2 + n[i] / 4);

  Str8 low = encode_jpeg(px, 96, 64, 3, 10);
  Str8 high = encode_jpeg(px, 96, 64, 3, 95);
  EXPECT_EQ(low.str[0], 0xFF);
  EXPECT_EQ(low.str[1], 0xD8);
  EXPECT_LT(low.size, high.size);

  CodecProbe probe;
  ASSERT_TRUE(codec_probe(high, &probe));
  EXPECT_EQ(probe.width, 96u);
  EXPECT_EQ(probe.height, 64u);
  EXPECT_EQ(probe.channels, 3u);
  EXPECT_EQ(probe.bytes_per_channel, 1u);

  // high quality stays close to the original
  Str8 back = codec_decode_8(arena, high, 96, 64, 3).pixels;
  ASSERT_EQ(back.size, px.size());
  u64 total_error = 0;
  for (u64 i = 0; i < px.size(); i += 1) total_error += (u64)abs((int)back.str[i] - (int)px[i]);
  EXPECT_LT(total_error / px.size(), 8u);

  // the encoder always writes colour frames; a grey picture comes back grey at 1 channel
  Bytes grey = gradient(40, 30, 1);
  Str8 g = encode_jpeg(grey, 40, 30, 1, 95);
  ASSERT_TRUE(codec_probe(g, &probe));
  Str8 g1 = codec_decode_8(arena, g, 40, 30, 1).pixels;
  ASSERT_EQ(g1.size, grey.size());
  total_error = 0;
  for (u64 i = 0; i < grey.size(); i += 1) total_error += (u64)abs((int)g1.str[i] - (int)grey[i]);
  EXPECT_LT(total_error / grey.size(), 8u);
}

TEST_F(ConvertCodec, EncodersRefuseBadInputWithoutBytes) {
  Bytes px = gradient(8, 8, 4);
  struct Case {
    u64 size, w, h;
    u32 comps;
  } cases[] = {{px.size(), 8, 8, 0}, {px.size(), 8, 8, 5}, {px.size() - 1, 8, 8, 4}, {px.size(), 0, 8, 4},
               {px.size(), 1ull << 32, 1, 1}};
  for (const Case &c : cases) {
    Str8 out = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &out, 64);
    EXPECT_FALSE(codec_encode_png(&sink, px.data(), c.size, c.w, c.h, c.comps));
    EXPECT_EQ(out.size, 0u);
    encode_sink_begin(&sink, arena, &out, 64);
    EXPECT_FALSE(codec_encode_jpeg(&sink, px.data(), c.size, c.w, c.h, c.comps, 90));
    EXPECT_EQ(out.size, 0u);
  }
  // a JPEG frame cannot describe a side past 65535
  Bytes wide(70000, 128);
  Str8 out = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &out, wide.size());
  EXPECT_FALSE(codec_encode_jpeg(&sink, wide.data(), wide.size(), 70000, 1, 1, 90));
  EXPECT_EQ(out.size, 0u);
  encode_sink_begin(&sink, arena, &out, wide.size());
  EXPECT_TRUE(codec_encode_png(&sink, wide.data(), wide.size(), 70000, 1, 1));
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

TEST_F(ConvertCodec, HugeOrBrokenHeadersFailCleanly) {
  CodecProbe probe;
  Bytes tiny_rows = {0, 0, 0, 0, 0};

  // 2^30 × 2^30: far beyond anything a decode could hold
  Bytes huge = make_png(1u << 30, 1u << 30, 8, 6, tiny_rows);
  EXPECT_FALSE(codec_probe(view(huge), &probe));
  // the refusal still names the declared size, so the caller can report it
  EXPECT_EQ(probe.width, 1ull << 30);
  EXPECT_EQ(probe.height, 1ull << 30);
  EXPECT_EQ(codec_decode_8(arena, view(huge), 1ull << 30, 1ull << 30, 4).pixels.size, 0u);
  EXPECT_EQ(codec_decode_16_to_8(arena, view(huge), 1ull << 30, 1ull << 30, 4).pixels.size, 0u);

  // 30000 × 30000 grey at 16 bits passes the decoder's own header checks, but its RGBA decode
  // would need more bytes than an int counts
  Bytes big16 = make_png(30000, 30000, 16, 0, tiny_rows);
  EXPECT_FALSE(codec_probe(view(big16), &probe));
  EXPECT_EQ(codec_decode_16_to_8(arena, view(big16), 30000, 30000, 4).pixels.size, 0u);

  // a file of 2^31 bytes or more is never handed to the decoder (the view is never read)
  Bytes png = make_png(1, 1, 8, 0, {0, 7});
  ASSERT_TRUE(codec_probe(view(png), &probe));
  EXPECT_FALSE(codec_probe(str8(png.data(), 1ull << 31), &probe));
  EXPECT_FALSE(codec_is_16_bit(str8(png.data(), 1ull << 31)));
  EXPECT_EQ(codec_decode_8(arena, str8(png.data(), 1ull << 31), 1, 1, 1).pixels.size, 0u);

  // a JPEG whose frame header declares 60000 × 50000 pixels
  Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 'J', 'F', 0xFF, 0xC0, 0x00, 0x11, 0x08,
                0xC3, 0x50, 0xEA, 0x60, 0x03, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0};
  EXPECT_FALSE(codec_probe(view(jpeg), &probe));
  EXPECT_EQ(probe.width, 60000u);
  EXPECT_EQ(probe.height, 50000u);

  // empty, signature only, garbage
  probe.width = 5;
  EXPECT_FALSE(codec_probe(Str8{}, &probe));
  EXPECT_FALSE(codec_probe(str8(png.data(), 8), &probe));
  Bytes junk = noise(4096, 11);
  EXPECT_FALSE(codec_probe(view(junk), &probe));
  EXPECT_EQ(probe.width, 0u);
  EXPECT_EQ(codec_decode_8(arena, view(junk), 16, 16, 3).pixels.size, 0u);
}

// A JPEG whose frame header was enlarged over its small picture's data is refused before any
// decode (its declared size kept for the report); flat pictures at the lowest quality, the
// fewest bits a block can take, pass.
TEST_F(ConvertCodec, JpegWhoseDataCannotHoldItsPictureIsRefused) {
  // the same data under a frame header declaring another size
  auto declaring = [](Bytes jpeg, u32 width, u32 height) {
    size_t sof = 2;
    while (sof + 9 < jpeg.size() && !(jpeg[sof] == 0xFF && (jpeg[sof + 1] == 0xC0 || jpeg[sof + 1] == 0xC2))) sof += 1;
    EXPECT_LT(sof + 9, jpeg.size());
    for (auto [at, value] : {std::pair{sof + 5, height}, std::pair{sof + 7, width}}) {
      jpeg[at] = (u8)(value >> 8);
      jpeg[at + 1] = (u8)value;
    }
    return jpeg;
  };
  CodecProbe probe;
  Bytes jpeg = jpeg_file(gradient(64, 48, 3), 64, 48, 3, 90);
  ASSERT_TRUE(codec_probe(view(jpeg), &probe));
  EXPECT_FALSE(codec_probe(view(declaring(jpeg, 11000, 11000)), &probe));
  EXPECT_EQ(probe.width, 11000u);
  EXPECT_EQ(text_of(codec_failure_reason(&probe.failure)), "Image data ends before the picture does");

  // Thin legal files probe fine; declared twice as wide and high they hold more than a bit a
  // block, yet their codes end a quarter of the way: at the end of the image, or where a
  // restart marker is due.
  Bytes flat(2048ull * 2048 * 3, 128);
  struct Thin {
    const char *what;
    Bytes jpeg;
    u32 width, height;
  };
  Thin thins[] = {{"flat colour", jpeg_file(flat, 2048, 2048, 3, 1), 2048, 2048},
                  {"flat grey", jpeg_file(flat, 2048, 2048, 1, 1), 2048, 2048},
                  {"gradient", jpeg_file(gradient(203, 77, 3), 203, 77, 3, 40), 203, 77},
                  {"restarts", make_restart_grey_jpeg(203, 77, 1), 203, 77},
                  {"progressive", make_progressive_grey_jpeg(203, 77, 8), 203, 77}};
  for (const Thin &thin : thins) {
    EXPECT_TRUE(codec_probe(view(thin.jpeg), &probe)) << thin.what << ", " << thin.jpeg.size() << " bytes";
    EXPECT_FALSE(codec_probe(view(declaring(thin.jpeg, 2 * thin.width, 2 * thin.height)), &probe)) << thin.what;
    EXPECT_EQ(text_of(codec_failure_reason(&probe.failure)), "Image data ends before the picture does") << thin.what;
  }
}

TEST_F(ConvertCodec, JpegOrPngCutShortIsNotComplete) {
  Bytes jpeg = bytes_of(encode_jpeg(gradient(64, 48, 3), 64, 48, 3, 90));
  EXPECT_TRUE(codec_complete(view(jpeg)));
  // Bytes after the end of the picture (as phones append a video) change nothing.
  Bytes trailer = jpeg;
  trailer.insert(trailer.end(), 5000, 0x42);
  EXPECT_TRUE(codec_complete(view(trailer)));
  for (u64 cut : {jpeg.size() - 1, jpeg.size() * 3 / 4, jpeg.size() / 2, (u64)20, (u64)3}) {
    Bytes part(jpeg.begin(), jpeg.begin() + cut);
    EXPECT_FALSE(codec_complete(view(part))) << cut;
  }
  // An end marker inside an application segment (a thumbnail) is not the picture's end.
  Bytes with_thumb = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x08, 0xFF, 0xDA, 0xFF, 0xD9, 0x00, 0x00};
  with_thumb.insert(with_thumb.end(), jpeg.begin() + 2, jpeg.begin() + jpeg.size() / 2);
  EXPECT_FALSE(codec_complete(view(with_thumb)));
  with_thumb.insert(with_thumb.end(), jpeg.begin() + jpeg.size() / 2, jpeg.end());
  EXPECT_TRUE(codec_complete(view(with_thumb)));
  // A PNG is whole with its end chunk's checksum; bytes after it change nothing, and one cut
  // inside that last chunk still decodes, yet it is not complete.
  Bytes png = bytes_of(encode_png(gradient(8, 8, 3), 8, 8, 3));
  EXPECT_TRUE(codec_complete(view(png)));
  Bytes png_trailer = png;
  png_trailer.insert(png_trailer.end(), 100, 0);
  EXPECT_TRUE(codec_complete(view(png_trailer)));
  for (u64 cut : {(u64)1, (u64)4, (u64)8, (u64)12, png.size() / 2, png.size() - 9}) {
    Bytes part(png.begin(), png.end() - cut);
    EXPECT_FALSE(codec_complete(view(part))) << cut;
  }
}

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
  const Bytes *originals[] = {&png, &jpg, &jpg_grey, &webp, &webp_lossless, &avif};
  constexpr u64 Count = sizeof(originals) / sizeof(originals[0]);

  Rng rng{0x5EED1234ABCDull};
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

TEST_F(ConvertCodec, ResampleEveryFilterAndLayout) {
  for (u32 layout = 1; layout <= 4; layout += 1) {
    // a constant picture stays constant under every filter, whichever way it is scaled
    Bytes in(16 * 12 * layout);
    for (u64 i = 0; i < in.size(); i += 1) in[i] = (u8)(60 + 40 * (i % layout));
    for (u32 filter = 0; filter <= 6; filter += 1) {
      for (int up = 0; up < 2; up += 1) {
        u64 ow = up ? 27 : 7, oh = up ? 19 : 5;
        Bytes out(ow * oh * layout, 0);
        CodecPicture src = {in.data(), in.size(), 16, 12, 16 * layout};
        CodecPicture dst = {out.data(), out.size(), ow, oh, ow * layout};
        ASSERT_TRUE(codec_resize(src, dst, layout, filter)) << layout << " " << filter;
        for (u64 i = 0; i < out.size(); i += 1) {
          int want = 60 + 40 * (int)(i % layout);
          ASSERT_LE(abs((int)out[i] - want), 1) << layout << " " << filter << " " << i;
        }
      }
    }
  }

  // padded rows give the same result as packed ones
  Bytes packed = gradient(20, 10, 3);
  Bytes padded(20 * 3 * 10 + 9 * 7, 0xEE);
  for (u64 y = 0; y < 10; y += 1) memcpy(&padded[y * 67], &packed[y * 60], 60);
  Bytes a(9 * 4 * 3), b(9 * 4 * 3);
  ASSERT_TRUE(codec_resize({packed.data(), packed.size(), 20, 10, 60}, {a.data(), a.size(), 9, 4, 27}, 3, 2));
  ASSERT_TRUE(codec_resize({padded.data(), padded.size(), 20, 10, 67}, {b.data(), b.size(), 9, 4, 27}, 3, 2));
  EXPECT_EQ(a, b);
}

TEST_F(ConvertCodec, ResampleRefusesWhatDoesNotFit) {
  Bytes in(8 * 8 * 4, 10);
  Bytes out(4 * 4 * 4, 0x5A);
  CodecPicture src = {in.data(), in.size(), 8, 8, 32};
  CodecPicture dst = {out.data(), out.size(), 4, 4, 16};
  EXPECT_FALSE(codec_resize(src, dst, 0, 0));
  EXPECT_FALSE(codec_resize(src, dst, 5, 0));
  EXPECT_FALSE(codec_resize(src, dst, 4, 7));
  CodecPicture short_out = dst;
  short_out.size -= 1;
  EXPECT_FALSE(codec_resize(src, short_out, 4, 0));
  CodecPicture narrow_stride = dst;
  narrow_stride.stride = 15;
  EXPECT_FALSE(codec_resize(src, narrow_stride, 4, 0));
  CodecPicture short_in = src;
  short_in.size = 8 * 7 * 4;
  EXPECT_FALSE(codec_resize(short_in, dst, 4, 0));
  CodecPicture huge_in = src;
  huge_in.width = 1ull << 31;
  EXPECT_FALSE(codec_resize(huge_in, dst, 4, 0));
  for (u8 v : out) ASSERT_EQ(v, 0x5A);
  EXPECT_TRUE(codec_resize(src, dst, 4, 0));
  EXPECT_EQ(out[0], 10);
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

TEST(ConvertCodecThreads, AdaptersRunOnManyThreadsAtOnce) {
  codec_set_png_compression_level(12);
  const u64 w = 40, h = 30;
  std::vector<Bytes> pictures;
  for (u32 i = 0; i < 4; i += 1) pictures.push_back(noise(w * h * 3, 1000 + i));

  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (u32 i = 0; i < 4; i += 1) {
    threads.emplace_back([&, i] {
      Arena *arena = arena_create(mib(16), mib(1));
      for (int round = 0; round < 10; round += 1) {
        const Bytes &px = pictures[(i + round) % 4];
        Str8 png = {}, jpg = {};
        EncodeSink sink;
        encode_sink_begin(&sink, arena, &png, px.size());
        if (!codec_encode_png(&sink, px.data(), px.size(), w, h, 3)) failures[i] += 1;
        encode_sink_begin(&sink, arena, &jpg, px.size());
        if (!codec_encode_jpeg(&sink, px.data(), px.size(), w, h, 3, 70)) failures[i] += 1;
        if (bytes_of(codec_decode_8(arena, png, w, h, 3).pixels) != px) failures[i] += 1;
        if (codec_decode_8(arena, jpg, w, h, 3).pixels.size != px.size()) failures[i] += 1;
        Bytes small(20 * 15 * 3);
        if (!codec_resize({(u8 *)px.data(), px.size(), w, h, w * 3}, {small.data(), small.size(), 20, 15, 60}, 3, 4)) {
          failures[i] += 1;
        }
        arena_reset(arena);
      }
      arena_destroy(arena);
    });
  }
  for (std::thread &t : threads) t.join();
  for (u32 i = 0; i < 4; i += 1) EXPECT_EQ(failures[i], 0) << i;
}

// Every layout but the source's own is derived from one decode; the result must be the very
// bytes a direct decode at that channel count gives.
TEST_F(ConvertCodec, DerivedLayoutsEqualDirectDecodes) {
  struct Source {
    const char *name;
    Bytes bytes;
  };
  Bytes alpha_noise = noise(61 * 37 * 4, 5);
  std::vector<Source> sources = {
      {"grey png", png_file(gradient(61, 37, 1), 61, 37, 1)},
      {"grey+alpha png", png_file(alpha_noise, 61, 37, 2)},
      {"rgb png", png_file(gradient(61, 37, 3), 61, 37, 3)},
      {"rgba png", png_file(alpha_noise, 61, 37, 4)},
      {"rgb jpeg", jpeg_file(gradient(61, 37, 3), 61, 37, 3, 85)},
      {"grey jpeg", jpeg_file(gradient(61, 37, 1), 61, 37, 1, 85)},
  };
  for (const Source &s : sources) {
    CodecProbe probe;
    ASSERT_TRUE(codec_probe(view(s.bytes), &probe)) << s.name;
    u32 own = probe.channels;
    u64 count = probe.width * probe.height;
    Str8 own_pixels = codec_decode_8(arena, view(s.bytes), probe.width, probe.height, own).pixels;
    ASSERT_EQ(own_pixels.size, count * own) << s.name;
    int derived = 0;
    for (u32 to = 1; to <= 4; to += 1) {
      if (to == own) continue;
      Bytes direct = bytes_of(codec_decode_8(arena, view(s.bytes), probe.width, probe.height, to).pixels);
      ASSERT_EQ(direct.size(), count * to) << s.name << " to " << to;
      if (!codec_derivable(view(s.bytes), own, to)) {
        EXPECT_TRUE(s.bytes[0] == 0xFF && own >= 3 && to <= 2) << s.name << " to " << to;
        continue;
      }
      EXPECT_EQ(bytes_of(codec_derive_8(arena, own_pixels, own, to, count)), direct) << s.name << " to " << to;
      derived += 1;
    }
    EXPECT_GE(derived, 1) << s.name;
  }

  // 16-bit sources: the own layout is the rounded reduction, every other one the decoder's
  // 8-bit output.
  for (u32 channels = 1; channels <= 4; channels += 1) {
    Bytes png = make_png16(29, 13, channels);
    bool needed[4] = {true, true, true, true};
    Str8 layouts[4];
    ASSERT_EQ(codec_decode_16_layouts(arena, view(png), 29, 13, channels, needed, layouts).kind, (u32)DecodeOk) << channels;
    for (u32 to = 1; to <= 4; to += 1) {
      Bytes expected = to == channels ? bytes_of(codec_decode_16_to_8(arena, view(png), 29, 13, to).pixels)
                                      : bytes_of(codec_decode_8(arena, view(png), 29, 13, to).pixels);
      ASSERT_EQ(expected.size(), 29u * 13u * to);
      EXPECT_EQ(bytes_of(layouts[to - 1]), expected) << channels << " to " << to;
    }
  }

  // Sizes that do not match are refused rather than read past.
  EXPECT_EQ(codec_derive_8(arena, str8(alpha_noise.data(), 10), 3, 4, 4).size, 0u);

  // Widening the decoder's own buffer in place gives the same bytes as a direct decode.
  for (const Source &s : sources) {
    CodecProbe probe;
    ASSERT_TRUE(codec_probe(view(s.bytes), &probe));
    for (u32 to = probe.channels + 1; to <= 4; to += 1) {
      if (!codec_derivable(view(s.bytes), probe.channels, to)) continue;
      Str8 own = codec_decode_8_heap(view(s.bytes), probe.width, probe.height, probe.channels).pixels;
      ASSERT_EQ(own.size, probe.width * probe.height * probe.channels);
      Str8 wide = codec_expand_heap(own, probe.channels, to, probe.width * probe.height);
      Bytes direct = bytes_of(codec_decode_8(arena, view(s.bytes), probe.width, probe.height, to).pixels);
      EXPECT_EQ(bytes_of(wide), direct) << s.name << " widened to " << to;
      codec_heap_free(wide.size ? wide : own);
    }
  }
}

// Hostile files cost what their declared size allows and no more, and the odd legal layouts
// around them still decode to the right pixels.
TEST_F(ConvertCodec, DecodesHoldNoMoreThanThePictureNeedsAndScansAreCounted) {
  // A 64 x 64 RGB picture whose image data inflates to 16 MiB instead of 64 × 193 bytes: the
  // decode stops at the budget, and says why.
  Bytes zeros = zlib_of(Bytes(mib(16), 0));
  Bytes bomb = png_of_idats(64, 64, 8, 2, 0, {zeros});
  ASSERT_LT(bomb.size(), kib(64));
  CodecProbe probe;
  ASSERT_TRUE(codec_probe(view(bomb), &probe));
  CodecDecoded over = codec_decode_8(arena, view(bomb), 64, 64, 3);
  EXPECT_EQ(over.pixels.size, 0u);
  EXPECT_EQ(over.failure.kind, (u32)DecodeOverBudget);
  bool needed[4] = {true, true, true, true};
  Str8 layouts[4];
  Bytes bomb16 = png_of_idats(64, 64, 16, 6, 0, {zeros});
  EXPECT_EQ(codec_decode_16_layouts(arena, view(bomb16), 64, 64, 4, needed, layouts).kind, (u32)DecodeOverBudget);
  // A failure of another kind is not a budget's, even right after one on the same thread, and
  // it carries the decoder's own reason.
  Bytes junk = noise(4096, 5);
  CodecDecoded refused = codec_decode_8(arena, view(junk), 64, 64, 3);
  EXPECT_EQ(refused.pixels.size, 0u);
  EXPECT_EQ(refused.failure.kind, (u32)DecodeRefused);
  EXPECT_GT(codec_failure_reason(&refused.failure).size, 0u);

  // Legal image data with slack after its rows (some writers pad it) decodes.
  Bytes px = gradient(64, 64, 3);
  Bytes rows;
  for (u64 y = 0; y < 64; y += 1) {
    rows.push_back(0);
    rows.insert(rows.end(), px.begin() + y * 192, px.begin() + (y + 1) * 192);
  }
  Bytes padded_rows = rows;
  padded_rows.resize(rows.size() + mib(1), 0);
  CodecDecoded padded = codec_decode_8(arena, view(png_of_idats(64, 64, 8, 2, 0, {zlib_of(padded_rows)})), 64, 64, 3);
  EXPECT_EQ(bytes_of(padded.pixels), px);
  EXPECT_EQ(padded.failure.kind, (u32)DecodeOk);

  // Empty IDAT chunks before, between and after the data: the same pixels (the decoder never
  // sees a first chunk of length 0).
  Bytes z = zlib_of(rows);
  Bytes half1(z.begin(), z.begin() + z.size() / 2), half2(z.begin() + z.size() / 2, z.end());
  Bytes empty_idats = png_of_idats(64, 64, 8, 2, 0, {{}, {}, half1, {}, half2, {}});
  EXPECT_EQ(bytes_of(codec_decode_8(arena, view(empty_idats), 64, 64, 3).pixels), px);
  EXPECT_EQ(bytes_of(codec_decode_16_to_8(arena, view(empty_idats), 64, 64, 3).pixels), px);
  EXPECT_EQ(codec_decode_8(arena, view(png_of_idats(64, 64, 8, 2, 0, {{}, {}})), 64, 64, 3).pixels.size, 0u);

  // Large legal pictures in the layouts that need the most working memory: an interlaced RGBA
  // PNG, at 8 and 16 bits, and a progressive JPEG.
  Bytes big = gradient(1200, 900, 4);
  Str8 interlaced = codec_decode_8(arena, view(png_of_idats(1200, 900, 8, 6, 1, {zlib_of(adam7_rows(big, 1200, 900, 4))})),
                                   1200, 900, 4).pixels;
  EXPECT_TRUE(bytes_of(interlaced) == big);
  Bytes deep_pixels;
  for (u32 y = 0; y < 300; y += 1) {
    for (u32 x = 0; x < 400; x += 1) {
      for (u32 c = 0; c < 4; c += 1) {
        u32 v = (x * 997 + y * 1499 + c * 20000) & 0xFFFF; // make_png16's samples
        deep_pixels.insert(deep_pixels.end(), {(u8)(v >> 8), (u8)v});
      }
    }
  }
  Bytes deep_interlaced = png_of_idats(400, 300, 16, 6, 1, {zlib_of(adam7_rows(deep_pixels, 400, 300, 8))});
  Str8 deep = codec_decode_16_to_8(arena, view(make_png16(400, 300, 4)), 400, 300, 4).pixels;
  ASSERT_EQ(deep.size, 400u * 300 * 4);
  EXPECT_TRUE(bytes_of(codec_decode_16_to_8(arena, view(deep_interlaced), 400, 300, 4).pixels) == bytes_of(deep));
  Bytes prog = make_progressive_grey_jpeg(1024, 768, 1);
  ASSERT_EQ(codec_jpeg_scans(view(prog)), 4u);
  Str8 grey = codec_decode_8(arena, view(prog), 1024, 768, 3).pixels;
  ASSERT_EQ(grey.size, 1024u * 768 * 3);
  EXPECT_EQ(std::count(grey.str, grey.str + grey.size, (u8)128), (long)grey.size);

  // Scans are counted from the markers: not those inside an application segment (a
  // thumbnail's), nor stuffed FF bytes, restarts and fill bytes in entropy-coded data, nor
  // anything after the end of the picture.
  Bytes many = make_progressive_grey_jpeg(16, 16, 400);
  EXPECT_EQ(codec_jpeg_scans(view(many)), 1201u);
  Bytes thumb = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x0C, 0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0};
  thumb.insert(thumb.end(), prog.begin() + 2, prog.end());
  EXPECT_EQ(codec_jpeg_scans(view(thumb)), 4u);
  Bytes marked = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0, 0x12, 0xFF, 0x00, 0xFF, 0xD3, 0x34,
                  0xFF, 0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0, 0x56, 0xFF, 0xD9,
                  0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0, 0x78};
  EXPECT_EQ(codec_jpeg_scans(view(marked)), 2u);
  EXPECT_EQ(codec_jpeg_scans(view(bomb)), 0u);
  // A file cut anywhere counts the scans it holds so far, and the walk never reads past it
  // (each cut is a buffer of its own, for the sanitizers).
  u64 previous = 0;
  for (u64 cut = 0; cut <= many.size(); cut += 7) {
    Bytes part(many.begin(), many.begin() + cut);
    u64 scans = codec_jpeg_scans(view(part));
    EXPECT_GE(scans, previous) << cut;
    EXPECT_LE(scans, 1201u) << cut;
    previous = scans;
  }
  EXPECT_GE(previous, 1200u);
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

// The orientation and the profile are read from the bytes in both byte orders and both
// formats, and nothing outside a segment or chunk is ever taken for them.
TEST_F(ConvertCodec, PhotoTagsAreReadInsideTheirSegmentsOnly) {
  Bytes jpeg = bytes_of(encode_jpeg(gradient(16, 8, 3), 16, 8, 3, 90));
  Bytes png = bytes_of(encode_png(gradient(16, 8, 3), 16, 8, 3));
  for (u32 o = 1; o <= 8; o += 1) {
    for (bool little : {true, false}) {
      EXPECT_EQ(codec_photo_tags(arena, view(jpeg_with_segment(jpeg, 0xE1, exif_block(o, little)))).orientation, o);
      Bytes tiff = exif_block(o, little);
      tiff.erase(tiff.begin(), tiff.begin() + 6); // a PNG's eXIf chunk holds the TIFF structure alone
      EXPECT_EQ(codec_photo_tags(arena, view(png_with_chunk(png, "eXIf", tiff))).orientation, o);
    }
  }
  EXPECT_EQ(codec_photo_tags(arena, view(jpeg)).orientation, 1u);
  EXPECT_EQ(codec_photo_tags(arena, view(jpeg_with_segment(jpeg, 0xE1, exif_block(9, true)))).orientation, 1u);
  EXPECT_EQ(codec_photo_tags(arena, view(jpeg_with_segment(jpeg, 0xE1, exif_block(0, false)))).orientation, 1u);

  // IFD0 declares three entries but the segment ends after the first; the comment segment
  // after it holds, where a third entry would be, an orientation tag of 6.
  Bytes cut = exif_block(6, true, 3, 1);
  Bytes comment = {'c', 'o', 'm', 'm', 'e', 'n', 't', 's',
                   0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0};
  Bytes hostile = jpeg_with_segment(jpeg_with_segment(jpeg, 0xFE, comment), 0xE1, cut);
  EXPECT_EQ(codec_photo_tags(arena, view(hostile)).orientation, 1u);
  // a segment that runs past the end of the file is not read
  Bytes whole = jpeg_with_segment(jpeg, 0xE1, exif_block(6, true));
  EXPECT_EQ(codec_photo_tags(arena, view(Bytes(whole.begin(), whole.begin() + 40))).orientation, 1u);

  // A profile in three APP2 segments, stored out of order, is joined in sequence order; with a
  // piece missing or given twice there is none.
  Bytes profile = noise(300, 11);
  auto piece = [&](u8 seq, u8 count, size_t from, size_t to) {
    Bytes b = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, seq, count};
    b.insert(b.end(), profile.begin() + from, profile.begin() + to);
    return b;
  };
  Bytes three = jpeg_with_segment(jpeg_with_segment(jpeg_with_segment(jpeg, 0xE2, piece(2, 3, 100, 200)), 0xE2,
                                                    piece(3, 3, 200, 300)), 0xE2, piece(1, 3, 0, 100));
  EXPECT_EQ(bytes_of(codec_photo_tags(arena, view(three)).icc_profile), profile);
  Bytes missing = jpeg_with_segment(jpeg_with_segment(jpeg, 0xE2, piece(1, 3, 0, 100)), 0xE2, piece(3, 3, 200, 300));
  EXPECT_EQ(codec_photo_tags(arena, view(missing)).icc_profile.size, 0u);
  Bytes twice = jpeg_with_segment(jpeg_with_segment(jpeg, 0xE2, piece(1, 2, 0, 100)), 0xE2, piece(1, 2, 0, 100));
  EXPECT_EQ(codec_photo_tags(arena, view(twice)).icc_profile.size, 0u);

  // A PNG's iCCP chunk: a name, a zero, the method, the zlib stream.
  Bytes iccp = {'c', 'a', 'm', 0, 0};
  Bytes z = zlib_of(profile);
  iccp.insert(iccp.end(), z.begin(), z.end());
  EXPECT_EQ(bytes_of(codec_photo_tags(arena, view(png_with_chunk(png, "iCCP", iccp))).icc_profile), profile);
  iccp.resize(iccp.size() - 8); // a stream cut short
  EXPECT_EQ(codec_photo_tags(arena, view(png_with_chunk(png, "iCCP", iccp))).icc_profile.size, 0u);
}
