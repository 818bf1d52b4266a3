#include <gtest/gtest.h>

#include <string>

#include "convert/image/image.h"
#include "test_images.h"

TEST_F(ConvertCodec, NoisePngGrowsTheSinkInPlace) {
  Bytes px = noise(64 * 64 * 4, 7);
  Str8 out = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &out, px.size());
  u8 *start = out.str;
  ASSERT_TRUE(codec_encode_png(&sink, px.data(), px.size(), 64, 64, 4));
  EXPECT_GT(out.size, px.size());
  EXPECT_EQ(out.str, start);
  EXPECT_EQ(arena_offset(arena), sink.end_offset);
  EXPECT_EQ(bytes_of(codec_decode_8(arena, out, 64, 64, 4).pixels), px);
}

TEST_F(ConvertCodec, NoisePngMovesASinkThatIsNotTheLatestAllocation) {
  Bytes px = noise(48 * 40 * 3, 99);
  Str8 out = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &out, px.size());
  u8 *start = out.str;
  u8 *fence = (u8 *)arena_alloc(arena, 256, 8);
  memset(fence, 0xA5, 256);

  ASSERT_TRUE(codec_encode_png(&sink, px.data(), px.size(), 48, 40, 3));
  EXPECT_GT(out.size, px.size());
  EXPECT_NE(out.str, start);
  for (int i = 0; i < 256; i += 1) ASSERT_EQ(fence[i], 0xA5) << i;
  EXPECT_EQ(bytes_of(codec_decode_8(arena, out, 48, 40, 3).pixels), px);
}

TEST_F(ConvertCodec, SinkKeepsPiecesContiguous) {
  // in place while latest, then moved once something else is allocated
  Str8 buf = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &buf, 4);
  u8 *start = buf.str;
  std::string expect;
  const char *pieces[] = {"abc", "defgh", "ij"};
  for (const char *p : pieces) {
    encode_sink_write(&sink, (void *)p, (int)strlen(p));
    expect += p;
  }
  EXPECT_EQ(buf.str, start);
  arena_alloc(arena, 16, 8);
  encode_sink_write(&sink, (void *)"KLMNOPQRSTUVWXYZ", 16);
  expect += "KLMNOPQRSTUVWXYZ";
  EXPECT_NE(buf.str, start);
  u64 used = (u64)(sink.cursor - buf.str);
  EXPECT_EQ(std::string((char *)buf.str, used), expect);
  EXPECT_GE(buf.size, used);

  // a full block cannot extend in place: the bytes move to a chained block
  Arena *small = arena_create(kib(64), kib(64));
  Str8 tight = {};
  EncodeSink tight_sink;
  encode_sink_begin(&tight_sink, small, &tight, kib(60));
  Bytes first = noise(kib(60), 3), second = noise(kib(10), 4);
  encode_sink_write(&tight_sink, first.data(), (int)first.size());
  encode_sink_write(&tight_sink, second.data(), (int)second.size());
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(Bytes(tight.str, tight_sink.cursor), first);
  arena_destroy(small);
}
