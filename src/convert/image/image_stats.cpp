#include "convert/image/image_stats.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

//~ Statistics

u32 color_seen_slot(u32 key) { return (u32)(key * 0x9E3779B1u) >> 16; }

struct StatsAccumulator {
  u64 sum[4];
  u64 square[3];
  u8 min[4];
  u8 max[4];
  u32 count;
};

#if defined(__SSE2__)
// Sums, squares and extremes of whole 16-byte vectors, a row at a time. Lane j of vector k of a
// chunk holds a byte of channel (16k + j) mod Channels, a chunk being 16 bytes (48 for three
// channels, so that every chunk starts on a red byte). Each lane accumulates its own bytes:
// sums in 16 bits for at most 256 chunks, squares in 32 bits for one row, both then moved into
// 64-bit totals. Integer sums in another order are the same sums, so the results are exactly
// those of the byte-by-byte loop.
template <u32 Channels> struct LaneStats {
  static constexpr u32 Vectors = Channels == 3 ? 3 : 1;
  __m128i lo[Vectors], hi[Vectors];
  __m128i sum32[Vectors][2]; // lanes 0-7 and 8-15, as four 32-bit lanes each
  __m128i square32[Vectors][4];
  u64 sum[Vectors][16];
  u64 square[Vectors][16];

  void begin() {
    for (u32 k = 0; k < Vectors; k += 1) {
      lo[k] = _mm_set1_epi8((char)0xFF);
      hi[k] = _mm_setzero_si128();
      for (u32 j = 0; j < 16; j += 1) sum[k][j] = square[k][j] = 0;
    }
  }

  // Bytes [0, chunks × 16 × Vectors) of the row.
  void row(const u8 *p, u64 chunks) {
    const __m128i zero = _mm_setzero_si128();
    for (u32 k = 0; k < Vectors; k += 1) {
      sum32[k][0] = sum32[k][1] = zero;
      for (u32 q = 0; q < 4; q += 1) square32[k][q] = zero;
    }
    for (u64 done = 0; done < chunks;) {
      u64 run = min_of<u64>(chunks - done, 256);
      __m128i sum16[Vectors][2];
      for (u32 k = 0; k < Vectors; k += 1) sum16[k][0] = sum16[k][1] = zero;
      for (u64 c = 0; c < run; c += 1, p += 16 * Vectors) {
        for (u32 k = 0; k < Vectors; k += 1) {
          __m128i v = _mm_loadu_si128((const __m128i *)(p + 16 * k));
          lo[k] = _mm_min_epu8(lo[k], v);
          hi[k] = _mm_max_epu8(hi[k], v);
          __m128i a = _mm_unpacklo_epi8(v, zero), b = _mm_unpackhi_epi8(v, zero);
          sum16[k][0] = _mm_add_epi16(sum16[k][0], a);
          sum16[k][1] = _mm_add_epi16(sum16[k][1], b);
          __m128i aa = _mm_mullo_epi16(a, a), bb = _mm_mullo_epi16(b, b);
          square32[k][0] = _mm_add_epi32(square32[k][0], _mm_unpacklo_epi16(aa, zero));
          square32[k][1] = _mm_add_epi32(square32[k][1], _mm_unpackhi_epi16(aa, zero));
          square32[k][2] = _mm_add_epi32(square32[k][2], _mm_unpacklo_epi16(bb, zero));
          square32[k][3] = _mm_add_epi32(square32[k][3], _mm_unpackhi_epi16(bb, zero));
        }
      }
      for (u32 k = 0; k < Vectors; k += 1) {
        for (u32 h = 0; h < 2; h += 1) {
          __m128i s = sum16[k][h];
          u32 wide[8];
          _mm_storeu_si128((__m128i *)wide, _mm_unpacklo_epi16(s, zero));
          _mm_storeu_si128((__m128i *)(wide + 4), _mm_unpackhi_epi16(s, zero));
          for (u32 j = 0; j < 8; j += 1) sum[k][h * 8 + j] += wide[j];
        }
      }
      done += run;
    }
    for (u32 k = 0; k < Vectors; k += 1) {
      for (u32 q = 0; q < 4; q += 1) {
        u32 wide[4];
        _mm_storeu_si128((__m128i *)wide, square32[k][q]);
        for (u32 j = 0; j < 4; j += 1) square[k][q * 4 + j] += wide[j];
      }
    }
  }
};
#endif

// The checksum taken in the same pass: the hashed bytes are fed band by band, each band just
// before the statistics read its rows, so a large buffer comes from memory once. The statistics'
// rows normally lie inside the hashed bytes (a picture inside its canvas); when they do not,
// the bytes are still fed in order, all of them by the end.
struct StatsHash {
  Blake2b128 state;
  const u8 *bytes;
  u64 size;
  u64 fed;
};

// Rows per band: about 64 KiB, so a band is still in the first cache levels when the
// statistics read it after the hash.
static u64 stats_band_rows(u64 x_stride) { return x_stride >= 65536 ? 1 : 65536 / max_of<u64>(x_stride, 1); }

// Feeds the hashed bytes that come before `end`.
static void stats_hash_until(StatsHash *hash, const u8 *end) {
  uintptr_t start = (uintptr_t)hash->bytes, stop = (uintptr_t)end;
  u64 until = stop <= start ? 0 : min_of<u64>(stop - start, hash->size);
  if (until <= hash->fed) return;
  blake2b128_feed(&hash->state, hash->bytes + hash->fed, until - hash->fed);
  hash->fed = until;
}

// Channels a layout lacks, then the totals into the accumulator. Grey data stands for equal
// red, green and blue; no alpha channel reads as opaque.
template <u32 Channels>
static void stats_finish(u64 sum[4], u64 square[3], u32 lo[4], u32 hi[4], u32 count, u64 width, u64 height,
                         StatsAccumulator *acc) {
  constexpr u32 Colour = Channels >= 3 ? 3 : 1;
  constexpr bool HasAlpha = Channels == 2 || Channels == 4;
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

// One specialisation per channel count keeps the channel mapping out of the inner loop. Each
// row is read twice while it sits in the cache: once for the sums, squares and extremes (kept
// in locals, which the table stores below cannot alias), once for the colour table.
template <u32 Channels>
static void stats_pass(const u8 *pixels, u64 width, u64 height, u64 x_stride, u32 *table, StatsAccumulator *acc,
                       StatsHash *hash) {
  constexpr u32 Colour = Channels >= 3 ? 3 : 1; // distinct colour channels in the data
  constexpr bool HasAlpha = Channels == 2 || Channels == 4;
  u64 sum[4] = {}, square[3] = {};
  u32 lo[4] = {255, 255, 255, 255}, hi[4] = {0, 0, 0, 0};
  u32 count = 0;
  u32 previous = 0xFFFFFFFFu; // no colour yet

#if defined(__SSE2__)
  LaneStats<Channels> lanes;
  lanes.begin();
  constexpr u64 ChunkBytes = 16 * LaneStats<Channels>::Vectors;
  constexpr u64 ChunkPixels = ChunkBytes / Channels;
  u64 chunks = width / ChunkPixels;
  // A lane's squares of one row stay below 2^32 for up to 66051 chunks (65025 each); longer
  // rows go through the byte loop, which has no such limit.
  if (chunks > 65536) chunks = 0;
#else
  constexpr u64 ChunkPixels = 1;
  u64 chunks = 0;
#endif

  u64 band_rows = stats_band_rows(x_stride), band_end = 0;
  for (u64 y = 0; y < height; y += 1) {
    const u8 *row = pixels + y * x_stride;
    if (hash && y == band_end) {
      band_end = min_of(height, y + band_rows);
      stats_hash_until(hash, pixels + (band_end - 1) * x_stride + x_stride);
    }

    //- sums, squares and extremes
#if defined(__SSE2__)
    if (chunks) lanes.row(row, chunks);
#endif
    u64 row_sum[4] = {}, row_square[3] = {};
    for (u64 x = chunks * ChunkPixels; x < width; x += 1) {
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

#if defined(__SSE2__)
  // every lane's totals into its channel; an alpha lane has no square
  if (chunks && height) {
    for (u32 k = 0; k < LaneStats<Channels>::Vectors; k += 1) {
      u8 lane_lo[16], lane_hi[16];
      _mm_storeu_si128((__m128i *)lane_lo, lanes.lo[k]);
      _mm_storeu_si128((__m128i *)lane_hi, lanes.hi[k]);
      for (u32 j = 0; j < 16; j += 1) {
        u32 c = (16 * k + j) % Channels;
        bool alpha = HasAlpha && c == Channels - 1;
        u32 slot = alpha ? 3 : c;
        sum[slot] += lanes.sum[k][j];
        if (!alpha) square[slot] += lanes.square[k][j];
        lo[slot] = lane_lo[j] < lo[slot] ? lane_lo[j] : lo[slot];
        hi[slot] = lane_hi[j] > hi[slot] ? lane_hi[j] : hi[slot];
      }
    }
  }
#endif

  stats_finish<Channels>(sum, square, lo, hi, count, width, height, acc);
}

#if defined(__x86_64__)
//- AVX2
// The same pass with 32-byte vectors, chosen at run time where the processor has AVX2. The
// sums work as in LaneStats, 32 lanes a vector (96-byte chunks for three channels). The colour
// estimate takes eight pixels at a time: their keys and slots are computed in one vector, and
// the table is then updated for every one of them, the shortcut included: a pixel of the same
// colour as the one before finds its own key in its slot, so updating it changes nothing, and
// a group of eight all equal to the pixel before is skipped as a whole.

// Byte of the 32-byte vector behind 16-bit element e of its low (half 0) or high (half 1)
// unpacking with zero, which works within each 16-byte lane.
static u32 avx2_byte_of_word(u32 half, u32 e) { return (e < 8 ? e : e + 8) + 8 * half; }
// Element of the 16-bit vector behind 32-bit element f of its low (half 0) or high (half 1)
// unpacking with zero.
static u32 avx2_word_of_dword(u32 half, u32 f) { return (f < 4 ? f : f + 4) + 4 * half; }

template <u32 Channels> struct LaneStats256 {
  static constexpr u32 Vectors = Channels == 3 ? 3 : 1;
  __m256i lo[Vectors], hi[Vectors];
  u64 sum[Vectors][32];
  u64 square[Vectors][32];

  __attribute__((target("avx2"))) void begin() {
    for (u32 k = 0; k < Vectors; k += 1) {
      lo[k] = _mm256_set1_epi8((char)0xFF);
      hi[k] = _mm256_setzero_si256();
      for (u32 j = 0; j < 32; j += 1) sum[k][j] = square[k][j] = 0;
    }
  }

  // Bytes [0, chunks × 32 × Vectors) of the row.
  __attribute__((target("avx2"))) void row(const u8 *p, u64 chunks) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i square32[Vectors][4];
    for (u32 k = 0; k < Vectors; k += 1) {
      for (u32 q = 0; q < 4; q += 1) square32[k][q] = zero;
    }
    for (u64 done = 0; done < chunks;) {
      u64 run = min_of<u64>(chunks - done, 256);
      __m256i sum16[Vectors][2];
      for (u32 k = 0; k < Vectors; k += 1) sum16[k][0] = sum16[k][1] = zero;
      for (u64 c = 0; c < run; c += 1, p += 32 * Vectors) {
        for (u32 k = 0; k < Vectors; k += 1) {
          __m256i v = _mm256_loadu_si256((const __m256i *)(p + 32 * k));
          lo[k] = _mm256_min_epu8(lo[k], v);
          hi[k] = _mm256_max_epu8(hi[k], v);
          __m256i a = _mm256_unpacklo_epi8(v, zero), b = _mm256_unpackhi_epi8(v, zero);
          sum16[k][0] = _mm256_add_epi16(sum16[k][0], a);
          sum16[k][1] = _mm256_add_epi16(sum16[k][1], b);
          __m256i aa = _mm256_mullo_epi16(a, a), bb = _mm256_mullo_epi16(b, b);
          square32[k][0] = _mm256_add_epi32(square32[k][0], _mm256_unpacklo_epi16(aa, zero));
          square32[k][1] = _mm256_add_epi32(square32[k][1], _mm256_unpackhi_epi16(aa, zero));
          square32[k][2] = _mm256_add_epi32(square32[k][2], _mm256_unpacklo_epi16(bb, zero));
          square32[k][3] = _mm256_add_epi32(square32[k][3], _mm256_unpackhi_epi16(bb, zero));
        }
      }
      for (u32 k = 0; k < Vectors; k += 1) {
        for (u32 h = 0; h < 2; h += 1) {
          u16 wide[16];
          _mm256_storeu_si256((__m256i *)wide, sum16[k][h]);
          for (u32 e = 0; e < 16; e += 1) sum[k][avx2_byte_of_word(h, e)] += wide[e];
        }
      }
      done += run;
    }
    // square32[k][q]: q / 2 picks the byte unpacking (a or b), q % 2 the word unpacking
    for (u32 k = 0; k < Vectors; k += 1) {
      for (u32 q = 0; q < 4; q += 1) {
        u32 wide[8];
        _mm256_storeu_si256((__m256i *)wide, square32[k][q]);
        for (u32 f = 0; f < 8; f += 1) square[k][avx2_byte_of_word(q / 2, avx2_word_of_dword(q % 2, f))] += wide[f];
      }
    }
  }
};

// Keys of the eight pixels at p, as the byte loop forms them: RGB as 0xRRGGBB, grey as 0xYYYYYY.
// Reads exactly the eight pixels.
template <u32 Channels> __attribute__((target("avx2"))) static inline __m256i avx2_keys(const u8 *p) {
  if constexpr (Channels == 1) {
    __m256i y = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i *)p));
    return _mm256_mullo_epi32(y, _mm256_set1_epi32(0x010101));
  } else if constexpr (Channels == 2) {
    __m256i pairs = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)p));
    __m256i y = _mm256_and_si256(pairs, _mm256_set1_epi32(0xFF));
    return _mm256_mullo_epi32(y, _mm256_set1_epi32(0x010101));
  } else if constexpr (Channels == 3) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    __m128i first = _mm_loadu_si128((const __m128i *)p);                // bytes 0-15
    __m128i tail = _mm_loadl_epi64((const __m128i *)(p + 16));          // bytes 16-23
    __m128i second = _mm_alignr_epi8(tail, first, 12);                 // bytes 12-27
    return _mm256_set_m128i(_mm_shuffle_epi8(second, order), _mm_shuffle_epi8(first, order));
  } else {
    const __m256i order = _mm256_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1, 2, 1, 0, -1, 6, 5,
                                           4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
    return _mm256_shuffle_epi8(_mm256_loadu_si256((const __m256i *)p), order);
  }
}

template <u32 Channels>
__attribute__((target("avx2"))) static void stats_pass_avx2(const u8 *pixels, u64 width, u64 height, u64 x_stride,
                                                            u32 *table, StatsAccumulator *acc, StatsHash *hash) {
  constexpr u32 Colour = Channels >= 3 ? 3 : 1;
  constexpr bool HasAlpha = Channels == 2 || Channels == 4;
  u64 sum[4] = {}, square[3] = {};
  u32 lo[4] = {255, 255, 255, 255}, hi[4] = {0, 0, 0, 0};
  u32 count = 0;
  u32 previous = 0xFFFFFFFFu; // no colour yet

  LaneStats256<Channels> lanes;
  lanes.begin();
  constexpr u64 ChunkPixels = 32 * LaneStats256<Channels>::Vectors / Channels;
  u64 chunks = width / ChunkPixels;
  if (chunks > 65536) chunks = 0; // as in the SSE2 pass: a lane's row of squares stays in 32 bits
  u64 groups = width / 8;
  const __m256i multiplier = _mm256_set1_epi32((int)0x9E3779B1u);
  const __m256i before = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);

  u64 band_rows = stats_band_rows(x_stride), band_end = 0;
  for (u64 y = 0; y < height; y += 1) {
    const u8 *row = pixels + y * x_stride;
    if (hash && y == band_end) {
      band_end = min_of(height, y + band_rows);
      stats_hash_until(hash, pixels + (band_end - 1) * x_stride + x_stride);
    }

    //- sums, squares and extremes
    if (chunks) lanes.row(row, chunks);
    u64 row_sum[4] = {}, row_square[3] = {};
    for (u64 x = chunks * ChunkPixels; x < width; x += 1) {
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

    //- colour estimate, eight pixels at a time
    for (u64 g = 0; g < groups; g += 1) {
      __m256i keys = avx2_keys<Channels>(row + g * 8 * Channels);
      __m256i shifted = _mm256_permutevar8x32_epi32(keys, before);
      __m256i prior = _mm256_blend_epi32(shifted, _mm256_set1_epi32((int)previous), 1);
      if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(keys, prior)) == -1) continue;
      __m256i slots = _mm256_srli_epi32(_mm256_mullo_epi32(keys, multiplier), 16);
      alignas(32) u32 key[8], slot[8];
      _mm256_store_si256((__m256i *)key, keys);
      _mm256_store_si256((__m256i *)slot, slots);
      for (u32 i = 0; i < 8; i += 1) {
        count += table[slot[i]] != key[i];
        table[slot[i]] = key[i];
      }
      previous = key[7];
    }
    for (u64 x = groups * 8; x < width; x += 1) {
      const u8 *p = row + x * Channels;
      u32 key = Colour == 3 ? ((u32)p[0] << 16) | ((u32)p[1] << 8) | p[2] : (u32)p[0] * 0x010101u;
      if (key == previous) continue;
      previous = key;
      u32 slot = color_seen_slot(key);
      count += table[slot] != key;
      table[slot] = key;
    }
  }

  // every lane's totals into its channel; an alpha lane has no square
  if (chunks && height) {
    for (u32 k = 0; k < LaneStats256<Channels>::Vectors; k += 1) {
      u8 lane_lo[32], lane_hi[32];
      _mm256_storeu_si256((__m256i *)lane_lo, lanes.lo[k]);
      _mm256_storeu_si256((__m256i *)lane_hi, lanes.hi[k]);
      for (u32 j = 0; j < 32; j += 1) {
        u32 c = (32 * k + j) % Channels;
        bool alpha = HasAlpha && c == Channels - 1;
        u32 slot = alpha ? 3 : c;
        sum[slot] += lanes.sum[k][j];
        if (!alpha) square[slot] += lanes.square[k][j];
        lo[slot] = lane_lo[j] < lo[slot] ? lane_lo[j] : lo[slot];
        hi[slot] = lane_hi[j] > hi[slot] ? lane_hi[j] : hi[slot];
      }
    }
  }
  // The compiler leaves the vectors' upper halves dirty on this way out (GCC 12 puts no
  // vzeroupper here), and the SSE code that runs next in this thread (the resampler's float
  // loops) then ran four times slower: cleared by hand.
  _mm256_zeroupper();
  stats_finish<Channels>(sum, square, lo, hi, count, width, height, acc);
}

static bool stats_avx2_supported() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}
#else
static bool stats_avx2_supported() { return false; }
#endif

static void stats_compute(const u8 *pixels, u64 width, u64 height, u64 x_stride, ImageStats *stats,
                          StatsHash *hash, bool avx2) {
  // accumulate
  StatsAccumulator acc = {};
  memset(acc.min, 255, sizeof(acc.min));
  if (stats->pixel_count == 0) stats->pixel_count = width * height;

  Scratch scratch = scratch_begin(nullptr);
  u32 *table = arena_push<u32>(scratch.arena, ColorSeenSlotCount);
#if defined(__x86_64__)
  if (pixels && avx2) {
    switch (stats->pixel_layout) {
    case 1: stats_pass_avx2<1>(pixels, width, height, x_stride, table, &acc, hash); break;
    case 2: stats_pass_avx2<2>(pixels, width, height, x_stride, table, &acc, hash); break;
    case 3: stats_pass_avx2<3>(pixels, width, height, x_stride, table, &acc, hash); break;
    case 4: stats_pass_avx2<4>(pixels, width, height, x_stride, table, &acc, hash); break;
    default: break;
    }
    pixels = nullptr; // done
  }
#endif
  if (pixels) {
    switch (stats->pixel_layout) {
    case 1: stats_pass<1>(pixels, width, height, x_stride, table, &acc, hash); break;
    case 2: stats_pass<2>(pixels, width, height, x_stride, table, &acc, hash); break;
    case 3: stats_pass<3>(pixels, width, height, x_stride, table, &acc, hash); break;
    case 4: stats_pass<4>(pixels, width, height, x_stride, table, &acc, hash); break;
    default: break;
    }
  }
  scratch_restore(scratch);

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

void compute_image_stats(const u8 *pixels, u64 width, u64 height, u64 x_stride, ImageStats *stats) {
  stats_compute(pixels, width, height, x_stride, stats, nullptr, stats_avx2_supported());
}

void compute_image_stats_reference(const u8 *pixels, u64 width, u64 height, u64 x_stride, ImageStats *stats) {
  stats_compute(pixels, width, height, x_stride, stats, nullptr, false);
}

bool image_stats_avx2() { return stats_avx2_supported(); }

U128 compute_image_stats_and_checksum(const u8 *pixels, u64 width, u64 height, u64 x_stride, const void *hashed,
                                      u64 hashed_size, ImageStats *stats) {
  StatsHash hash = {};
  blake2b128_begin(&hash.state);
  hash.bytes = (const u8 *)hashed;
  hash.size = hashed_size;
  stats_compute(pixels, width, height, x_stride, stats, &hash, stats_avx2_supported());
  stats_hash_until(&hash, hash.bytes + hash.size);
  return blake2b128_end(&hash.state);
}

//~ Checksum
U128 codec_blake2b128(const void *data, u64 size) { return blake2b_128(data, size); }
