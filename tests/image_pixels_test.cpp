#include <gtest/gtest.h>

#include <vector>

#include "convert/image/image.h"

TEST(PlanGeometry, FitInsideAndGcd) {
  SizeU64 a = fit_inside(4000, 3000, 1920, 1080);
  EXPECT_EQ(a.width, 1440u);
  EXPECT_EQ(a.height, 1080u);
  SizeU64 b = fit_inside(582, 1164, 300, 1000);
  EXPECT_EQ(b.width, 299u); // single-precision truncation loses a pixel
  EXPECT_EQ(b.height, 599u);
  SizeU64 c = fit_inside(640, 480, 640, 480);
  EXPECT_EQ(c.width, 640u);
  EXPECT_EQ(c.height, 480u);
  SizeU64 d = fit_inside(100, 50, 400, 400); // upscaling keeps the ratio
  EXPECT_EQ(d.width, 400u);
  EXPECT_EQ(d.height, 200u);
  SizeU64 e = fit_inside(1, 60000, 100, 100); // a side that truncates to nothing keeps a pixel
  EXPECT_EQ(e.width, 1u);
  EXPECT_EQ(e.height, 100u);
  SizeU64 g = fit_inside(60000, 1, 1920, 1080);
  EXPECT_EQ(g.width, 1920u);
  EXPECT_EQ(g.height, 1u);
  EXPECT_EQ(gcd_u32(1920, 1080), 120u);
  EXPECT_EQ(gcd_u32(7, 0), 7u);
  EXPECT_EQ(gcd_u32(0, 0), 0u);
}

TEST(PlanBackground, PixelBytesFromThePackedColour) {
  u8 px[4];
  background_pixel(0x11223344u, 4, px);
  EXPECT_EQ(std::vector<u8>(px, px + 4), (std::vector<u8>{0x11, 0x22, 0x33, 0x44}));
  background_pixel(0x11223344u, 3, px);
  EXPECT_EQ(std::vector<u8>(px, px + 3), (std::vector<u8>{0x11, 0x22, 0x33}));
  background_pixel(0xFF0000FFu, 2, px); // pure red: Y = (299 * 255 + 500) / 1000 = 76
  EXPECT_EQ(px[0], 76);
  EXPECT_EQ(px[1], 0xFF);
  background_pixel(0xFFFFFF80u, 1, px);
  EXPECT_EQ(px[0], 255);
  background_pixel(0, 4, px);
  EXPECT_EQ(std::vector<u8>(px, px + 4), (std::vector<u8>{0, 0, 0, 0}));
}

TEST(PlanBackground, OddRowGoesToTheBottomAndOddColumnToTheRight) {
  Arena *arena = arena_create(mib(4), kib(64));
  ImageStats image = {};
  image.width = 2;
  image.height = 1;
  image.bytes_per_pixel = 3;
  image.pixel_layout = 3;
  image.x_stride = 6;
  image.width_bg = 5;
  image.height_bg = 4;
  image.pixel_count = 2;
  image.pixel_count_bg = 18;
  image.bg_color = 0x0A0B0CFFu;
  u8 picture[6] = {1, 2, 3, 4, 5, 6};
  image.pixels = picture;
  image.pixel_size = 6;
  compose_background(arena, &image);
  ASSERT_EQ(image.pixel_size, 60u);
  EXPECT_EQ(image.x_stride, 15u);
  EXPECT_EQ(image.width, 2u); // the picture keeps its size, the canvas is width_bg x height_bg

  // dh = 3: one row on top, two at the bottom; dw = 3: one column left, two right.
  auto at = [&](int x, int y) { return std::vector<u8>(image.pixels + y * 15 + x * 3, image.pixels + y * 15 + x * 3 + 3); };
  std::vector<u8> bg = {0x0A, 0x0B, 0x0C};
  for (int x = 0; x < 5; x += 1) {
    EXPECT_EQ(at(x, 0), bg);
    EXPECT_EQ(at(x, 2), bg);
    EXPECT_EQ(at(x, 3), bg);
  }
  EXPECT_EQ(at(0, 1), bg);
  EXPECT_EQ(at(1, 1), (std::vector<u8>{1, 2, 3}));
  EXPECT_EQ(at(2, 1), (std::vector<u8>{4, 5, 6}));
  EXPECT_EQ(at(3, 1), bg);
  EXPECT_EQ(at(4, 1), bg);
  arena_destroy(arena);
}
