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

// One specialisation per channel count keeps the channel mapping out of the inner loop.
template <u32 Channels>
static void stats_pass(const u8 *pixels, u64 width, u64 height, u64 x_stride, u32 *table, StatsAccumulator *acc) {
  for (u64 y = 0; y < height; y += 1) {
    const u8 *p = pixels + y * x_stride;
    for (u64 x = 0; x < width; x += 1, p += Channels) {
      u32 v[4];
      if constexpr (Channels == 4) {
        v[0] = p[0], v[1] = p[1], v[2] = p[2], v[3] = p[3];
      } else if constexpr (Channels == 3) {
        v[0] = p[0], v[1] = p[1], v[2] = p[2], v[3] = 255;
      } else if constexpr (Channels == 2) {
        v[0] = v[1] = v[2] = p[0], v[3] = p[1];
      } else {
        v[0] = v[1] = v[2] = p[0], v[3] = 255;
      }
      for (u32 c = 0; c < 4; c += 1) {
        acc->sum[c] += v[c];
        if (v[c] < acc->min[c]) acc->min[c] = (u8)v[c];
        if (v[c] > acc->max[c]) acc->max[c] = (u8)v[c];
      }
      for (u32 c = 0; c < 3; c += 1) acc->square[c] += v[c] * v[c];

      // A slot counts each time a different colour takes it over, so black (key 0, slot
      // 0, an empty slot's value) counts only after another colour has used slot 0.
      u32 key = (v[0] << 16) | (v[1] << 8) | v[2];
      u32 slot = color_seen_slot(key);
      if (table[slot] != key) {
        table[slot] = key;
        acc->count += 1;
      }
    }
  }
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
