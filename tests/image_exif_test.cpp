#include <gtest/gtest.h>

#include "convert/image/image.h"
#include "test_images.h"

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
