#include <gtest/gtest.h>

#include <cstring>

#include "convert/image/image.h"
#include "test_images.h"

namespace {

// A palette of `count` distinct colours.
Bytes palette_of(u32 count, u32 seed) {
  Bytes p;
  for (u32 i = 0; i < count; i += 1) p.insert(p.end(), {(u8)(i * 37 + seed), (u8)(255 - i * 11), (u8)(i * 5 + seed * 3)});
  return p;
}

Bytes indexes_of(u32 width, u32 height, u32 colours, u64 seed) {
  Bytes n = noise((u64)width * height, seed);
  for (u8 &v : n) v = (u8)(v % colours);
  return n;
}

struct Decoded {
  Bytes pixels;
  u64 width = 0, height = 0;
  std::string reason;
};

Decoded decode(const Bytes &gif, u64 width, u64 height, u32 channels) {
  CodecDecoded d = FormatGif.decode_heap(view(gif), width, height, channels);
  Decoded out;
  out.pixels = bytes_of(d.pixels);
  out.width = d.width;
  out.height = d.height;
  out.reason = std::string((const char *)codec_failure_reason(&d.failure).str, codec_failure_reason(&d.failure).size);
  if (d.pixels.str) codec_heap_release(d.pixels.str);
  return out;
}

} // namespace

// Stills and first frames, exact to their palettes: a still of a global table, the same rows
// interlaced, a frame smaller than the screen at an offset with its own table and a transparent
// index, an animation's first frame and its count, and a frame larger than its screen.
TEST(ImageGif, FirstFrameComposedOnItsScreen) {
  const u32 W = 29, H = 21;
  Bytes global = palette_of(16, 3);
  Bytes idx = indexes_of(W, H, 16, 7);
  Bytes still = make_gif(W, H, global, {GifFrame{0, 0, W, H, idx, {}}});
  ASSERT_FALSE(still.empty());
  ASSERT_EQ(format_of_bytes(view(still)), &FormatGif);
  CodecProbe probe;
  ASSERT_TRUE(FormatGif.probe(view(still), &probe)) << probe.failure.reason;
  EXPECT_EQ(probe.width, W);
  EXPECT_EQ(probe.height, H);
  EXPECT_EQ(probe.channels, 3u);
  EXPECT_LE(probe.frames, 1u);
  EXPECT_TRUE(FormatGif.complete(view(still)));
  Decoded rgb = decode(still, W, H, 3);
  ASSERT_EQ(rgb.pixels.size(), (u64)W * H * 3) << rgb.reason;
  for (u64 i = 0; i < (u64)W * H; i += 1) {
    ASSERT_EQ(memcmp(&rgb.pixels[i * 3], &global[idx[i] * 3], 3), 0) << "pixel " << i;
  }
  Decoded rgba = decode(still, W, H, 4);
  ASSERT_EQ(rgba.pixels.size(), (u64)W * H * 4);
  for (u64 i = 0; i < (u64)W * H; i += 1) {
    ASSERT_EQ(memcmp(&rgba.pixels[i * 4], &rgb.pixels[i * 3], 3), 0);
    ASSERT_EQ(rgba.pixels[i * 4 + 3], 255);
  }
  // bytes after the trailer do not matter
  Bytes trailing = still;
  trailing.insert(trailing.end(), {0, 1, 2, 3});
  EXPECT_TRUE(FormatGif.complete(view(trailing)));
  EXPECT_EQ(decode(trailing, W, H, 3).pixels, rgb.pixels);

  Bytes interlaced = make_gif(W, H, global, {GifFrame{0, 0, W, H, idx, {}, -1, true}});
  ASSERT_NE(interlaced, still);
  EXPECT_EQ(decode(interlaced, W, H, 3).pixels, rgb.pixels) << "the passes put back in place";

  // an 8 x 5 frame at (17, 14) of a 20 x 12 screen: its last column and rows fall off it
  Bytes local = palette_of(4, 90);
  Bytes small = indexes_of(8, 5, 4, 11);
  small[0] = 2;
  Bytes offset = make_gif(20, 12, global, {GifFrame{13, 9, 8, 5, small, local, 2}});
  ASSERT_TRUE(FormatGif.probe(view(offset), &probe));
  EXPECT_EQ(probe.channels, 4u);
  Decoded placed = decode(offset, 20, 12, 4);
  ASSERT_EQ(placed.pixels.size(), 20u * 12 * 4) << placed.reason;
  for (u32 y = 0; y < 12; y += 1) {
    for (u32 x = 0; x < 20; x += 1) {
      const u8 *p = &placed.pixels[(y * 20 + x) * 4];
      bool inside = x >= 13 && y >= 9;
      u8 i = inside ? small[(y - 9) * 8 + (x - 13)] : 0;
      if (!inside || i == 2) {
        ASSERT_EQ(p[0] | p[1] | p[2] | p[3], 0) << x << "," << y << " transparent black";
      } else {
        ASSERT_EQ(memcmp(p, &local[i * 3], 3), 0) << x << "," << y;
        ASSERT_EQ(p[3], 255);
      }
    }
  }

  // an animation: its first frame, and how many there are
  Bytes second = indexes_of(W, H, 16, 99);
  Bytes animated = make_gif(W, H, global, {GifFrame{0, 0, W, H, idx, {}}, GifFrame{0, 0, W, H, second, {}},
                                           GifFrame{3, 3, 4, 4, Bytes(16, 1), {}}});
  ASSERT_TRUE(FormatGif.probe(view(animated), &probe));
  EXPECT_EQ(probe.frames, 3u);
  EXPECT_EQ(probe.channels, 3u);
  EXPECT_EQ(decode(animated, W, H, 3).pixels, rgb.pixels);

  // a frame larger than its screen (a writer's zero screen) makes the picture its size
  Bytes zero_screen = make_gif(0, 0, global, {GifFrame{5, 5, W, H, idx, {}}});
  ASSERT_TRUE(FormatGif.probe(view(zero_screen), &probe));
  EXPECT_EQ(probe.width * 1000 + probe.height, W * 1000u + H);
  EXPECT_EQ(probe.channels, 3u);
  EXPECT_EQ(decode(zero_screen, W, H, 3).pixels, rgb.pixels);
}

// A GIF being written waits for its trailer; damaged ones fail with the library's reason, and a
// frame of the whole screen's size is never read past the picture.
TEST(ImageGif, CutShortWaitsAndDamagedFailsCleanly) {
  const u32 W = 40, H = 30;
  Bytes global = palette_of(64, 1);
  Bytes gif = make_gif(W, H, global, {GifFrame{0, 0, W, H, indexes_of(W, H, 64, 5), {}},
                                      GifFrame{0, 0, W, H, indexes_of(W, H, 64, 6), {}}});
  ASSERT_FALSE(gif.empty());
  for (u64 size = 0; size < gif.size(); size += 1) {
    Bytes cut(gif.begin(), gif.begin() + size);
    ASSERT_FALSE(FormatGif.complete(view(cut))) << "cut at " << size << " of " << gif.size();
  }
  ASSERT_TRUE(FormatGif.complete(view(gif)));

  // LZW codes past the table (all bits set after the code size byte): refused, never composed
  u64 data = 13 + global.size() + 8 + 10 + 1; // screen, table, control extension, descriptor, code size
  ASSERT_EQ(gif[data - 1], 6); // 64 colours: 6-bit codes
  Bytes bad = gif;
  for (u64 i = data + 1; i < data + 40; i += 1) bad[i] = 0xFF;
  CodecProbe probe;
  ASSERT_TRUE(FormatGif.probe(view(bad), &probe));
  ASSERT_TRUE(FormatGif.complete(view(bad)));
  Decoded refused = decode(bad, W, H, 3);
  EXPECT_TRUE(refused.pixels.empty());
  EXPECT_FALSE(refused.reason.empty());

  // a huge screen is told from its header, before anything is decoded
  Bytes huge = gif;
  huge[6] = huge[7] = huge[8] = huge[9] = 0xFF;
  ASSERT_FALSE(FormatGif.probe(view(huge), &probe));
  EXPECT_EQ(probe.width, 65535u);
  EXPECT_EQ(probe.height, 65535u);
  EXPECT_STREQ(probe.failure.reason, "picture too large for the decoder");
  EXPECT_TRUE(decode(huge, 65535, 65535, 4).pixels.empty());
}
