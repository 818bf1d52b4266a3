#include "test_images.h"

#include <libdeflate.h>

#include <cstdio>

Bytes noise(u64 count, u64 seed) {
  TestRng rng{seed};
  Bytes out(count);
  for (u8 &b : out) b = (u8)rng.next();
  return out;
}

Bytes gradient(u64 width, u64 height, u32 channels) {
  Bytes out(width * height * channels);
  for (u64 y = 0; y < height; y += 1) {
    for (u64 x = 0; x < width; x += 1) {
      for (u32 c = 0; c < channels; c += 1) {
        out[(y * width + x) * channels + c] = (u8)(x * 7 + y * 3 + c * 50 + ((x ^ y) & 8));
      }
    }
  }
  return out;
}

static void put_be32(Bytes &out, u32 v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((u8)(v >> shift));
}

static void put_chunk(Bytes &png, const char *type, const Bytes &data) {
  put_be32(png, (u32)data.size());
  u32 crc = libdeflate_crc32(0, type, 4);
  crc = libdeflate_crc32(crc, data.data(), data.size());
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  put_be32(png, crc);
}

Bytes make_png(u32 width, u32 height, u8 depth, u8 colour_type, const Bytes &rows) {
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes ihdr;
  put_be32(ihdr, width);
  put_be32(ihdr, height);
  ihdr.insert(ihdr.end(), {depth, colour_type, 0, 0, 0});
  put_chunk(png, "IHDR", ihdr);

  libdeflate_compressor *c = libdeflate_alloc_compressor(6);
  Bytes z(libdeflate_zlib_compress_bound(c, rows.size()));
  z.resize(libdeflate_zlib_compress(c, rows.data(), rows.size(), z.data(), z.size()));
  libdeflate_free_compressor(c);
  put_chunk(png, "IDAT", z);
  put_chunk(png, "IEND", {});
  return png;
}

Bytes make_png16(u32 width, u32 height, u32 channels) {
  static const u8 colour_types[5] = {0, 0, 4, 2, 6};
  Bytes rows;
  for (u32 y = 0; y < height; y += 1) {
    rows.push_back(0);
    for (u32 x = 0; x < width; x += 1) {
      for (u32 c = 0; c < channels; c += 1) {
        u32 v = (x * 997 + y * 1499 + c * 20000) & 0xFFFF;
        rows.push_back((u8)(v >> 8));
        rows.push_back((u8)v);
      }
    }
  }
  return make_png(width, height, 16, colour_types[channels], rows);
}

static Bytes encode_file(const Bytes &pixels, u64 width, u64 height, u32 channels, int quality) {
  Arena *arena = arena_create(mib(64), mib(1));
  Str8 out = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &out, pixels.size());
  bool ok = quality > 0 ? codec_encode_jpeg(&sink, pixels.data(), pixels.size(), width, height, channels, quality)
                        : codec_encode_png(&sink, pixels.data(), pixels.size(), width, height, channels);
  Bytes result = ok ? bytes_of(out) : Bytes();
  arena_destroy(arena);
  return result;
}

Bytes png_file(const Bytes &pixels, u64 width, u64 height, u32 channels) {
  return encode_file(pixels, width, height, channels, 0);
}

Bytes jpeg_file(const Bytes &pixels, u64 width, u64 height, u32 channels, int quality) {
  return encode_file(pixels, width, height, channels, quality);
}

bool write_file(const std::string &path, const Bytes &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

Bytes read_file(const std::string &path) {
  Bytes out;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return out;
  u8 buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) out.insert(out.end(), buffer, buffer + n);
  fclose(f);
  return out;
}

Bytes png_with_chunk(const Bytes &png, const char *type, const Bytes &data) {
  // the signature and the IHDR chunk come first
  constexpr size_t AfterHeader = 8 + 4 + 4 + 13 + 4;
  Bytes chunk;
  put_chunk(chunk, type, data);
  Bytes out;
  out.reserve(png.size() + chunk.size());
  out.insert(out.end(), png.begin(), png.begin() + AfterHeader);
  out.insert(out.end(), chunk.begin(), chunk.end());
  out.insert(out.end(), png.begin() + AfterHeader, png.end());
  return out;
}

Bytes jpeg_with_segment(const Bytes &jpeg, u8 marker, const Bytes &data) {
  Bytes out;
  out.reserve(jpeg.size() + data.size() + 4);
  out.insert(out.end(), jpeg.begin(), jpeg.begin() + 2);
  size_t length = data.size() + 2;
  out.insert(out.end(), {0xFF, marker, (u8)(length >> 8), (u8)length});
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}
