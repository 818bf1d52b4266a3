#include <gtest/gtest.h>

#include "convert/image/image.h"
#include "test_images.h"

// A flat picture with a detailed, skin-coloured object near one end: the attention window
// holds the object, in the upright picture, however the picture is stored; a flat picture and
// a window as large as the picture give the centre.
TEST(ImageAttention, FindsTheDetailAtOneEndOfAFlatPicture) {
  const u64 W = 1200, H = 300; // upright; the object at x 1000..1140
  Bytes upright(W * H * 3);
  for (u64 y = 0; y < H; y += 1) {
    for (u64 x = 0; x < W; x += 1) {
      u8 *p = &upright[(y * W + x) * 3];
      bool object = x >= 1000 && x < 1140 && y >= 80 && y < 220;
      bool dark = ((x / 4) + (y / 4)) % 2 == 0;
      p[0] = object ? (dark ? 120 : 230) : 128;
      p[1] = object ? (dark ? 70 : 170) : 128;
      p[2] = object ? (dark ? 50 : 140) : 128;
    }
  }
  for (u32 orientation = 1; orientation <= 8; orientation += 1) {
    // store it so that a viewer applying `orientation` shows `upright`: the inverse turn
    u32 inverse = orientation == 6 ? 8 : orientation == 8 ? 6 : orientation;
    bool swap = orientation_swaps(orientation);
    u64 sw = swap ? H : W, sh = swap ? W : H;
    Bytes stored(W * H * 3);
    picture_turn(upright.data(), W * 3, W, H, 3, inverse, stored.data(), sw * 3);
    RectU64 r = attention_window(stored.data(), sw * 3, sw, sh, 3, orientation, SizeU64{300, 300});
    EXPECT_EQ(r.width, 300u) << orientation;
    EXPECT_EQ(r.height, 300u);
    EXPECT_EQ(r.y, 0u);
    EXPECT_LE(r.x, 1000u) << orientation;
    EXPECT_GE(r.x + 300, 1140u) << orientation;
  }

  Bytes flat(W * H * 4, 90);
  RectU64 c = attention_window(flat.data(), W * 4, W, H, 4, 1, SizeU64{300, 300});
  EXPECT_EQ(c.x, 450u);
  EXPECT_EQ(c.y, 0u);
  RectU64 whole = attention_window(upright.data(), W * 3, W, H, 3, 1, SizeU64{W, H});
  EXPECT_EQ(whole.x, 0u);
  EXPECT_EQ(whole.width, W);
}
