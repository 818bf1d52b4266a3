// Image statistics: one image's geometry, layout, pixel buffer and colour statistics, and the
// checksum that names a picture by its pixels.
//
// A record belongs to the worker converting its source; compute_image_stats touches only the
// record and pixels it is given plus a colour table private to the call, so workers call it
// at the same time on different images.
#pragma once

#include "base/base.h"

//~ Image record
// Zeroed when made. For a letterboxed output, width and height describe the picture inside
// the background and x_stride the canvas row once the background is composed.
struct ImageStats {
  u64 width;
  u64 height;
  u64 aspect_ratio_width;
  u64 aspect_ratio_height;
  u64 width_bg;
  u64 height_bg;
  u64 aspect_ratio_width_bg;
  u64 aspect_ratio_height_bg;
  u64 x_stride;
  u8 bytes_per_pixel;
  u32 bg_color;     // lowest byte is the opacity, FF opaque
  u32 pixel_layout; // channel count: 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
  u64 pixel_count;
  u64 pixel_count_bg;
  u32 mean_rgba[4];
  f64 var[3];
  u8 min[4];
  u8 max[4];
  u32 bytes_per_channel; // 1, or 2 for a 16-bit source
  u32 approx_unique_colors;
  u32 color_ratio_per_small_area; // nothing computes it; printed as 0
  u8 *pixels;                     // rows x_stride apart
  u64 pixel_size;                 // bytes in pixels
};

//~ Statistics
// Slots of the colour estimate's table.
constexpr u64 ColorSeenSlotCount = 65536;

// Slot of a 24-bit RGB key: a multiplicative hash keeping the top 16 of 32 bits.
u32 color_seen_slot(u32 key);

// Fills mean_rgba, var, min, max, approx_unique_colors and, when it is 0, pixel_count,
// reading 8-bit pixels with the channel count in stats->pixel_layout. Only the first
// width × channel count bytes of each row are read. One pass over the pixels.
void compute_image_stats(const u8 *pixels, u64 width, u64 height, u64 x_stride, ImageStats *stats);

// Where the processor has AVX2 (checked once, at run time), the pass runs with 32-byte vectors;
// the results are the same numbers. compute_image_stats_reference always takes the SSE2 (or,
// without SSE2, byte-by-byte) pass that the vector path is checked against.
bool image_stats_avx2();
void compute_image_stats_reference(const u8 *pixels, u64 width, u64 height, u64 x_stride, ImageStats *stats);

// The same statistics and, in the same pass, codec_blake2b128 of the `hashed_size` bytes at
// `hashed` (the picture's buffer, or the canvas it sits in), fed a band of rows ahead of the
// statistics, so that each band is read from memory once for both.
U128 compute_image_stats_and_checksum(const u8 *pixels, u64 width, u64 height, u64 x_stride, const void *hashed,
                                      u64 hashed_size, ImageStats *stats);

//~ Checksum
// BLAKE2b with a 16-byte digest length (not a truncated 64-byte digest), no key; an empty
// input gets the digest of empty input. u64s[0] holds digest bytes 0-7 little-endian,
// u64s[1] bytes 8-15.
U128 codec_blake2b128(const void *data, u64 size);
