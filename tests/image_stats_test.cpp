#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include <blake2.h>

#include "convert/image/image.h"

static ImageStats stats_of(const std::vector<u8> &pixels, u64 width, u64 height, u64 stride, u32 layout) {
  ImageStats s = {};
  s.pixel_layout = layout;
  compute_image_stats(pixels.data(), width, height, stride, &s);
  return s;
}

static bool same_stats(const ImageStats &a, const ImageStats &b) {
  return a.pixel_count == b.pixel_count && memcmp(a.mean_rgba, b.mean_rgba, sizeof(a.mean_rgba)) == 0 &&
         memcmp(a.var, b.var, sizeof(a.var)) == 0 && memcmp(a.min, b.min, sizeof(a.min)) == 0 &&
         memcmp(a.max, b.max, sizeof(a.max)) == 0 && a.approx_unique_colors == b.approx_unique_colors;
}

// The first key other than `skip` that lands in `slot`.
static u32 key_in_slot(u32 slot, u32 skip) {
  for (u32 key = 1; key < (1u << 24); key += 1) {
    if (key != skip && color_seen_slot(key) == slot) return key;
  }
  return 0;
}

TEST(ConvertStats, SlotsOfKnownColours) {
  EXPECT_EQ(color_seen_slot(16777215), 4808u);
  EXPECT_EQ(color_seen_slot(660510), 41196u);
  EXPECT_EQ(color_seen_slot(8421504), 45333u);
  EXPECT_EQ(color_seen_slot(0), 0u);
}

TEST(ConvertStats, SinglePixels) {
  ImageStats s = stats_of({10, 20, 30}, 1, 1, 3, 3);
  EXPECT_EQ(s.pixel_count, 1u);
  EXPECT_EQ(s.mean_rgba[0], 10u);
  EXPECT_EQ(s.mean_rgba[1], 20u);
  EXPECT_EQ(s.mean_rgba[2], 30u);
  EXPECT_EQ(s.mean_rgba[3], 255u);
  for (int c = 0; c < 3; c += 1) EXPECT_EQ(s.var[c], 0.0);
  const u8 want[4] = {10, 20, 30, 255};
  for (int c = 0; c < 4; c += 1) {
    EXPECT_EQ(s.min[c], want[c]);
    EXPECT_EQ(s.max[c], want[c]);
  }
  EXPECT_EQ(s.approx_unique_colors, 1u);

  // black sits in slot 0, whose empty value is already its key
  ImageStats black = stats_of({0, 0, 0}, 1, 1, 3, 3);
  EXPECT_EQ(black.approx_unique_colors, 0u);
  EXPECT_EQ(black.mean_rgba[3], 255u);
}

TEST(ConvertStats, GreyPairTruncatedMeanVariance) {
  std::vector<u8> px = {0, 255};
  ImageStats a = stats_of(px, 2, 1, 2, 1);
  for (int c = 0; c < 3; c += 1) {
    EXPECT_EQ(a.mean_rgba[c], 127u);
    EXPECT_DOUBLE_EQ(a.var[c], 16383.5);
    EXPECT_EQ(a.min[c], 0);
    EXPECT_EQ(a.max[c], 255);
  }
  EXPECT_EQ(a.mean_rgba[3], 255u);
  EXPECT_EQ(a.min[3], 255);
  EXPECT_EQ(a.max[3], 255);
  EXPECT_EQ(a.approx_unique_colors, 1u);
  EXPECT_EQ(a.pixel_count, 2u);

  // the table starts empty for every call
  ImageStats b = stats_of(px, 2, 1, 2, 1);
  EXPECT_TRUE(same_stats(a, b));
}

TEST(ConvertStats, ChannelMappingAndRowPadding) {
  // grey + alpha: R = G = B = p[0], A = p[1]; the two bytes after each row are padding
  std::vector<u8> ga = {10, 100, 30, 200, 0xEE, 0xEE, 50, 0, 70, 40, 0xEE, 0xEE};
  ImageStats s = stats_of(ga, 2, 2, 6, 2);
  for (int c = 0; c < 3; c += 1) {
    EXPECT_EQ(s.mean_rgba[c], 40u);
    EXPECT_EQ(s.min[c], 10);
    EXPECT_EQ(s.max[c], 70);
    EXPECT_DOUBLE_EQ(s.var[c], (100.0 + 900.0 + 2500.0 + 4900.0) / 4.0 - 1600.0);
  }
  EXPECT_EQ(s.mean_rgba[3], 85u);
  EXPECT_EQ(s.min[3], 0);
  EXPECT_EQ(s.max[3], 200);
  EXPECT_EQ(s.approx_unique_colors, 4u);

  // RGBA read directly; mean of A is truncated (255 + 0 + 1) / 3 = 85
  std::vector<u8> rgba = {1, 2, 3, 255, 4, 5, 6, 0, 7, 8, 9, 1};
  ImageStats r = stats_of(rgba, 3, 1, 12, 4);
  EXPECT_EQ(r.mean_rgba[0], 4u);
  EXPECT_EQ(r.mean_rgba[1], 5u);
  EXPECT_EQ(r.mean_rgba[2], 6u);
  EXPECT_EQ(r.mean_rgba[3], 85u);
  EXPECT_EQ(r.max[3], 255);
  EXPECT_EQ(r.min[3], 0);

  // an unknown layout visits nothing
  ImageStats u = stats_of({1, 2, 3}, 1, 1, 3, 0);
  EXPECT_EQ(u.approx_unique_colors, 0u);
  EXPECT_EQ(u.mean_rgba[0], 0u);
  EXPECT_EQ(u.min[0], 255);
  EXPECT_EQ(u.max[0], 0);

  // a preset pixel count is the divisor
  ImageStats preset = {};
  preset.pixel_layout = 1;
  preset.pixel_count = 4;
  std::vector<u8> two = {100, 100};
  compute_image_stats(two.data(), 2, 1, 2, &preset);
  EXPECT_EQ(preset.pixel_count, 4u);
  EXPECT_EQ(preset.mean_rgba[0], 50u);
}

TEST(ConvertStats, ColourEstimateCountsSlotReplacements) {
  auto rgb = [](u32 key) { return std::vector<u8>{(u8)(key >> 16), (u8)(key >> 8), (u8)key}; };
  auto image = [&](std::initializer_list<u32> keys) {
    std::vector<u8> px;
    for (u32 k : keys) {
      std::vector<u8> p = rgb(k);
      px.insert(px.end(), p.begin(), p.end());
    }
    return px;
  };

  // a run of one colour counts once
  EXPECT_EQ(stats_of(image({660510, 660510, 660510}), 3, 1, 9, 3).approx_unique_colors, 1u);

  // two colours sharing a slot count every time they alternate
  u32 a = 660510;
  u32 b = key_in_slot(color_seen_slot(a), a);
  ASSERT_NE(b, 0u);
  EXPECT_EQ(stats_of(image({a, b, a, b}), 4, 1, 12, 3).approx_unique_colors, 4u);

  // black counts once another colour has taken slot 0 before it
  u32 z = key_in_slot(0, 0);
  ASSERT_NE(z, 0u);
  EXPECT_EQ(stats_of(image({z, 0}), 2, 1, 6, 3).approx_unique_colors, 2u);
  EXPECT_EQ(stats_of(image({0, z}), 2, 1, 6, 3).approx_unique_colors, 1u);
}

TEST(ConvertStats, ThreadsAtOnceAgreeWithOneThread) {
  std::vector<std::vector<u8>> images(4);
  std::vector<ImageStats> serial(4);
  for (u32 i = 0; i < 4; i += 1) {
    u32 seed = 12345 + i;
    images[i].resize(64 * 48 * 3);
    for (u8 &v : images[i]) {
      seed = seed * 1664525u + 1013904223u;
      v = (u8)(seed >> 24);
    }
    serial[i] = stats_of(images[i], 64, 48, 64 * 3, 3);
  }
  std::vector<ImageStats> parallel(4);
  std::vector<std::thread> threads;
  for (u32 i = 0; i < 4; i += 1) {
    threads.emplace_back([&, i] {
      ThreadContext ctx;
      thread_context_init(&ctx);
      for (int round = 0; round < 20; round += 1) parallel[i] = stats_of(images[i], 64, 48, 64 * 3, 3);
      thread_context_release();
    });
  }
  for (std::thread &t : threads) t.join();
  for (u32 i = 0; i < 4; i += 1) {
    EXPECT_TRUE(same_stats(serial[i], parallel[i])) << i;
    EXPECT_GT(serial[i].approx_unique_colors, 2000u);
  }
}

// Sums, squares and extremes counted one byte at a time, as the definition reads.
static void reference_sums(const std::vector<u8> &pixels, u64 width, u64 height, u64 stride, u32 layout, u64 sum[4],
                           u64 square[3], u8 lo[4], u8 hi[4]) {
  for (u32 c = 0; c < 4; c += 1) sum[c] = 0, lo[c] = 255, hi[c] = 0;
  for (u32 c = 0; c < 3; c += 1) square[c] = 0;
  for (u64 y = 0; y < height; y += 1) {
    for (u64 x = 0; x < width; x += 1) {
      const u8 *p = pixels.data() + y * stride + x * layout;
      u32 v[4] = {p[0], p[0], p[0], 255};
      if (layout >= 3) v[1] = p[1], v[2] = p[2];
      if (layout == 2 || layout == 4) v[3] = p[layout - 1];
      for (u32 c = 0; c < 4; c += 1) {
        sum[c] += v[c];
        if (c < 3) square[c] += v[c] * v[c];
        lo[c] = std::min<u8>(lo[c], (u8)v[c]);
        hi[c] = std::max<u8>(hi[c], (u8)v[c]);
      }
    }
  }
}

TEST(ConvertStats, WideRowsAgreeWithByteByByteSums) {
  // widths around the vector chunks (16 pixels of one, two or four channels, 16 of three),
  // padded rows, noise with a few extreme bytes
  u32 seed = 12345;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  for (u32 layout = 1; layout <= 4; layout += 1) {
    for (u64 width : {15ull, 16ull, 17ull, 47ull, 300ull, 1001ull}) {
      u64 height = 7, stride = width * layout + 5;
      std::vector<u8> pixels(stride * height);
      for (u8 &b : pixels) b = (u8)(next() >> 24);
      pixels[stride + 3] = 0;
      pixels[2 * stride + layout] = 255;
      ImageStats s = stats_of(pixels, width, height, stride, layout);
      u64 sum[4], square[3];
      u8 lo[4], hi[4];
      reference_sums(pixels, width, height, stride, layout, sum, square, lo, hi);
      u64 n = width * height;
      for (u32 c = 0; c < 4; c += 1) {
        EXPECT_EQ(s.mean_rgba[c], (u32)(sum[c] / n)) << layout << " " << width << " " << c;
        EXPECT_EQ(s.min[c], lo[c]) << layout << " " << width << " " << c;
        EXPECT_EQ(s.max[c], hi[c]) << layout << " " << width << " " << c;
      }
      for (u32 c = 0; c < 3; c += 1) {
        f64 m = (f64)(sum[c] / n);
        EXPECT_DOUBLE_EQ(s.var[c], (f64)square[c] * (1.0 / (f64)n) - m * m) << layout << " " << width << " " << c;
      }
    }
  }
}

TEST(ConvertCodecChecksum, Blake2b128Digests) {
  U128 abc = codec_blake2b128("abc", 3);
  EXPECT_EQ(abc.u64s[0], 0x2b8d2bc691b74acfull);
  EXPECT_EQ(abc.u64s[1], 0x1678287502c90921ull);
  // a 16-byte digest length, not a cut 64-byte digest: the empty input has its own value
  U128 empty = codec_blake2b128(nullptr, 0);
  EXPECT_EQ(empty.u64s[0], 0x40bdefd94169e6caull);
  EXPECT_EQ(empty.u64s[1], 0x7076a68e75884d4eull);
}

TEST(ConvertCodecChecksum, AgreesWithLibb2WholeAndInPieces) {
  // every length 0-4096 (block edges, partial last blocks), a picture's size and one past a MiB,
  // each whole and fed in uneven pieces
  std::vector<u8> bytes(921600 + 4096);
  u32 seed = 777;
  for (u8 &b : bytes) b = (u8)((seed = seed * 1664525u + 1013904223u) >> 24);
  std::vector<u64> sizes;
  for (u64 n = 0; n <= 4096; n += 1) sizes.push_back(n);
  sizes.push_back(921600);
  sizes.push_back((1 << 20) + 17);
  bytes.resize((1 << 20) + 17, 0x5A);
  for (u64 n : sizes) {
    u8 expected[16];
    blake2b(expected, bytes.data(), nullptr, 16, n, 0);
    U128 whole = codec_blake2b128(bytes.data(), n);
    ASSERT_EQ(memcmp(whole.u64s, expected, 16), 0) << n; // little-endian words are the digest's bytes
    Blake2b128 state;
    blake2b128_begin(&state);
    u64 done = 0, step = n % 131 + 1;
    while (done < n) {
      u64 take = std::min(step, n - done);
      blake2b128_feed(&state, bytes.data() + done, take);
      blake2b128_feed(&state, nullptr, 0);
      done += take;
      step = step * 7 % 300 + 1;
    }
    U128 pieces = blake2b128_end(&state);
    ASSERT_EQ(memcmp(pieces.u64s, expected, 16), 0) << n;
  }
}

TEST(ConvertStats, StatsAndChecksumInOnePassAgreeWithApart) {
  // tall pictures (several 64 KiB bands), rows wider than a band, padded rows, and a picture
  // inside a larger canvas whose whole bytes are hashed
  u32 seed = 4242;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  struct Case {
    u64 width, height, pad;
  };
  for (u32 layout = 1; layout <= 4; layout += 1) {
    for (Case c : {Case{17, 3000, 0}, Case{33, 2100, 5}, Case{30000, 3, 0}, Case{1, 1, 0}, Case{641, 480, 3}}) {
      u64 stride = c.width * layout + c.pad;
      u64 top = 2, bottom = 3;
      std::vector<u8> canvas(stride * (top + c.height + bottom));
      for (u8 &b : canvas) b = (u8)(next() >> 24);
      const u8 *picture = canvas.data() + top * stride + (c.pad ? 1 : 0);
      u64 picture_size = stride * (c.height - 1) + c.width * layout;

      ImageStats apart = {}, fused = {}, whole = {};
      apart.pixel_layout = fused.pixel_layout = whole.pixel_layout = layout;
      compute_image_stats(picture, c.width, c.height, stride, &apart);
      U128 own = compute_image_stats_and_checksum(picture, c.width, c.height, stride, picture, picture_size, &fused);
      EXPECT_TRUE(same_stats(apart, fused)) << layout << " " << c.width;
      EXPECT_TRUE(u128_equal(own, codec_blake2b128(picture, picture_size))) << layout << " " << c.width;
      U128 all = compute_image_stats_and_checksum(picture, c.width, c.height, stride, canvas.data(), canvas.size(),
                                                  &whole);
      EXPECT_TRUE(same_stats(apart, whole)) << layout << " " << c.width;
      EXPECT_TRUE(u128_equal(all, codec_blake2b128(canvas.data(), canvas.size()))) << layout << " " << c.width;
    }
  }
}

TEST(ConvertStats, Avx2PassAgreesWithReference) {
  if (!image_stats_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  // noise, runs of one colour (whole groups of eight skipped, groups straddling a run's end),
  // black after a colour that took slot 0, odd widths around 8 and the chunk sizes, padded rows
  u32 seed = 99;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
  u32 z = key_in_slot(0, 0);
  for (u32 layout = 1; layout <= 4; layout += 1) {
    for (u64 width : {1ull, 7ull, 8ull, 9ull, 31ull, 33ull, 95ull, 97ull, 1001ull, 4099ull}) {
      for (u64 pad : {0ull, 13ull}) {
        u64 height = 11, stride = width * layout + pad;
        std::vector<u8> pixels(stride * height);
        for (u64 y = 0; y < height; y += 1) {
          u8 *row = pixels.data() + y * stride;
          u32 colour = next();
          for (u64 x = 0; x < width; x += 1) {
            u32 r = next();
            if ((r >> 28) < 3) colour = next(); // runs of one colour, of uneven length
            u32 v = y % 3 == 0 ? r : colour;
            if (y == 5 && x % 2 == 0) v = x % 4 ? z << 8 : 0; // a colour in slot 0, then black
            for (u32 c = 0; c < layout; c += 1) row[x * layout + c] = (u8)(v >> (24 - 8 * c));
          }
          for (u64 i = width * layout; i < stride; i += 1) row[i] = (u8)next();
        }
        ImageStats fast = {}, reference = {};
        fast.pixel_layout = reference.pixel_layout = layout;
        compute_image_stats(pixels.data(), width, height, stride, &fast);
        compute_image_stats_reference(pixels.data(), width, height, stride, &reference);
        EXPECT_TRUE(same_stats(fast, reference)) << layout << " " << width << " " << pad;
      }
    }
  }
}
