#include "convert/image/image_jpeg_writer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Every float below is evaluated one IEEE single operation at a time, in the order written:
// reordering a sum or fusing a multiply into an add changes a rounding somewhere, and with it
// a coefficient, a code and the file. CMakeLists.txt compiles this file with
// -ffp-contract=off for that reason.

//~ Tables
// Zigzag position to natural (row-major) index: the diagonals from the top-left corner, the
// even ones walked up and the odd ones down.
struct JpegOrder {
  u8 natural[64];
};

static constexpr JpegOrder jpeg_order_build() {
  JpegOrder order = {};
  u32 k = 0;
  for (u32 sum = 0; sum < 15; sum += 1) {
    u32 low = sum > 7 ? sum - 7 : 0, high = sum < 7 ? sum : 7;
    for (u32 i = 0; i <= high - low; i += 1) {
      u32 row = sum % 2 ? low + i : high - i;
      order.natural[k++] = (u8)(row * 8 + (sum - row));
    }
  }
  return order;
}
static constexpr JpegOrder JpegZigzag = jpeg_order_build();

// A block's nonzero coefficients, one bit each in natural order, moved to zigzag order one row
// (byte) at a time: the OR of the eight rows' entries.
struct JpegRowBits {
  u64 zigzag[8][256];
};

static constexpr JpegRowBits jpeg_row_bits_build() {
  u8 position[64] = {};
  for (u32 k = 0; k < 64; k += 1) position[JpegZigzag.natural[k]] = (u8)k;
  JpegRowBits bits = {};
  for (u32 row = 0; row < 8; row += 1) {
    for (u32 byte = 0; byte < 256; byte += 1) {
      for (u32 col = 0; col < 8; col += 1) {
        if (byte >> col & 1) bits.zigzag[row][byte] |= 1ull << position[row * 8 + col];
      }
    }
  }
  return bits;
}
static constexpr JpegRowBits JpegRowZigzag = jpeg_row_bits_build();

// The example quantisers of the JPEG standard (Annex K), natural order, scaled by quality.
static constexpr u8 JpegLumaSteps[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,  //
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,  //
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,  //
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
};
static constexpr u8 JpegChromaSteps[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, //
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99, //
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, //
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
};

// The DCT below leaves each output scaled by its row's and column's factor; the quantiser
// divides them out. Each is stb's product of two float constants, rounded to a float.
static const f32 JpegScale[8] = {
    1.0f * 2.828427125f,         1.387039845f * 2.828427125f, 1.306562965f * 2.828427125f,
    1.175875602f * 2.828427125f, 1.0f * 2.828427125f,         0.785694958f * 2.828427125f,
    0.541196100f * 2.828427125f, 0.275899379f * 2.828427125f,
};

//- Huffman tables
// The typical tables of the standard (Annex K): the count of codes of each length 1..16, then
// the symbols in code order. A DHT segment holds exactly these bytes.
static constexpr u8 JpegLumaDcCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
static constexpr u8 JpegChromaDcCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
static constexpr u8 JpegDcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
static constexpr u8 JpegLumaAcCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D};
static constexpr u8 JpegLumaAcSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, //
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0, //
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28, //
    0x29, 0x2A, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, //
    0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, //
    0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, //
    0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, //
    0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, 0xC4, 0xC5, //
    0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2, //
    0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, //
    0xF9, 0xFA,
};
static constexpr u8 JpegChromaAcCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
static constexpr u8 JpegChromaAcSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, //
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0, //
    0x15, 0x62, 0x72, 0xD1, 0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26, //
    0x27, 0x28, 0x29, 0x2A, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, //
    0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, //
    0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, //
    0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3, 0xA4, 0xA5, //
    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3, //
    0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, //
    0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, //
    0xF9, 0xFA,
};

// Each symbol's code and length, the canonical codes the counts define. A symbol the table
// lacks has length 0 and adds no bits, as in stb's tables; 8-bit samples never need one (no
// AC coefficient reaches 1024, no DC difference 2048).
struct JpegCodes {
  u16 code[256];
  u8 length[256];
};

static constexpr JpegCodes jpeg_codes_build(const u8 *counts, const u8 *symbols) {
  JpegCodes codes = {};
  u32 code = 0, k = 0;
  for (u32 length = 1; length <= 16; length += 1, code <<= 1) {
    for (u32 i = 0; i < counts[length - 1]; i += 1, k += 1, code += 1) {
      codes.code[symbols[k]] = (u16)code;
      codes.length[symbols[k]] = (u8)length;
    }
  }
  return codes;
}
static constexpr JpegCodes JpegLumaDc = jpeg_codes_build(JpegLumaDcCounts, JpegDcSymbols);
static constexpr JpegCodes JpegChromaDc = jpeg_codes_build(JpegChromaDcCounts, JpegDcSymbols);
static constexpr JpegCodes JpegLumaAc = jpeg_codes_build(JpegLumaAcCounts, JpegLumaAcSymbols);
static constexpr JpegCodes JpegChromaAc = jpeg_codes_build(JpegChromaAcCounts, JpegChromaAcSymbols);
static constexpr u32 JpegEndOfBlock = 0x00;
static constexpr u32 JpegSixteenZeros = 0xF0;

//~ Vectors
// Four lanes of SSE2, or one float where there is none: each lane runs exactly the scalar
// sequence of operations, so both give the same bits.
#if defined(__SSE2__)
typedef __m128 JpegVec;
static constexpr u32 JpegLanes = 4;
static inline JpegVec vec_load(const f32 *p) { return _mm_loadu_ps(p); }
static inline void vec_store(f32 *p, JpegVec a) { _mm_storeu_ps(p, a); }
static inline JpegVec vec_add(JpegVec a, JpegVec b) { return _mm_add_ps(a, b); }
static inline JpegVec vec_sub(JpegVec a, JpegVec b) { return _mm_sub_ps(a, b); }
static inline JpegVec vec_mul(JpegVec a, f32 c) { return _mm_mul_ps(a, _mm_set1_ps(c)); }
static inline JpegVec vec_set(f32 c) { return _mm_set1_ps(c); }
#else
typedef f32 JpegVec;
static constexpr u32 JpegLanes = 1;
static inline JpegVec vec_load(const f32 *p) { return *p; }
static inline void vec_store(f32 *p, JpegVec a) { *p = a; }
static inline JpegVec vec_add(JpegVec a, JpegVec b) { return a + b; }
static inline JpegVec vec_sub(JpegVec a, JpegVec b) { return a - b; }
static inline JpegVec vec_mul(JpegVec a, f32 c) { return a * c; }
static inline JpegVec vec_set(f32 c) { return c; }
#endif

//~ Setup
struct JpegSetup {
  bool subsample;         // 4:2:0, else 4:4:4
  u8 luma_steps[64];      // as the DQT segment holds them: zigzag order
  u8 chroma_steps[64];
  alignas(16) f32 luma_factors[64]; // natural order: what a DCT output is multiplied by
  alignas(16) f32 chroma_factors[64];
  f32 grey_luma[256];     // Y of a grey sample, computed as for r = g = b
};

static void jpeg_setup(JpegSetup *setup, int quality) {
  quality = quality ? quality : 90;
  setup->subsample = quality <= 90;
  quality = clamp_of(1, quality, 100);
  quality = quality < 50 ? 5000 / quality : 200 - quality * 2;

  u8 luma[64], chroma[64];
  for (u32 k = 0; k < 64; k += 1) {
    luma[k] = (u8)clamp_of(1, ((int)JpegLumaSteps[k] * quality + 50) / 100, 255);
    chroma[k] = (u8)clamp_of(1, ((int)JpegChromaSteps[k] * quality + 50) / 100, 255);
    // the step converted to float, times the row's scale, times the column's, then inverted
    setup->luma_factors[k] = 1.0f / ((f32)luma[k] * JpegScale[k / 8] * JpegScale[k % 8]);
    setup->chroma_factors[k] = 1.0f / ((f32)chroma[k] * JpegScale[k / 8] * JpegScale[k % 8]);
  }
  for (u32 k = 0; k < 64; k += 1) {
    setup->luma_steps[k] = luma[JpegZigzag.natural[k]];
    setup->chroma_steps[k] = chroma[JpegZigzag.natural[k]];
  }
  for (u32 v = 0; v < 256; v += 1) {
    f32 s = (f32)v;
    setup->grey_luma[v] = 0.29900f * s + 0.58700f * s + 0.11400f * s - 128.0f;
  }
}

//~ Headers
static u8 *jpeg_put_bytes(u8 *out, const u8 *bytes, u64 count) {
  memcpy(out, bytes, count);
  return out + count;
}

static u8 *jpeg_put_table(u8 *out, u8 id, const u8 *counts, const u8 *symbols, u64 symbol_count) {
  *out++ = id;
  out = jpeg_put_bytes(out, counts, 16);
  return jpeg_put_bytes(out, symbols, symbol_count);
}

// Everything before the entropy-coded data: JFIF 1.01 without density or thumbnail, both
// quantisers in one DQT, a three-component baseline frame (grey pictures too), the four
// tables in one DHT, one interleaved scan.
static constexpr u64 JpegHeaderSize = 2 + 18 + 2 + 2 + 2 * 65 + 19 + 2 + 2 + 2 * (17 + 12) + 2 * (17 + 162) + 14;

static u8 *jpeg_put_headers(u8 *out, const JpegSetup *setup, u64 width, u64 height) {
  static const u8 start[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  out = jpeg_put_bytes(out, start, sizeof(start));

  static const u8 quantisers[] = {0xFF, 0xDB, 0, 2 + 2 * 65};
  out = jpeg_put_bytes(out, quantisers, sizeof(quantisers));
  *out++ = 0;
  out = jpeg_put_bytes(out, setup->luma_steps, 64);
  *out++ = 1;
  out = jpeg_put_bytes(out, setup->chroma_steps, 64);

  u8 luma_sampling = setup->subsample ? 0x22 : 0x11;
  const u8 frame[] = {0xFF, 0xC0, 0, 17, 8, (u8)(height >> 8), (u8)height, (u8)(width >> 8), (u8)width, 3,
                      1, luma_sampling, 0, 2, 0x11, 1, 3, 0x11, 1};
  out = jpeg_put_bytes(out, frame, sizeof(frame));

  u64 tables_size = 2 + 2 * (17 + sizeof(JpegDcSymbols)) + 2 * (17 + sizeof(JpegLumaAcSymbols));
  const u8 tables[] = {0xFF, 0xC4, (u8)(tables_size >> 8), (u8)tables_size};
  out = jpeg_put_bytes(out, tables, sizeof(tables));
  out = jpeg_put_table(out, 0x00, JpegLumaDcCounts, JpegDcSymbols, sizeof(JpegDcSymbols));
  out = jpeg_put_table(out, 0x10, JpegLumaAcCounts, JpegLumaAcSymbols, sizeof(JpegLumaAcSymbols));
  out = jpeg_put_table(out, 0x01, JpegChromaDcCounts, JpegDcSymbols, sizeof(JpegDcSymbols));
  out = jpeg_put_table(out, 0x11, JpegChromaAcCounts, JpegChromaAcSymbols, sizeof(JpegChromaAcSymbols));

  static const u8 scan[] = {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
  return jpeg_put_bytes(out, scan, sizeof(scan));
}

//~ Entropy-coded data
// Bits gather in a 64-bit word, most significant first, and leave as eight bytes at once.
struct JpegBits {
  u64 bits; // the pending bits in its low 64 - room bits (higher ones are shifted out unused)
  u32 room; // bits still free, 1..64
  u8 *out;
};

static inline void jpeg_put_word(JpegBits *b, u64 word) {
  // A 0xFF byte in the data is followed by a 0x00 so that no decoder takes it for a marker.
  // Most words have none and go out whole.
  u64 inverted = ~word;
  bool has_ff = ((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) != 0;
  u8 *out = b->out;
  if (!has_ff) {
    for (u32 i = 0; i < 8; i += 1) out[i] = (u8)(word >> (56 - 8 * i));
    b->out = out + 8;
    return;
  }
  for (u32 i = 0; i < 8; i += 1) {
    u8 c = (u8)(word >> (56 - 8 * i));
    *out++ = c;
    if (c == 0xFF) *out++ = 0;
  }
  b->out = out;
}

// `length` bits of `value` (at most 32, nothing above them set).
static inline void jpeg_put(JpegBits *b, u32 value, u32 length) {
  if (length < b->room) {
    b->bits = (b->bits << length) | value;
    b->room -= length;
    return;
  }
  u32 over = length - b->room;
  jpeg_put_word(b, (b->bits << b->room) | ((u64)value >> over));
  b->bits = value;
  b->room = 64 - over;
}

// The pending bits padded with ones to whole bytes, as the format asks before a marker.
static void jpeg_put_last_bits(JpegBits *b) {
  u32 pad = (64 - b->room) % 8 ? 8 - (64 - b->room) % 8 : 0;
  jpeg_put(b, (1u << pad) - 1, pad);
  if (b->room == 64) return;
  u64 word = b->bits << b->room;
  for (u32 i = 0; i < (64 - b->room) / 8; i += 1) {
    u8 c = (u8)(word >> (56 - 8 * i));
    *b->out++ = c;
    if (c == 0xFF) *b->out++ = 0;
  }
  b->room = 64;
}

// A value's magnitude category and the bits that follow its code: the value itself when
// positive, its ones' complement when negative, in `category` bits.
static inline u32 jpeg_category(i32 value) {
  u32 magnitude = (u32)(value < 0 ? -value : value);
  return magnitude ? 32 - (u32)__builtin_clz(magnitude) : 0;
}

static inline u32 jpeg_extra_bits(i32 value, u32 category) {
  return (u32)(value < 0 ? value - 1 : value) & ((1u << category) - 1);
}

// One block's quantised coefficients, natural order, with a bit set in `nonzero` (natural
// order too) for each that is not 0: the difference of its DC from the component's previous
// one, then each nonzero AC after its run of zeros (a 16-zero code for every 16 of a long
// run), then an end-of-block unless the last coefficient is nonzero. Only the nonzero
// coefficients are visited, in zigzag order.
static void jpeg_code_block(JpegBits *bits, const i16 natural[64], u64 nonzero, i32 *dc, const JpegCodes *dc_codes,
                            const JpegCodes *ac_codes) {
  JpegBits b = *bits;
  i32 diff = natural[0] - *dc;
  *dc = natural[0];
  u32 size = jpeg_category(diff);
  jpeg_put(&b, ((u32)dc_codes->code[size] << size) | jpeg_extra_bits(diff, size), dc_codes->length[size] + size);

  u64 ac = 0;
  for (u32 row = 0; row < 8; row += 1) ac |= JpegRowZigzag.zigzag[row][(nonzero >> (row * 8)) & 0xFF];
  ac &= ~1ull;
  u32 last = 0;
  while (ac) {
    u32 at = (u32)__builtin_ctzll(ac);
    ac &= ac - 1;
    u32 run = at - last - 1;
    for (; run >= 16; run -= 16) jpeg_put(&b, ac_codes->code[JpegSixteenZeros], ac_codes->length[JpegSixteenZeros]);
    i32 value = natural[JpegZigzag.natural[at]];
    size = jpeg_category(value);
    u32 symbol = (run << 4) | size;
    jpeg_put(&b, ((u32)ac_codes->code[symbol] << size) | jpeg_extra_bits(value, size),
             ac_codes->length[symbol] + size);
    last = at;
  }
  if (last != 63) jpeg_put(&b, ac_codes->code[JpegEndOfBlock], ac_codes->length[JpegEndOfBlock]);
  *bits = b;
}

// The most one MCU can take: six blocks of at most 22 DC bits and 63 coefficients of at most
// 16 + 11 bits, every byte doubled by stuffing, plus the word the bit buffer may hold back.
static constexpr u64 JpegMcuBound = 6 * 2 * ((22 + 63 * 27 + 7) / 8) + 2 * 8;

//~ Transform
// The scaled float DCT of eight samples (Arai, Agui and Nakajima's factorisation), exactly the
// sequence of operations of stb's writer.
static inline void jpeg_dct(JpegVec d[8]) {
  JpegVec tmp0 = vec_add(d[0], d[7]), tmp7 = vec_sub(d[0], d[7]);
  JpegVec tmp1 = vec_add(d[1], d[6]), tmp6 = vec_sub(d[1], d[6]);
  JpegVec tmp2 = vec_add(d[2], d[5]), tmp5 = vec_sub(d[2], d[5]);
  JpegVec tmp3 = vec_add(d[3], d[4]), tmp4 = vec_sub(d[3], d[4]);

  // even part
  JpegVec tmp10 = vec_add(tmp0, tmp3), tmp13 = vec_sub(tmp0, tmp3);
  JpegVec tmp11 = vec_add(tmp1, tmp2), tmp12 = vec_sub(tmp1, tmp2);
  d[0] = vec_add(tmp10, tmp11);
  d[4] = vec_sub(tmp10, tmp11);
  JpegVec z1 = vec_mul(vec_add(tmp12, tmp13), 0.707106781f);
  d[2] = vec_add(tmp13, z1);
  d[6] = vec_sub(tmp13, z1);

  // odd part
  tmp10 = vec_add(tmp4, tmp5);
  tmp11 = vec_add(tmp5, tmp6);
  tmp12 = vec_add(tmp6, tmp7);
  JpegVec z5 = vec_mul(vec_sub(tmp10, tmp12), 0.382683433f);
  JpegVec z2 = vec_add(vec_mul(tmp10, 0.541196100f), z5);
  JpegVec z4 = vec_add(vec_mul(tmp12, 1.306562965f), z5);
  JpegVec z3 = vec_mul(tmp11, 0.707106781f);
  JpegVec z11 = vec_add(tmp7, z3), z13 = vec_sub(tmp7, z3);
  d[5] = vec_add(z13, z2);
  d[3] = vec_sub(z13, z2);
  d[1] = vec_add(z11, z4);
  d[7] = vec_sub(z11, z4);
}

// An 8×8 block of samples `stride` floats apart: rows transformed, then columns, then each
// output times its factor, rounded half away from zero and truncated to an integer. Returns
// the nonzero outputs' bits, natural order.
#if defined(__SSE2__)
static inline void jpeg_transpose(JpegVec lo[8], JpegVec hi[8]) {
  // Row i holds columns 0-3 in lo[i] and 4-7 in hi[i]; the four 4×4 quarters are transposed
  // and the off-diagonal two swap places.
  _MM_TRANSPOSE4_PS(lo[0], lo[1], lo[2], lo[3]);
  _MM_TRANSPOSE4_PS(lo[4], lo[5], lo[6], lo[7]);
  _MM_TRANSPOSE4_PS(hi[0], hi[1], hi[2], hi[3]);
  _MM_TRANSPOSE4_PS(hi[4], hi[5], hi[6], hi[7]);
  for (u32 i = 0; i < 4; i += 1) {
    JpegVec t = lo[4 + i];
    lo[4 + i] = hi[i];
    hi[i] = t;
  }
}

static u64 jpeg_transform(const f32 *samples, u64 stride, const f32 *factors, i16 out[64]) {
  JpegVec lo[8], hi[8];
  for (u32 i = 0; i < 8; i += 1) {
    lo[i] = vec_load(samples + i * stride);
    hi[i] = vec_load(samples + i * stride + 4);
  }
  // rows: transposed, each vector holds one sample position of four rows
  jpeg_transpose(lo, hi);
  jpeg_dct(lo);
  jpeg_dct(hi);
  // columns: back in rows, each vector holds one row of four columns
  jpeg_transpose(lo, hi);
  jpeg_dct(lo);
  jpeg_dct(hi);

  const __m128 sign = _mm_set1_ps(-0.0f), half = _mm_set1_ps(0.5f);
  __m128i rows[8];
  for (u32 i = 0; i < 8; i += 1) {
    __m128 a = _mm_mul_ps(lo[i], _mm_load_ps(factors + i * 8));
    __m128 b = _mm_mul_ps(hi[i], _mm_load_ps(factors + i * 8 + 4));
    // v - 0.5 below zero, v + 0.5 otherwise; -0.0 truncates to 0 either way
    a = _mm_add_ps(a, _mm_or_ps(half, _mm_and_ps(a, sign)));
    b = _mm_add_ps(b, _mm_or_ps(half, _mm_and_ps(b, sign)));
    rows[i] = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
    _mm_storeu_si128((__m128i *)(out + i * 8), rows[i]);
  }
  // saturating to bytes keeps a nonzero value nonzero
  u64 zero = 0;
  for (u32 i = 0; i < 8; i += 2) {
    __m128i bytes = _mm_packs_epi16(rows[i], rows[i + 1]);
    zero |= (u64)(u32)_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())) << (i * 8);
  }
  return ~zero;
}
#else
static u64 jpeg_transform(const f32 *samples, u64 stride, const f32 *factors, i16 out[64]) {
  f32 block[64];
  for (u32 i = 0; i < 8; i += 1) memcpy(block + i * 8, samples + i * stride, 8 * sizeof(f32));
  for (u32 pass = 0; pass < 2; pass += 1) {
    // rows, then columns
    u32 step = pass == 0 ? 1 : 8, next = pass == 0 ? 8 : 1;
    for (u32 line = 0; line < 8; line += 1) {
      f32 d[8];
      for (u32 k = 0; k < 8; k += 1) d[k] = block[line * next + k * step];
      jpeg_dct(d);
      for (u32 k = 0; k < 8; k += 1) block[line * next + k * step] = d[k];
    }
  }
  u64 nonzero = 0;
  for (u32 k = 0; k < 64; k += 1) {
    f32 v = block[k] * factors[k];
    out[k] = (i16)(i32)(v < 0 ? v - 0.5f : v + 0.5f);
    nonzero |= (u64)(out[k] != 0) << k;
  }
  return nonzero;
}
#endif

static void jpeg_block(JpegBits *bits, const f32 *samples, u64 stride, const f32 *factors, i32 *dc,
                       const JpegCodes *dc_codes, const JpegCodes *ac_codes) {
  alignas(16) i16 coefficients[64];
  u64 nonzero = jpeg_transform(samples, stride, factors, coefficients);
  jpeg_code_block(bits, coefficients, nonzero, dc, dc_codes, ac_codes);
}

//~ Colour
// One MCU's samples before subsampling, `side` × `side` of each component (side 16 or 8).
struct JpegTile {
  alignas(16) f32 y[256];
  alignas(16) f32 u[256];
  alignas(16) f32 v[256];
  alignas(16) f32 u_half[64]; // u and v averaged over 2×2 for 4:2:0
  alignas(16) f32 v_half[64];
};

// `count` (8 or 16) packed RGB pixels as floats, still interleaved.
static void jpeg_rgb_floats(const u8 *rgb, u32 count, f32 *flat) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (u32 i = 0; i < count * 3; i += 16) {
    __m128i bytes = count * 3 - i >= 16 ? _mm_loadu_si128((const __m128i *)(rgb + i))
                                        : _mm_loadl_epi64((const __m128i *)(rgb + i));
    __m128i lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
    _mm_store_ps(flat + i, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)));
    _mm_store_ps(flat + i + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)));
    _mm_store_ps(flat + i + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)));
    _mm_store_ps(flat + i + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)));
  }
#else
  for (u32 i = 0; i < count * 3; i += 1) flat[i] = rgb[i];
#endif
}

// Red, green and blue of the pixels at `flat` (interleaved), one per lane.
static inline void jpeg_rgb_lanes(const f32 *flat, JpegVec *red, JpegVec *green, JpegVec *blue) {
#if defined(__SSE2__)
  // a = r0 g0 b0 r1, b = g1 b1 r2 g2, c = b2 r3 g3 b3
  __m128 a = _mm_load_ps(flat), b = _mm_load_ps(flat + 4), c = _mm_load_ps(flat + 8);
  __m128 r23 = _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 1, 2, 2));
  *red = _mm_shuffle_ps(a, r23, _MM_SHUFFLE(2, 0, 3, 0));
  __m128 g01 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 1, 1)), g23 = _mm_shuffle_ps(b, c, _MM_SHUFFLE(2, 2, 3, 3));
  *green = _mm_shuffle_ps(g01, g23, _MM_SHUFFLE(2, 0, 2, 0));
  __m128 b01 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 2, 2)), b23 = _mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 3, 0, 0));
  *blue = _mm_shuffle_ps(b01, b23, _MM_SHUFFLE(2, 0, 2, 0));
#else
  *red = flat[0];
  *green = flat[1];
  *blue = flat[2];
#endif
}

// The MCU at (x0, y0): columns past the right edge repeat the last column, rows past the
// bottom the last row. Colour goes through stb's float YCbCr formulas; a grey
// picture (one channel, or grey and alpha) needs only Y (see jpeg_encode).
static void jpeg_tile_read(JpegTile *tile, const JpegSetup *setup, const u8 *pixels, u64 width, u64 height,
                           u32 components, u64 x0, u64 y0, u32 side) {
  bool inside = x0 + side <= width;
  for (u32 r = 0; r < side; r += 1) {
    u64 row = min_of<u64>(y0 + r, height - 1);
    const u8 *line = pixels + row * width * components;
    f32 *y = tile->y + r * side;
    if (components <= 2) {
      for (u32 c = 0; c < side; c += 1) {
        u64 col = inside ? x0 + c : min_of<u64>(x0 + c, width - 1);
        y[c] = setup->grey_luma[line[col * components]];
      }
      continue;
    }

    // packed RGB: the row itself, or its pixels gathered without alpha and edge repeated
    const u8 *rgb = line + x0 * 3;
    u8 packed[16 * 3];
    if (!inside || components != 3) {
      for (u32 c = 0; c < side; c += 1) {
        const u8 *p = line + min_of<u64>(x0 + c, width - 1) * components;
        packed[c * 3] = p[0];
        packed[c * 3 + 1] = p[1];
        packed[c * 3 + 2] = p[2];
      }
      rgb = packed;
    }
    alignas(16) f32 flat[16 * 3];
    jpeg_rgb_floats(rgb, side, flat);
    f32 *u = tile->u + r * side, *v = tile->v + r * side;
    for (u32 c = 0; c < side; c += JpegLanes) {
      JpegVec R, G, B;
      jpeg_rgb_lanes(flat + c * 3, &R, &G, &B);
      vec_store(y + c, vec_sub(vec_add(vec_add(vec_mul(R, 0.29900f), vec_mul(G, 0.58700f)), vec_mul(B, 0.11400f)), vec_set(128.0f)));
      vec_store(u + c, vec_add(vec_sub(vec_mul(R, -0.16874f), vec_mul(G, 0.33126f)), vec_mul(B, 0.50000f)));
      vec_store(v + c, vec_sub(vec_sub(vec_mul(R, 0.50000f), vec_mul(G, 0.41869f)), vec_mul(B, 0.08131f)));
    }
  }
}

// 4:2:0 chroma: each 2×2 of a 16×16 tile summed left, right, lower left, lower right, then
// quartered.
static void jpeg_tile_halve(const f32 *full, f32 *half) {
  for (u32 r = 0; r < 8; r += 1) {
    const f32 *top = full + r * 32, *bottom = top + 16;
#if defined(__SSE2__)
    for (u32 c = 0; c < 8; c += 4) {
      __m128 t0 = _mm_loadu_ps(top + 2 * c), t1 = _mm_loadu_ps(top + 2 * c + 4);
      __m128 b0 = _mm_loadu_ps(bottom + 2 * c), b1 = _mm_loadu_ps(bottom + 2 * c + 4);
      __m128 top_left = _mm_shuffle_ps(t0, t1, _MM_SHUFFLE(2, 0, 2, 0));
      __m128 top_right = _mm_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 1, 3, 1));
      __m128 bottom_left = _mm_shuffle_ps(b0, b1, _MM_SHUFFLE(2, 0, 2, 0));
      __m128 bottom_right = _mm_shuffle_ps(b0, b1, _MM_SHUFFLE(3, 1, 3, 1));
      __m128 sum = _mm_add_ps(_mm_add_ps(_mm_add_ps(top_left, top_right), bottom_left), bottom_right);
      _mm_storeu_ps(half + r * 8 + c, _mm_mul_ps(sum, _mm_set1_ps(0.25f)));
    }
#else
    for (u32 c = 0; c < 8; c += 1) {
      half[r * 8 + c] = (top[2 * c] + top[2 * c + 1] + bottom[2 * c] + bottom[2 * c + 1]) * 0.25f;
    }
#endif
  }
}

//~ Writing
bool jpeg_encode(EncodeSink *sink, const u8 *pixels, u64 width, u64 height, u32 components, int quality) {
  if (!pixels || width == 0 || height == 0 || width > 0xFFFF || height > 0xFFFF) return false;
  if (components < 1 || components > 4) return false;
  JpegSetup setup;
  jpeg_setup(&setup, quality);

  u8 *start = encode_sink_reserve(sink, JpegHeaderSize);
  JpegBits bits = {0, 64, jpeg_put_headers(start, &setup, width, height)};

  // Through the float formulas a grey sample gives Cb exactly 0 and Cr within 6e-6 of it; no
  // DCT and quantiser step (at least 1) lifts a block of those anywhere near 0.5, so every
  // chroma block of a grey picture quantises to zeros: a DC difference of 0 and an
  // end-of-block, nothing else.
  bool grey = components <= 2;
  u32 neutral_length = JpegChromaDc.length[0] + JpegChromaAc.length[JpegEndOfBlock];
  u32 neutral = ((u32)JpegChromaDc.code[0] << JpegChromaAc.length[JpegEndOfBlock]) | JpegChromaAc.code[JpegEndOfBlock];

  // MCUs left to right, top to bottom; Y's blocks of an MCU in the same order, then Cb, Cr
  u32 side = setup.subsample ? 16 : 8;
  i32 dc_y = 0, dc_u = 0, dc_v = 0;
  JpegTile tile;
  for (u64 y0 = 0; y0 < height; y0 += side) {
    for (u64 x0 = 0; x0 < width; x0 += side) {
      sink->cursor = bits.out;
      bits.out = encode_sink_reserve(sink, JpegMcuBound);
      jpeg_tile_read(&tile, &setup, pixels, width, height, components, x0, y0, side);
      if (setup.subsample) {
        for (u32 k = 0; k < 4; k += 1) {
          jpeg_block(&bits, tile.y + (k / 2) * 128 + (k % 2) * 8, 16, setup.luma_factors, &dc_y, &JpegLumaDc, &JpegLumaAc);
        }
      } else {
        jpeg_block(&bits, tile.y, 8, setup.luma_factors, &dc_y, &JpegLumaDc, &JpegLumaAc);
      }
      if (grey) {
        jpeg_put(&bits, neutral, neutral_length);
        jpeg_put(&bits, neutral, neutral_length);
        continue;
      }
      const f32 *u = tile.u, *v = tile.v;
      if (setup.subsample) {
        jpeg_tile_halve(tile.u, tile.u_half);
        jpeg_tile_halve(tile.v, tile.v_half);
        u = tile.u_half, v = tile.v_half;
      }
      jpeg_block(&bits, u, 8, setup.chroma_factors, &dc_u, &JpegChromaDc, &JpegChromaAc);
      jpeg_block(&bits, v, 8, setup.chroma_factors, &dc_v, &JpegChromaDc, &JpegChromaAc);
    }
  }

  sink->cursor = bits.out;
  bits.out = encode_sink_reserve(sink, 2 * 8 + 2);
  jpeg_put_last_bits(&bits);
  *bits.out++ = 0xFF;
  *bits.out++ = 0xD9;
  sink->cursor = bits.out;
  return true;
}

//~ Kept metadata
static constexpr u64 JpegSegmentMax = 65533; // a segment's payload, after its marker and length

// The segment's marker, length and the parts of its payload, at `out`; the bytes written.
static u64 jpeg_segment_put(u8 *out, u8 marker, Str8 a, Str8 b, Str8 c = {}) {
  u64 length = 2 + a.size + b.size + c.size;
  out[0] = 0xFF;
  out[1] = marker;
  out[2] = (u8)(length >> 8);
  out[3] = (u8)length;
  u64 at = 4;
  const Str8 parts[3] = {a, b, c};
  for (Str8 part : parts) {
    if (part.size) memcpy(out + at, part.str, part.size);
    at += part.size;
  }
  return at;
}

bool jpeg_embed(EncodeSink *sink, ImageMetadata *kept) {
  Str8 file = *sink->buffer;
  if (file.size < 4 || file.str[0] != 0xFF || file.str[1] != 0xD8) return false;
  u64 after = 2;
  if (file.str[2] == 0xFF && file.str[3] == 0xE0 && file.size >= 6) {
    u64 app0 = 2 + read_be16(file.str + 4);
    if (after + app0 <= file.size) after += app0;
  }
  static const u8 exif_prefix[6] = {'E', 'x', 'i', 'f', 0, 0};
  static const u8 xmp_prefix[] = "http://ns.adobe.com/xap/1.0/";
  static const u8 icc_prefix[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
  static const u8 ps_prefix[14] = {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.', '0', 0};
  Str8 exif_p = {(u8 *)exif_prefix, 6}, xmp_p = {(u8 *)xmp_prefix, sizeof(xmp_prefix)};
  u64 icc_piece = JpegSegmentMax - sizeof(icc_prefix) - 2;
  if (kept->exif.size > JpegSegmentMax - exif_p.size) kept->exif = Str8{};
  if (kept->xmp.size > JpegSegmentMax - xmp_p.size) kept->xmp = Str8{};
  if (kept->iptc.size > JpegSegmentMax - sizeof(ps_prefix) - 13) kept->iptc = Str8{};
  u64 icc_count = (kept->icc.size + icc_piece - 1) / icc_piece;
  if (icc_count > 255) kept->icc = Str8{}, icc_count = 0;
  u64 extra = 4 * (3 + icc_count) + exif_p.size + kept->exif.size + xmp_p.size + kept->xmp.size + kept->icc.size +
              icc_count * (sizeof(icc_prefix) + 2) + sizeof(ps_prefix) + 13 + kept->iptc.size;
  u8 *out = (u8 *)arena_alloc(sink->arena, file.size + extra, 8);
  memcpy(out, file.str, after);
  u64 at = after;
  if (kept->exif.size) at += jpeg_segment_put(out + at, 0xE1, exif_p, kept->exif);
  if (kept->xmp.size) at += jpeg_segment_put(out + at, 0xE1, xmp_p, kept->xmp);
  for (u64 i = 0; i < icc_count; i += 1) {
    u8 numbers[2] = {(u8)(i + 1), (u8)icc_count};
    Str8 piece = str8_slice(kept->icc, RangeU64{i * icc_piece, min_of((i + 1) * icc_piece, kept->icc.size)});
    at += jpeg_segment_put(out + at, 0xE2, Str8{(u8 *)icc_prefix, sizeof(icc_prefix)}, Str8{numbers, 2}, piece);
  }
  if (kept->iptc.size) {
    // one Photoshop resource 0x0404 with an empty name, its data padded to an even size
    u64 size = kept->iptc.size;
    u8 head[12] = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0, (u8)(size >> 24), (u8)(size >> 16), (u8)(size >> 8), (u8)size};
    u8 pad[1] = {0};
    u64 written = jpeg_segment_put(out + at, 0xED, Str8{(u8 *)ps_prefix, sizeof(ps_prefix)}, Str8{head, 12}, kept->iptc);
    if (size & 1) {
      memcpy(out + at + written, pad, 1);
      written += 1;
      u64 length = read_be16(out + at + 2) + 1;
      out[at + 2] = (u8)(length >> 8);
      out[at + 3] = (u8)length;
    }
    at += written;
  }
  memcpy(out + at, file.str + after, file.size - after);
  *sink->buffer = Str8{out, at + file.size - after};
  return true;
}
