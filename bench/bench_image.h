// Photo-like pictures for the benchmarks, made from a fixed-seed generator so that every run
// measures the same bytes.
//
// Real photographs compress the way they do because of smooth gradients, mid-frequency
// texture, hard edges and sensor noise; each of these is drawn here so that JPEG and PNG
// sizes, and the work of the decoders and encoders, look like those of a camera's output.
// Everything is single-threaded; memory comes from the caller's arena or the thread's scratch.
#pragma once

#include <cmath>

#include <libdeflate.h>

#include "base/base.h"

//~ Random numbers
struct BenchRng {
  u64 state;
};

// splitmix64: one multiply-xorshift chain per number, good enough for texture and noise.
static inline u64 bench_rng_next(BenchRng *rng) {
  u64 z = (rng->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Uniform in [0, 1).
static inline f32 bench_rng_unit(BenchRng *rng) { return (f32)(bench_rng_next(rng) >> 40) * (1.0f / 16777216.0f); }
static inline f32 bench_rng_range(BenchRng *rng, f32 lo, f32 hi) { return lo + (hi - lo) * bench_rng_unit(rng); }

//~ Value noise
// One octave: random values on a lattice, interpolated with smoothstep weights. The column
// weights are computed once per picture, so a pixel costs four loads and three lerps.
struct BenchOctave {
  f32 *values;
  u64 columns;
  u64 rows;
  f32 cell;
  f32 offset_x;
  f32 offset_y;
  f32 amplitude;
  u32 *column_index; // per pixel column
  f32 *column_weight;
};

struct BenchNoise {
  BenchOctave octaves[8];
  u32 count;
};

static inline f32 bench_smooth(f32 t) { return t * t * (3.0f - 2.0f * t); }

// Octaves from `largest_cell` down, each `step` times finer, while cells stay 2 px or more.
static inline void bench_noise_make(Arena *arena, BenchNoise *noise, BenchRng *rng, u64 width, u64 height,
                                    f32 largest_cell, f32 step, f32 persistence, u32 max_octaves) {
  *noise = BenchNoise{};
  f32 cell = largest_cell;
  f32 amplitude = 1.0f;
  while (noise->count < max_octaves && noise->count < 8 && cell >= 2.0f) {
    BenchOctave *o = &noise->octaves[noise->count++];
    o->cell = cell;
    o->amplitude = amplitude;
    o->offset_x = bench_rng_range(rng, 0.0f, cell);
    o->offset_y = bench_rng_range(rng, 0.0f, cell);
    o->columns = (u64)((f32)width / cell) + 3;
    o->rows = (u64)((f32)height / cell) + 3;
    o->values = arena_push_uninit<f32>(arena, o->columns * o->rows);
    for (u64 i = 0; i < o->columns * o->rows; i += 1) o->values[i] = bench_rng_range(rng, -1.0f, 1.0f);
    o->column_index = arena_push_uninit<u32>(arena, width);
    o->column_weight = arena_push_uninit<f32>(arena, width);
    for (u64 x = 0; x < width; x += 1) {
      f32 g = ((f32)x + o->offset_x) / cell;
      f32 f = floorf(g);
      o->column_index[x] = (u32)f;
      o->column_weight[x] = bench_smooth(g - f);
    }
    cell /= step;
    amplitude *= persistence;
  }
}

// The lattice rows and weight of every octave for one pixel row.
struct BenchNoiseRow {
  const f32 *row0[8];
  const f32 *row1[8];
  f32 weight[8];
};

static inline void bench_noise_row(const BenchNoise *noise, u64 y, BenchNoiseRow *row) {
  for (u32 k = 0; k < noise->count; k += 1) {
    const BenchOctave *o = &noise->octaves[k];
    f32 g = ((f32)y + o->offset_y) / o->cell;
    f32 f = floorf(g);
    u64 iy = (u64)f;
    row->row0[k] = o->values + iy * o->columns;
    row->row1[k] = o->values + (iy + 1) * o->columns;
    row->weight[k] = bench_smooth(g - f);
  }
}

// Sum of every octave at column x; *fine receives the part from octave `fine_first` on.
static inline f32 bench_noise_at(const BenchNoise *noise, const BenchNoiseRow *row, u64 x, u32 fine_first, f32 *fine) {
  f32 sum = 0.0f, fine_sum = 0.0f;
  for (u32 k = 0; k < noise->count; k += 1) {
    const BenchOctave *o = &noise->octaves[k];
    u32 i = o->column_index[x];
    f32 wx = o->column_weight[x];
    f32 top = row->row0[k][i] + (row->row0[k][i + 1] - row->row0[k][i]) * wx;
    f32 bottom = row->row1[k][i] + (row->row1[k][i + 1] - row->row1[k][i]) * wx;
    f32 v = (top + (bottom - top) * row->weight[k]) * o->amplitude;
    sum += v;
    if (k >= fine_first) fine_sum += v;
  }
  *fine = fine_sum;
  return sum;
}

//~ Photo-like pictures
struct BenchColor {
  f32 r, g, b;
};

static inline BenchColor bench_mix(BenchColor a, BenchColor b, f32 t) {
  return BenchColor{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}
static inline BenchColor bench_scale(BenchColor a, f32 s) { return BenchColor{a.r * s, a.g * s, a.b * s}; }
static inline BenchColor bench_jitter(BenchRng *rng, BenchColor a, f32 amount) {
  return BenchColor{a.r + bench_rng_range(rng, -amount, amount), a.g + bench_rng_range(rng, -amount, amount),
                    a.b + bench_rng_range(rng, -amount, amount)};
}
static inline f32 bench_clamp01(f32 v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }
static inline u8 bench_to_u8(f32 v) { return v <= 0.0f ? 0 : (v >= 255.0f ? 255 : (u8)(v + 0.5f)); }

struct BenchBlob { // a soft-edged object lit from the upper left
  f32 cx, cy, rx, ry;
  BenchColor color;
};

struct BenchBlock { // a hard-edged building with a grid of windows
  u64 x0, x1, y0, y1;
  u64 pitch_x, pitch_y, window_w, window_h;
  BenchColor color;
};

// Fills width × height × channels packed bytes (1 grey, 2 grey + alpha, 3 RGB, 4 RGBA). With
// an alpha channel the subject is cut out: opaque inside a ragged soft-edged outline,
// transparent (and black, as editors save it) outside.
static inline void bench_photo(u8 *pixels, u64 width, u64 height, u32 channels, u64 seed) {
  Scratch scratch = scratch_begin(nullptr);
  BenchRng rng = {seed * 0x2545F4914F6CDD1Dull + 0x1234567ull};
  f32 w = (f32)width, h = (f32)height, extent = (f32)max_of(width, height);

  //- light and ground: day, sunset, overcast, dusk
  static const BenchColor sky_tops[] = {{40, 90, 170}, {70, 60, 120}, {150, 155, 160}, {20, 30, 70}};
  static const BenchColor sky_lows[] = {{170, 200, 230}, {250, 160, 90}, {200, 200, 205}, {90, 70, 110}};
  static const BenchColor clouds[] = {{240, 240, 245}, {255, 210, 170}, {120, 122, 128}, {60, 55, 80}};
  static const f32 lights[] = {1.0f, 0.85f, 0.8f, 0.45f};
  u32 mood = (u32)(bench_rng_next(&rng) % 4);
  BenchColor sky_top = bench_jitter(&rng, sky_tops[mood], 15);
  BenchColor sky_low = bench_jitter(&rng, sky_lows[mood], 15);
  BenchColor cloud = clouds[mood];
  f32 light = lights[mood];
  BenchColor ground_far = {bench_rng_range(&rng, 80, 140), bench_rng_range(&rng, 90, 150),
                           bench_rng_range(&rng, 60, 110)};
  BenchColor ground_near = {bench_rng_range(&rng, 40, 110), bench_rng_range(&rng, 50, 120),
                            bench_rng_range(&rng, 20, 80)};

  //- horizon
  f32 horizon0 = bench_rng_range(&rng, 0.3f, 0.6f) * h;
  f32 f1 = bench_rng_range(&rng, 0.5f, 2.0f), f2 = bench_rng_range(&rng, 3.0f, 9.0f);
  f32 p1 = bench_rng_range(&rng, 0.0f, 6.283f), p2 = bench_rng_range(&rng, 0.0f, 6.283f);
  f32 *horizon = arena_push_uninit<f32>(scratch.arena, width);
  for (u64 x = 0; x < width; x += 1) {
    f32 u = (f32)x / w * 6.283f;
    horizon[x] = horizon0 + 0.05f * h * sinf(f1 * u + p1) + 0.015f * h * sinf(f2 * u + p2);
  }

  //- texture (all scales) and broad variation (clouds, tint, outlines)
  BenchNoise texture, broad;
  bench_noise_make(scratch.arena, &texture, &rng, width, height, extent / 5.0f, 2.2f, 0.74f, 8);
  bench_noise_make(scratch.arena, &broad, &rng, width, height, extent / 3.0f, 2.0f, 0.5f, 3);
  u32 fine_first = texture.count > 3 ? texture.count - 3 : 0;
  f32 fine_amplitude = 0.0f;
  for (u32 k = fine_first; k < texture.count; k += 1) fine_amplitude += texture.octaves[k].amplitude;
  f32 fine_gain = fine_amplitude > 0.0f ? bench_rng_range(&rng, 0.7f, 1.1f) / fine_amplitude : 0.0f;

  //- objects
  BenchBlob blobs[8];
  u32 blob_count = 3 + (u32)(bench_rng_next(&rng) % 5);
  for (u32 i = 0; i < blob_count; i += 1) {
    BenchBlob *b = &blobs[i];
    b->cx = bench_rng_range(&rng, 0.05f, 0.95f) * w;
    b->cy = bench_rng_range(&rng, 0.4f, 1.0f) * h;
    b->rx = bench_rng_range(&rng, 0.03f, 0.16f) * extent;
    b->ry = b->rx * bench_rng_range(&rng, 0.5f, 1.5f);
    b->color = {bench_rng_range(&rng, 30, 230), bench_rng_range(&rng, 30, 230), bench_rng_range(&rng, 30, 230)};
  }
  BenchBlock blocks[4];
  u32 block_count = (u32)(bench_rng_next(&rng) % 4);
  for (u32 i = 0; i < block_count; i += 1) {
    BenchBlock *b = &blocks[i];
    f32 bw = bench_rng_range(&rng, 0.05f, 0.15f) * w, bh = bench_rng_range(&rng, 0.1f, 0.35f) * h;
    f32 x0 = bench_rng_range(&rng, 0.0f, 0.85f) * w, y1 = horizon0 + bench_rng_range(&rng, 0.0f, 0.1f) * h;
    b->x0 = (u64)x0;
    b->x1 = min_of<u64>(width, (u64)(x0 + bw));
    b->y1 = min_of<u64>(height, (u64)y1);
    b->y0 = y1 > bh ? (u64)(y1 - bh) : 0;
    b->pitch_x = max_of<u64>(6, (u64)(bw / bench_rng_range(&rng, 5.0f, 9.0f)));
    b->pitch_y = max_of<u64>(6, (u64)(bh / bench_rng_range(&rng, 6.0f, 14.0f)));
    b->window_w = b->pitch_x / 2;
    b->window_h = b->pitch_y / 2;
    b->color = {bench_rng_range(&rng, 60, 210), bench_rng_range(&rng, 60, 200), bench_rng_range(&rng, 60, 190)};
  }

  //- cut-out outline and sensor noise
  f32 cut_cx = bench_rng_range(&rng, 0.45f, 0.55f) * w, cut_cy = bench_rng_range(&rng, 0.45f, 0.55f) * h;
  f32 cut_rx = bench_rng_range(&rng, 0.3f, 0.42f) * w, cut_ry = bench_rng_range(&rng, 0.3f, 0.44f) * h;
  f32 cut_sharpness = min_of(cut_rx, cut_ry) / 3.0f; // about 3 px of soft edge
  f32 noise_amplitude = bench_rng_range(&rng, 6.0f, 12.0f) / 255.0f;

  for (u64 y = 0; y < height; y += 1) {
    BenchNoiseRow trow, brow;
    bench_noise_row(&texture, y, &trow);
    bench_noise_row(&broad, y, &brow);
    f32 fy = (f32)y;
    u8 *out = pixels + y * width * channels;
    for (u64 x = 0; x < width; x += 1) {
      f32 fx = (f32)x;
      f32 fine = 0.0f, unused = 0.0f;
      f32 t = bench_noise_at(&texture, &trow, x, fine_first, &fine);
      f32 b = bench_noise_at(&broad, &brow, x, broad.count, &unused);
      // foliage-like detail: strong where the broad variation says so, absent elsewhere
      f32 detail = fine * fine_gain * bench_clamp01(b * 1.5f + 0.6f);

      // sky with clouds above the horizon, textured ground below
      BenchColor c;
      f32 hz = horizon[x];
      if (fy < hz) {
        c = bench_mix(sky_top, sky_low, fy / hz);
        c = bench_mix(c, cloud, 0.85f * bench_clamp01(b * 1.3f + t * 0.25f - 0.15f));
      } else {
        c = bench_mix(ground_far, ground_near, (fy - hz) / (h - hz + 1.0f));
        c = bench_scale(c, 1.0f + 0.45f * t + 0.2f * b + detail);
        c.r += 18.0f * b;
        c.b -= 10.0f * b;
      }

      for (u32 i = 0; i < block_count; i += 1) {
        const BenchBlock *k = &blocks[i];
        if (x < k->x0 || x >= k->x1 || y < k->y0 || y >= k->y1) continue;
        f32 side = 0.85f + 0.3f * (f32)(x - k->x0) / (f32)(k->x1 - k->x0);
        c = bench_scale(k->color, side * (1.0f + 0.08f * t));
        if ((x - k->x0) % k->pitch_x < k->window_w && (y - k->y0) % k->pitch_y < k->window_h) c = bench_scale(c, 0.45f);
      }

      for (u32 i = 0; i < blob_count; i += 1) {
        const BenchBlob *o = &blobs[i];
        f32 dx = (fx - o->cx) / o->rx, dy = (fy - o->cy) / o->ry;
        f32 d2 = dx * dx + dy * dy;
        if (d2 >= 1.44f) continue;
        f32 d = sqrtf(d2) + 0.12f * t;
        f32 coverage = bench_clamp01((1.0f - d) * min_of(o->rx, o->ry) * 0.5f);
        BenchColor lit = bench_scale(o->color, (1.0f + 0.3f * t + 0.5f * detail) * (1.0f - 0.35f * dx - 0.2f * dy));
        c = bench_mix(c, lit, coverage);
      }

      // lens fall-off, exposure, then sensor noise (triangular, per channel)
      f32 vx = fx / w - 0.5f, vy = fy / h - 0.5f;
      c = bench_scale(c, light * (1.0f - 0.5f * (vx * vx + vy * vy)));
      u64 r = bench_rng_next(&rng);
      c.r += (f32)((i32)(r & 0xFF) + (i32)((r >> 8) & 0xFF) - 255) * noise_amplitude;
      c.g += (f32)((i32)((r >> 16) & 0xFF) + (i32)((r >> 24) & 0xFF) - 255) * noise_amplitude;
      c.b += (f32)((i32)((r >> 32) & 0xFF) + (i32)((r >> 40) & 0xFF) - 255) * noise_amplitude;

      u8 alpha = 255;
      if (channels == 2 || channels == 4) {
        f32 dx = (fx - cut_cx) / cut_rx, dy = (fy - cut_cy) / cut_ry;
        f32 d = sqrtf(dx * dx + dy * dy) + 0.08f * b + 0.02f * t;
        alpha = bench_to_u8(255.0f * bench_clamp01((1.0f - d) * cut_sharpness));
        if (alpha == 0) c = BenchColor{0, 0, 0};
      }

      switch (channels) {
      case 1:
      case 2:
        out[0] = bench_to_u8(0.299f * c.r + 0.587f * c.g + 0.114f * c.b);
        if (channels == 2) out[1] = alpha;
        break;
      default:
        out[0] = bench_to_u8(c.r);
        out[1] = bench_to_u8(c.g);
        out[2] = bench_to_u8(c.b);
        if (channels == 4) out[3] = alpha;
        break;
      }
      out += channels;
    }
  }
  scratch_restore(scratch);
}

//~ 16-bit PNG
// The encoder we ship writes 8-bit files only, so a 16-bit RGB file is put together here:
// the 8-bit picture widened with noisy low bits (as a raw converter's output has), every row
// with the Sub filter, one IDAT chunk compressed by libdeflate.
static inline void bench_put_u32_be(u8 *p, u32 v) {
  p[0] = (u8)(v >> 24);
  p[1] = (u8)(v >> 16);
  p[2] = (u8)(v >> 8);
  p[3] = (u8)v;
}

static inline u8 *bench_png_chunk(u8 *p, const char *type, const u8 *data, u32 size) {
  bench_put_u32_be(p, size);
  memcpy(p + 4, type, 4);
  if (size) memcpy(p + 8, data, size);
  bench_put_u32_be(p + 8 + size, libdeflate_crc32(0, p + 4, (size_t)size + 4));
  return p + 12 + size;
}

// Empty when the compressor cannot be made or the picture would need chunks of 2^31 bytes.
static inline Str8 bench_png16_from_rgb(Arena *arena, const u8 *rgb, u64 width, u64 height, u64 seed) {
  Str8 result = {};
  Scratch scratch = scratch_begin(arena);
  BenchRng rng = {seed ^ 0x5EED16ull};
  u64 sample_bytes = width * 6;
  u64 row_bytes = sample_bytes + 1;
  u8 *raw = arena_push_uninit<u8>(scratch.arena, row_bytes * height);
  u8 *line = arena_push_uninit<u8>(scratch.arena, sample_bytes);

  //- widen and filter
  for (u64 y = 0; y < height; y += 1) {
    const u8 *src = rgb + y * width * 3;
    for (u64 x = 0; x < width; x += 1) {
      u64 r = bench_rng_next(&rng);
      for (u32 c = 0; c < 3; c += 1) {
        i32 v = (i32)src[x * 3 + c] * 257 + (i32)((r >> (c * 9)) & 0x1FF) - 256;
        v = v < 0 ? 0 : (v > 65535 ? 65535 : v);
        line[x * 6 + c * 2] = (u8)(v >> 8);
        line[x * 6 + c * 2 + 1] = (u8)v;
      }
    }
    u8 *dst = raw + y * row_bytes;
    dst[0] = 1; // Sub
    for (u64 i = 0; i < sample_bytes; i += 1) dst[1 + i] = (u8)(line[i] - (i >= 6 ? line[i - 6] : 0));
  }

  //- compress and wrap in chunks
  libdeflate_compressor *compressor = libdeflate_alloc_compressor(6);
  if (compressor) {
    u64 raw_size = row_bytes * height;
    u64 bound = libdeflate_zlib_compress_bound(compressor, raw_size);
    u8 *z = arena_push_uninit<u8>(scratch.arena, bound);
    u64 z_size = libdeflate_zlib_compress(compressor, raw, raw_size, z, bound);
    libdeflate_free_compressor(compressor);
    if (z_size > 0 && z_size < 0x7FFFFFFFull) {
      u8 header[13];
      bench_put_u32_be(header, (u32)width);
      bench_put_u32_be(header + 4, (u32)height);
      header[8] = 16; // bit depth
      header[9] = 2;  // RGB
      header[10] = 0; // deflate
      header[11] = 0; // adaptive filtering
      header[12] = 0; // no interlace
      u64 total = 8 + (12 + 13) + (12 + z_size) + 12;
      u8 *file = arena_push_uninit<u8>(arena, total);
      static const u8 signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
      memcpy(file, signature, 8);
      u8 *p = bench_png_chunk(file + 8, "IHDR", header, 13);
      p = bench_png_chunk(p, "IDAT", z, (u32)z_size);
      bench_png_chunk(p, "IEND", nullptr, 0);
      result = Str8{file, total};
    }
  }
  scratch_restore(scratch);
  return result;
}
