#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

#include "convert/image/image.h"
#include "test_images.h"

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
        ASSERT_TRUE(codec_resize(src, dst, layout, filter, 0)) << layout << " " << filter;
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
  ASSERT_TRUE(codec_resize({packed.data(), packed.size(), 20, 10, 60}, {a.data(), a.size(), 9, 4, 27}, 3, 2, 0));
  ASSERT_TRUE(codec_resize({padded.data(), padded.size(), 20, 10, 67}, {b.data(), b.size(), 9, 4, 27}, 3, 2, 0));
  EXPECT_EQ(a, b);
}

// The edge mode decides what lies past the picture's border: a white picture stays white to its
// edges when they are clamped, and darkens there when they are zero.
TEST_F(ConvertCodec, ResampleEdgeModes) {
  Bytes in(16 * 16, 255);
  CodecPicture src = {in.data(), in.size(), 16, 16, 16};
  for (u32 edge = 0; edge <= 3; edge += 1) {
    Bytes out(5 * 5, 0);
    ASSERT_TRUE(codec_resize(src, {out.data(), out.size(), 5, 5, 5}, 1, 3, edge)) << edge;
    if (edge == 3) {
      EXPECT_LT(out[0], 250) << "corner";
      EXPECT_GE(out[2 * 5 + 2], 254) << "middle";
    } else {
      for (u8 v : out) ASSERT_GE(v, 254) << edge;
    }
  }
}

TEST_F(ConvertCodec, ResampleRefusesWhatDoesNotFit) {
  Bytes in(8 * 8 * 4, 10);
  Bytes out(4 * 4 * 4, 0x5A);
  CodecPicture src = {in.data(), in.size(), 8, 8, 32};
  CodecPicture dst = {out.data(), out.size(), 4, 4, 16};
  EXPECT_FALSE(codec_resize(src, dst, 0, 0, 0));
  EXPECT_FALSE(codec_resize(src, dst, 5, 0, 0));
  EXPECT_FALSE(codec_resize(src, dst, 4, 7, 0));
  EXPECT_FALSE(codec_resize(src, dst, 4, 0, 4));
  CodecPicture short_out = dst;
  short_out.size -= 1;
  EXPECT_FALSE(codec_resize(src, short_out, 4, 0, 0));
  CodecPicture narrow_stride = dst;
  narrow_stride.stride = 15;
  EXPECT_FALSE(codec_resize(src, narrow_stride, 4, 0, 0));
  CodecPicture short_in = src;
  short_in.size = 8 * 7 * 4;
  EXPECT_FALSE(codec_resize(short_in, dst, 4, 0, 0));
  CodecPicture huge_in = src;
  huge_in.width = 1ull << 31;
  EXPECT_FALSE(codec_resize(huge_in, dst, 4, 0, 0));
  for (u8 v : out) ASSERT_EQ(v, 0x5A);
  EXPECT_TRUE(codec_resize(src, dst, 4, 0, 0));
  EXPECT_EQ(out[0], 10);
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
        if (!codec_resize({(u8 *)px.data(), px.size(), w, h, w * 3}, {small.data(), small.size(), 20, 15, 60}, 3, 4, 0)) {
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

void stb_jpeg_ycbcr_row(unsigned char *out, const unsigned char *y, const unsigned char *cb, const unsigned char *cr,
                        int count, bool header);

// The JPEG decoder's three-byte colour conversion is ours: it must give the header's bytes for
// every Y, Cb and Cr, and for rows whose length is not a multiple of its eight pixels.
TEST(ConvertCodecJpeg, ColourConversionGivesTheDecodersOwnBytesForEveryInput) {
  std::vector<unsigned char> y(1001), cb(1001), cr(1001), ours(3 * 1001 + 1), header(3 * 1001 + 1);
  for (int i = 0; i < 256; i += 1) y[i] = (unsigned char)i;
  for (int pair = 0; pair < 65536; pair += 1) {
    std::fill(cb.begin(), cb.begin() + 256, (unsigned char)pair);
    std::fill(cr.begin(), cr.begin() + 256, (unsigned char)(pair >> 8));
    stb_jpeg_ycbcr_row(ours.data(), y.data(), cb.data(), cr.data(), 256, false);
    stb_jpeg_ycbcr_row(header.data(), y.data(), cb.data(), cr.data(), 256, true);
    ASSERT_TRUE(std::equal(ours.begin(), ours.begin() + 3 * 256, header.begin())) << "Cb " << (pair & 255) << " Cr "
                                                                                  << (pair >> 8);
  }
  unsigned state = 12345;
  for (int count : {1, 7, 8, 9, 31, 1001}) {
    for (int i = 0; i < count; i += 1) {
      state = state * 1103515245u + 12345u;
      y[i] = (unsigned char)(state >> 24), cb[i] = (unsigned char)(state >> 16), cr[i] = (unsigned char)(state >> 8);
    }
    std::fill(ours.begin(), ours.end(), 0);
    std::fill(header.begin(), header.end(), 0);
    stb_jpeg_ycbcr_row(ours.data(), y.data(), cb.data(), cr.data(), count, false);
    stb_jpeg_ycbcr_row(header.data(), y.data(), cb.data(), cr.data(), count, true);
    EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 3 * count, header.begin())) << count << " pixels";
  }
}
