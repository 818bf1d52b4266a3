#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

#include "convert/image/image.h"
#include "test_images.h"
#include "test_text.h"

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
