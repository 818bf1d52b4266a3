#include <gtest/gtest.h>

#include <string>

#include "convert/convert_metadata.h"
#include "test_text.h"

namespace {

struct ArenaFixture : testing::Test {
  Arena *arena = nullptr;
  void SetUp() override { arena = arena_create(mib(8), kib(64)); }
  void TearDown() override { arena_destroy(arena); }

  std::string record_text(OutputRecord *record) {
    Str8List list = {};
    format_metadata_record(arena, &list, record);
    EXPECT_EQ(list.node_count, 38u);
    JoinParams join = {};
    Str8 text = str8_list_join(arena, &list, &join);
    return std::string((const char *)text.str, text.size);
  }
};

std::string hex_of(U128 d) {
  std::string out;
  const char *digits = "0123456789abcdef";
  for (u32 i = 0; i < 16; i += 1) {
    u8 b = (u8)(d.u64s[i / 8] >> (8 * (i % 8)));
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}


} // namespace

using ConvertMetadata = ArenaFixture;

TEST_F(ConvertMetadata, ChecksumTextOfDigest) {
  // the 1 × 1 RGB picture whose three bytes are "abc"
  U128 d = codec_blake2b128("abc", 3);
  EXPECT_EQ(hex_of(d), "cf4ab791c62b8d2b2109c90275287816");
  EXPECT_EQ(text_of(checksum_text(arena, d)), "244470855946729505");

  // only bytes 0-3 and 8-11 count; no padding, no separator
  U128 cut = {{0xFFFFFFFF00000005ull, 0x00000001FFFFFFFFull}};
  EXPECT_EQ(text_of(checksum_text(arena, cut)), "54294967295");
  EXPECT_EQ(text_of(checksum_text(arena, u128_zero())), "00");
}

TEST_F(ConvertMetadata, SourceRecordText) {
  ImageStats im = {};
  im.width = 640;
  im.height = 480;
  im.aspect_ratio_width = 4;
  im.aspect_ratio_height = 3;
  im.x_stride = 1920;
  im.bytes_per_pixel = 3;
  im.pixel_layout = 3;
  im.pixel_count = 307200;
  im.mean_rgba[0] = 10, im.mean_rgba[1] = 20, im.mean_rgba[2] = 30, im.mean_rgba[3] = 255;
  im.var[0] = 16383.5, im.var[1] = 0.0, im.var[2] = 1234.5678;
  im.min[0] = 1, im.min[1] = 2, im.min[2] = 3, im.min[3] = 255;
  im.max[0] = 201, im.max[1] = 202, im.max[2] = 203, im.max[3] = 255;
  im.bytes_per_channel = 1;
  im.approx_unique_colors = 777;

  OutputRecord rec = {};
  rec.is_original = 1;
  rec.file_type = FileTypePng;
  rec.file_path = str8_lit("/srv/out/244470855946729505.png");
  rec.checksum = str8_lit("244470855946729505");
  rec.file_info.size = 12345;
  rec.quality = 100;
  rec.image = &im;

  EXPECT_EQ(record_text(&rec),
            "[is_original]1;[file_type]PNG;[file_path]/srv/out/244470855946729505.png;"
            "[checksum]244470855946729505;[file_size]12345;[quality]100;[width]640;[height]480;"
            "[width_bg]0;[height_bg]0;[aspect_ratio_width]4;[aspect_ratio_height]3;"
            "[aspect_ratio_width_bg]0;[aspect_ratio_height_bg]0;[x_stride]1920;[pixel_layout]RGB;"
            "[bytes_per_pixel]3;[color_ratio_per_small_area]0;[approx_unique_colors]777;"
            "[pixel_count]307200;[pixel_count_bg]0;[mean_rgba_R]10;[mean_rgba_G]20;[mean_rgba_B]30;"
            "[mean_rgba_A]255;[var_r]16383.500000;[var_g]0.000000;[var_b]1234.567800;[min_r]1;[min_g]2;"
            "[min_b]3;[min_a]255;[max_r]201;[max_g]202;[max_b]203;[max_a]255;[bg_color]0;[END_FILE];");
}

TEST_F(ConvertMetadata, LetterboxedRecordAndValuesPast32Bits) {
  ImageStats im = {};
  im.width = 1440;
  im.height = 1080;
  im.aspect_ratio_width = 4;
  im.aspect_ratio_height = 3;
  im.width_bg = 1920;
  im.height_bg = 1080;
  im.aspect_ratio_width_bg = 16;
  im.aspect_ratio_height_bg = 9;
  im.x_stride = 7680;
  im.bytes_per_pixel = 4;
  im.bg_color = 0x112233FFu;
  im.pixel_layout = 4;
  im.pixel_count = 1555200;
  im.pixel_count_bg = (1ull << 32) + 518400;
  im.mean_rgba[3] = 200;
  im.min[3] = 17;
  im.max[0] = 9;
  im.approx_unique_colors = 4294967295u;

  OutputRecord rec = {};
  rec.is_original = 0;
  rec.file_type = FileTypeJpeg;
  rec.file_path = str8_lit("o/1.jpg");
  rec.checksum = str8_lit("1");
  rec.file_info.size = (1ull << 32) + 42;
  rec.quality = 85;
  rec.image = &im;

  EXPECT_EQ(record_text(&rec),
            "[is_original]0;[file_type]JPEG;[file_path]o/1.jpg;[checksum]1;[file_size]42;[quality]85;"
            "[width]1440;[height]1080;[width_bg]1920;[height_bg]1080;[aspect_ratio_width]4;"
            "[aspect_ratio_height]3;[aspect_ratio_width_bg]16;[aspect_ratio_height_bg]9;[x_stride]7680;"
            "[pixel_layout]RGBA;[bytes_per_pixel]4;[color_ratio_per_small_area]0;"
            "[approx_unique_colors]4294967295;[pixel_count]1555200;[pixel_count_bg]518400;"
            "[mean_rgba_R]0;[mean_rgba_G]0;[mean_rgba_B]0;[mean_rgba_A]200;[var_r]0.000000;"
            "[var_g]0.000000;[var_b]0.000000;[min_r]0;[min_g]0;[min_b]0;[min_a]17;[max_r]9;[max_g]0;"
            "[max_b]0;[max_a]0;[bg_color]287454207;[END_FILE];");
}

TEST_F(ConvertMetadata, RecordWithoutImageOrType) {
  OutputRecord rec = {};
  rec.is_original = 7;
  rec.file_info.size = 1ull << 33;
  EXPECT_EQ(record_text(&rec),
            "[is_original]1;[file_type]PNG;[file_path];[checksum];[file_size]0;[quality]0;[width]0;"
            "[height]0;[width_bg]0;[height_bg]0;[aspect_ratio_width]0;[aspect_ratio_height]0;"
            "[aspect_ratio_width_bg]0;[aspect_ratio_height_bg]0;[x_stride]0;[pixel_layout]UNKNOWN;"
            "[bytes_per_pixel]0;[color_ratio_per_small_area]0;[approx_unique_colors]0;[pixel_count]0;"
            "[pixel_count_bg]0;[mean_rgba_R]0;[mean_rgba_G]0;[mean_rgba_B]0;[mean_rgba_A]0;"
            "[var_r]0.000000;[var_g]0.000000;[var_b]0.000000;[min_r]0;[min_g]0;[min_b]0;[min_a]0;"
            "[max_r]0;[max_g]0;[max_b]0;[max_a]0;[bg_color]0;[END_FILE];");

  // records append after whatever the list already holds
  Str8List list = {};
  str8_list_add(arena, &list, str8_lit("before"));
  format_metadata_record(arena, &list, &rec);
  EXPECT_EQ(list.node_count, 39u);
  EXPECT_EQ(text_of(list.first->string), "before");
  EXPECT_EQ(text_of(list.last->string), "[END_FILE];");
}

TEST(ConvertMetadataNames, LayoutAndFileTypeNames) {
  EXPECT_EQ(text_of(pixel_layout_name(1)), "GRAYSCALE");
  EXPECT_EQ(text_of(pixel_layout_name(2)), "GRAYSCALE_ALPHA");
  EXPECT_EQ(text_of(pixel_layout_name(3)), "RGB");
  EXPECT_EQ(text_of(pixel_layout_name(4)), "RGBA");
  EXPECT_EQ(text_of(pixel_layout_name(0)), "UNKNOWN");
  EXPECT_EQ(text_of(pixel_layout_name(5)), "UNKNOWN");
  EXPECT_EQ(text_of(format_name(FileTypeJpeg)), "JPEG");
  EXPECT_EQ(text_of(format_name(FileTypePng)), "PNG");
  EXPECT_EQ(text_of(format_name(FileTypeNone)), "PNG");
  EXPECT_EQ(text_of(format_extension(FileTypeJpeg)), "jpg");
  EXPECT_EQ(text_of(format_extension(FileTypeNone)), "png");
}

// A cover output's record ends with the window of the upright source it shows; every other
// record keeps its 38 fields.
TEST_F(ConvertMetadata, CoverRecordEndsWithItsCropWindow) {
  ImageStats im = {};
  im.width = 300;
  im.height = 300;
  OutputRecord rec = {};
  rec.image = &im;
  rec.crop = RectU64{50, (1ull << 32) + 7, 300, 300};
  Str8List list = {};
  format_metadata_record(arena, &list, &rec);
  EXPECT_EQ(list.node_count, 42u);
  JoinParams join = {};
  Str8 joined = str8_list_join(arena, &list, &join);
  std::string text((const char *)joined.str, joined.size);
  std::string tail = "[bg_color]0;[crop_x]50;[crop_y]7;[crop_width]300;[crop_height]300;[END_FILE];";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(text.find("[width]300;[height]300;[width_bg]0;"), text.find("[width]"));
}
