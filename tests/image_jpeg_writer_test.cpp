#include <gtest/gtest.h>

#include <string>

#include "convert/image/image.h"
#include "test_images.h"

namespace {

// Pictures whose JPEG bytes the writer must reproduce: smooth ramps exercise the small
// coefficients and long zero runs, noise the large ones, the stuffed 0xFF bytes and the
// 16-zero codes.
Bytes smooth(u64 width, u64 height, u32 channels) {
  Bytes out(width * height * channels);
  for (u64 y = 0; y < height; y += 1) {
    for (u64 x = 0; x < width; x += 1) {
      for (u32 c = 0; c < channels; c += 1) {
        u64 along = c % 2 ? y * 255 / (height > 1 ? height - 1 : 1) : x * 255 / (width > 1 ? width - 1 : 1);
        out[(y * width + x) * channels + c] = (u8)(c == 2 ? 255 - along : along);
      }
    }
  }
  return out;
}

// A photo-like picture: a ramp with texture and some noise.
Bytes textured(u64 width, u64 height, u32 channels, u64 seed) {
  Bytes out = smooth(width, height, channels), grain = noise(out.size(), seed);
  for (u64 i = 0; i < out.size(); i += 1) {
    u64 x = i / channels % width, y = i / channels / width;
    int v = out[i] + (int)((x * x + y * 5) % 23) + grain[i] % 17 - 20;
    out[i] = (u8)clamp_of(0, v, 255);
  }
  return out;
}

struct JpegCompare {
  Arena *arena;

  // Our writer and stb's on the same pixels; a difference is reported with its first offset.
  void check(const Bytes &pixels, u64 width, u64 height, u32 channels, int quality, const char *what) {
    u64 mark = arena_offset(arena);
    Str8 ours = {}, theirs = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &ours, 64);
    bool ours_ok = encode_sink_finish(&sink, jpeg_encode(&sink, pixels.data(), width, height, channels, quality));
    encode_sink_begin(&sink, arena, &theirs, 64);
    bool theirs_ok = codec_encode_jpeg_stb(&sink, pixels.data(), pixels.size(), width, height, channels, quality);
    std::string label = std::string(what) + " " + std::to_string(width) + "x" + std::to_string(height) + " channels " +
                        std::to_string(channels) + " quality " + std::to_string(quality);
    EXPECT_TRUE(ours_ok && theirs_ok) << label;
    u64 common = min_of(ours.size, theirs.size), first = 0;
    while (first < common && ours.str[first] == theirs.str[first]) first += 1;
    EXPECT_TRUE(ours.size == theirs.size && first == common)
        << label << ": " << ours.size << " bytes against " << theirs.size << ", first difference at " << first;
    arena_rewind(arena, mark);
  }
};

} // namespace

TEST(ConvertJpeg, WriterMatchesStbByteForByte) {
  JpegCompare compare = {arena_create(mib(256), mib(4))};

  // every quality, both chroma layouts (4:2:0 up to 90), every channel layout, on sides that
  // are neither multiples of 8 nor of 16; 0 and out-of-range qualities as stb reads them
  for (u32 channels = 1; channels <= 4; channels += 1) {
    Bytes grain = noise(23 * 19 * channels, 40 + channels);
    Bytes ramp = textured(37, 21, channels, 7);
    for (int quality = -3; quality <= 103; quality += 1) {
      compare.check(grain, 23, 19, channels, quality, "noise");
      compare.check(ramp, 37, 21, channels, quality, "textured");
    }
  }

  // a grey picture holding every value, whose chroma the writer does not compute
  Bytes every(64 * 64);
  for (u64 i = 0; i < every.size(); i += 1) every[i] = (u8)(i * 37 + i / 64);
  for (int quality = 1; quality <= 100; quality += 1) compare.check(every, 64, 64, 1, quality, "every grey");

  // edge replication on odd sizes, single rows and columns, one pixel
  const struct {
    u64 width, height;
  } sizes[] = {{17, 9}, {33, 31}, {1, 1}, {1, 5000}, {5000, 1}, {8, 8}, {16, 16}, {15, 17}, {2, 3}};
  const int qualities[] = {1, 50, 90, 91, 100};
  for (auto size : sizes) {
    for (u32 channels = 1; channels <= 4; channels += 1) {
      Bytes grain = noise(size.width * size.height * channels, size.width * 31 + channels);
      Bytes ramp = smooth(size.width, size.height, channels);
      for (int quality : qualities) {
        compare.check(grain, size.width, size.height, channels, quality, "noise");
        compare.check(ramp, size.width, size.height, channels, quality, "smooth");
      }
    }
  }

  // what the many-files flood writes: a 640×480 photo fitted into 256×256 on white bars; and a
  // larger smooth frame
  Bytes photo = textured(640, 480, 3, 11);
  Bytes thumbnail(256 * 256 * 3, 255);
  CodecPicture from = {photo.data(), photo.size(), 640, 480, 640 * 3};
  CodecPicture into = {thumbnail.data() + 32 * 256 * 3, 192 * 256 * 3, 256, 192, 256 * 3};
  ASSERT_TRUE(codec_resize(from, into, 3, 0, 0));
  Bytes frame = smooth(640, 360, 3);
  for (int quality : {60, 80, 90, 95}) {
    compare.check(thumbnail, 256, 256, 3, quality, "thumbnail");
    compare.check(frame, 640, 360, 3, quality, "smooth frame");
  }

  // A float rounding done in another order moves a coefficient across a rounding boundary only
  // rarely: enough of them, at the finest steps of each chroma layout, to catch one.
  Bytes grain = noise(1024 * 768 * 3, 99);
  for (int quality : {90, 100}) compare.check(grain, 1024, 768, 3, quality, "noise");

  arena_destroy(compare.arena);
}
