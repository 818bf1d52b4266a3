#include <gtest/gtest.h>

#include "convert/image/image.h"
#include "test_images.h"

//~ Tests
namespace {
constexpr u32 Width = 64, Height = 48;

// Top half a grey ramp from black to light grey (no highlight: nothing to brighten), bottom
// half one warm colour.
Bytes ramp_and_patch() {
  Bytes rgb((u64)Width * Height * 3);
  for (u32 y = 0; y < Height; y += 1) {
    for (u32 x = 0; x < Width; x += 1) {
      u8 *p = rgb.data() + ((u64)y * Width + x) * 3;
      if (y < Height / 2) {
        p[0] = p[1] = p[2] = (u8)(x * 200 / (Width - 1));
      } else {
        p[0] = 200, p[1] = 120, p[2] = 60;
      }
    }
  }
  return rgb;
}

// The mean of one channel over a rectangle of a developed picture.
double mean_of(Str8 pixels, u32 channel, u32 x0, u32 y0, u32 x1, u32 y1) {
  double sum = 0;
  for (u32 y = y0; y < y1; y += 1) {
    for (u32 x = x0; x < x1; x += 1) sum += pixels.str[((u64)y * Width + x) * 3 + channel];
  }
  return sum / ((double)(x1 - x0) * (y1 - y0));
}
} // namespace

TEST_F(CodecFixture, RawDngIsDevelopedUprightInTheColoursItWasSampledFrom) {
  Bytes dng = dng_file(ramp_and_patch(), Width, Height, 6);
  ASSERT_FALSE(dng.empty());
  // by its content: a TIFF structure holding a DNG is no TIFF, whatever its name
  ASSERT_EQ(format_of_bytes(view(dng)), &FormatRaw);
  EXPECT_FALSE(tiff_starts_as(view(dng)));
  ASSERT_TRUE(raw_complete(view(dng)));
  CodecProbe probe;
  ASSERT_TRUE(raw_probe(view(dng), &probe)) << codec_failure_reason(&probe.failure).str;
  EXPECT_EQ(probe.width, Width);
  EXPECT_EQ(probe.height, Height);
  EXPECT_EQ(probe.channels, 3u);
  // developed as stored; the camera's turn is ours to apply
  EXPECT_EQ(raw_photo_tags(arena, view(dng)).orientation, 6u);

  CodecDecoded got = raw_decode_heap(view(dng), Width, Height, 3);
  ASSERT_EQ(got.failure.kind, (u32)DecodeOk) << codec_failure_reason(&got.failure).str;
  ASSERT_EQ(got.width, Width);
  ASSERT_EQ(got.height, Height);
  // its colours are the picture's the mosaic was sampled from: the white balance and colour
  // matrix undone, the sRGB curve put back, nothing brightened; over the warm patch and both
  // ends of the ramp
  Bytes picture = ramp_and_patch();
  const u32 areas[3][4] = {{8, 32, 56, 44}, {2, 4, 10, 20}, {54, 4, 62, 20}};
  for (const u32 *a : areas) {
    for (u32 c = 0; c < 3; c += 1) {
      EXPECT_NEAR(mean_of(got.pixels, c, a[0], a[1], a[2], a[3]), mean_of(view(picture), c, a[0], a[1], a[2], a[3]), 6)
          << "channel " << c << " at " << a[0] << ", " << a[1];
    }
  }
  codec_heap_free(got.pixels);
  // four channels on request: opaque
  CodecDecoded rgba = raw_decode_heap(view(dng), Width, Height, 4);
  ASSERT_EQ(rgba.pixels.size, (u64)Width * Height * 4);
  EXPECT_EQ(rgba.pixels.str[3], 255);
  codec_heap_free(rgba.pixels);

  // the copy keeps the raw file's own extension, in lower case
  EXPECT_TRUE(str8_equals(format_copy_extension(FileTypeRaw, str8_lit("IMG_0001.CR2")), str8_lit("cr2"), 0));
  EXPECT_TRUE(str8_equals(format_copy_extension(FileTypeRaw, str8_lit("phone.dng")), str8_lit("dng"), 0));
  EXPECT_TRUE(str8_equals(format_copy_extension(FileTypeRaw, str8_lit("DSC_1.nef")), str8_lit("nef"), 0));
  EXPECT_TRUE(str8_equals(format_copy_extension(FileTypeRaw, str8_lit("odd.tif")), str8_lit("raw"), 0));
}

TEST_F(CodecFixture, RawCutShortIsNeverComplete) {
  Bytes dng = dng_file(ramp_and_patch(), Width, Height, 1);
  ASSERT_FALSE(dng.empty());
  u64 raw_ones = 0;
  for (u64 size = 8; size < dng.size(); size += 97) {
    Bytes cut(dng.begin(), dng.begin() + size);
    const ImageFormat *format = format_of_bytes(view(cut));
    if (!format) continue;
    EXPECT_FALSE(format->complete(view(cut))) << size;
    raw_ones += format == &FormatRaw;
  }
  // the first page comes first: most cuts are already told as raw, their data missing
  EXPECT_GT(raw_ones, 10u);
  // and makers' structures are told by their own signatures
  EXPECT_TRUE(raw_starts_as(str8_lit("FUJIFILMCCD-RAW 0201FF383501")));
  EXPECT_TRUE(raw_starts_as(str8_lit("IIRO\x08\0\0\0")));
  EXPECT_TRUE(raw_starts_as(str8_lit("IIU\0\x08\0\0\0")));
  EXPECT_TRUE(raw_starts_as(str8_lit("\0\0\0\x18" "ftypcrx \0\0\0\x01")));
  EXPECT_FALSE(raw_starts_as(str8_lit("\0\0\0\x18" "ftypheic\0\0\0\0")));
  EXPECT_FALSE(raw_complete(str8_lit("FUJIFILMCCD-RAW 0201FF383501")));
}
