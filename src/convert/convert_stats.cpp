#include "convert/convert_stats.h"

//~ Statistics

u32 color_seen_slot(u32 key) { return (u32)(key * 0x9E3779B1u) >> 16; }

struct StatsAccumulator {
  u64 sum[4];
  u64 square[3];
  u8 min[4];
  u8 max[4];
  u32 count;
};

// One specialisation per channel count keeps the channel mapping out of the inner loop. Each
// row is read twice while it sits in the cache: once for the sums, squares and extremes (kept
// in locals, which the table stores below cannot alias), once for the colour table.
template <u32 Channels>
static void stats_pass(const u8 *pixels, u64 width, u64 height, u64 x_stride, u32 *table, StatsAccumulator *acc) {
  constexpr u32 Colour = Channels >= 3 ? 3 : 1; // distinct colour channels in the data
  constexpr bool HasAlpha = Channels == 2 || Channels == 4;
  u64 sum[4] = {}, square[3] = {};
  u32 lo[4] = {255, 255, 255, 255}, hi[4] = {0, 0, 0, 0};
  u32 count = 0;
  u32 previous = 0xFFFFFFFFu; // no colour yet

  for (u64 y = 0; y < height; y += 1) {
    const u8 *row = pixels + y * x_stride;

    //- sums, squares and extremes
    u64 row_sum[4] = {}, row_square[3] = {};
    for (u64 x = 0; x < width; x += 1) {
      const u8 *p = row + x * Channels;
      for (u32 c = 0; c < Colour; c += 1) {
        u32 v = p[c];
        row_sum[c] += v;
        row_square[c] += v * v;
        lo[c] = v < lo[c] ? v : lo[c];
        hi[c] = v > hi[c] ? v : hi[c];
      }
      if constexpr (HasAlpha) {
        u32 a = p[Channels - 1];
        row_sum[3] += a;
        lo[3] = a < lo[3] ? a : lo[3];
        hi[3] = a > hi[3] ? a : hi[3];
      }
    }
    for (u32 c = 0; c < 3; c += 1) sum[c] += row_sum[c], square[c] += row_square[c];
    sum[3] += row_sum[3];

    //- colour estimate
    // A slot counts each time a different colour takes it over, so black (key 0, slot 0, an
    // empty slot's value) counts only after another colour has used slot 0. A pixel of the
    // same colour as the one before finds its own key in its slot and changes nothing.
    for (u64 x = 0; x < width; x += 1) {
      const u8 *p = row + x * Channels;
      u32 key = Colour == 3 ? ((u32)p[0] << 16) | ((u32)p[1] << 8) | p[2] : (u32)p[0] * 0x010101u;
      if (key == previous) continue;
      previous = key;
      // Branch-free: the loads of neighbouring pixels' slots overlap instead of waiting on a
      // comparison that photos make unpredictable.
      u32 slot = color_seen_slot(key);
      count += table[slot] != key;
      table[slot] = key;
    }
  }

  // Grey data stands for equal red, green and blue; no alpha channel reads as opaque.
  if constexpr (Colour == 1) {
    sum[1] = sum[2] = sum[0];
    square[1] = square[2] = square[0];
    lo[1] = lo[2] = lo[0];
    hi[1] = hi[2] = hi[0];
  }
  if constexpr (!HasAlpha) {
    sum[3] = 255ull * width * height;
    if (width && height) lo[3] = hi[3] = 255;
  }
  for (u32 c = 0; c < 4; c += 1) {
    acc->sum[c] = sum[c];
    acc->min[c] = (u8)lo[c];
    acc->max[c] = (u8)hi[c];
  }
  for (u32 c = 0; c < 3; c += 1) acc->square[c] = square[c];
  acc->count = count;
}

void compute_image_stats(const u8 *pixels, u64 width, u64 height, u64 x_stride, ImageStats *stats) {
  // accumulate
  StatsAccumulator acc = {};
  memset(acc.min, 255, sizeof(acc.min));
  if (stats->pixel_count == 0) stats->pixel_count = width * height;

  Scratch scratch = scratch_begin(nullptr);
  u32 *table = arena_push<u32>(scratch.arena, ColorSeenSlotCount);
  if (pixels) {
    switch (stats->pixel_layout) {
    case 1: stats_pass<1>(pixels, width, height, x_stride, table, &acc); break;
    case 2: stats_pass<2>(pixels, width, height, x_stride, table, &acc); break;
    case 3: stats_pass<3>(pixels, width, height, x_stride, table, &acc); break;
    case 4: stats_pass<4>(pixels, width, height, x_stride, table, &acc); break;
    default: break;
    }
  }
  scratch_end(scratch);

  // means are truncated, and the variances are taken around those truncated means
  u64 n = stats->pixel_count;
  f64 inv = n ? 1.0 / (f64)n : 0.0;
  for (u32 c = 0; c < 4; c += 1) stats->mean_rgba[c] = n ? (u32)(acc.sum[c] / n) : 0;
  for (u32 c = 0; c < 3; c += 1) {
    f64 m = (f64)stats->mean_rgba[c];
    stats->var[c] = (f64)acc.square[c] * inv - m * m;
  }
  memcpy(stats->min, acc.min, sizeof(acc.min));
  memcpy(stats->max, acc.max, sizeof(acc.max));
  stats->approx_unique_colors = acc.count;
}
