// stb_image implementation: PNG and JPEG loaders only, on the image libraries' heap, with the
// reasons for people ("Corrupt JPEG") rather than the short codes.
#include "convert/image/image_heap.h"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_MALLOC(size) codec_heap_alloc(size)
#define STBI_REALLOC(block, size) codec_heap_realloc(block, size)
#define STBI_FREE(block) codec_heap_release(block)
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_FAILURE_USERMSG

#if defined(__x86_64__)
#include <tmmintrin.h>
// The decoder's colour conversion of JPEG rows, replaced by one that writes three-byte pixels
// eight at a time. The decoder's own vector form only writes four-byte pixels; for three it
// converts one pixel at a time, and on a 640x480 photo that was a tenth of the whole
// conversion's CPU. The decoder takes the kernel by name when it sets itself up, so the name
// refers to the function below, declared before the header; the header's own definition, a
// call-like use of the name, is renamed by the macro and stays the fallback.
static void stbi__YCbCr_to_RGB_simd(unsigned char *out, unsigned char const *y, unsigned char const *pcb,
                                    unsigned char const *pcr, int count, int step);
#define stbi__YCbCr_to_RGB_simd(...) stb_ycbcr_rows_of_the_header(__VA_ARGS__)
#include <stb_image.h>
#undef stbi__YCbCr_to_RGB_simd

// Exactly the header's arithmetic, in units of 2^8 (each of its terms is a multiple of 2^8, so
// shifting right by 12 here is its shift by 20): for Y, Cb and Cr, with c = C - 128,
//   R = (4096 Y + 2048 + 5743 cr) >> 12
//   G = (4096 Y + 2048 - 2925 cr + floor256(-1410 cb)) >> 12
//   B = (4096 Y + 2048 + 7258 cb) >> 12
// each clamped to 0-255. The products are pairs of 16-bit terms added into 32 bits (pmaddwd);
// the constants are the header's own expressions, so they round as its do.
__attribute__((target("ssse3"))) static void ycbcr_to_rgb3_ssse3(unsigned char *out, const unsigned char *y,
                                                                 const unsigned char *pcb, const unsigned char *pcr,
                                                                 int count) {
  const short one = 4096;
  const short cr_r = (short)(1.40200f * 4096.0f + 0.5f), cr_g = (short)-(short)(0.71414f * 4096.0f + 0.5f);
  const short cb_g = (short)-(short)(0.34414f * 4096.0f + 0.5f), cb_b = (short)(1.77200f * 4096.0f + 0.5f);
  const __m128i zero = _mm_setzero_si128(), bias8 = _mm_set1_epi16(128), round = _mm_set1_epi32(2048);
  const __m128i k_r = _mm_setr_epi16(one, cr_r, one, cr_r, one, cr_r, one, cr_r);
  const __m128i k_g = _mm_setr_epi16(one, cr_g, one, cr_g, one, cr_g, one, cr_g);
  const __m128i k_b = _mm_setr_epi16(one, cb_b, one, cb_b, one, cb_b, one, cb_b);
  const __m128i k_cb = _mm_setr_epi16(cb_g, 0, cb_g, 0, cb_g, 0, cb_g, 0);
  const __m128i floor256 = _mm_set1_epi32(~0xFF);
  // [R0..R7 G0..G7] and [B0..B7 ...] to R0 G0 B0 R1 ... : the first 16 bytes, then the last 8.
  const __m128i rg_lo = _mm_setr_epi8(0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5);
  const __m128i b_lo = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
  const __m128i rg_hi = _mm_setr_epi8(13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i b_hi = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1);
  for (int i = 0; i + 8 <= count; i += 8, out += 24) {
    __m128i yw = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(y + i)), zero);
    __m128i cb = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(pcb + i)), zero), bias8);
    __m128i cr = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(pcr + i)), zero), bias8);
    __m128i ycr_lo = _mm_unpacklo_epi16(yw, cr), ycr_hi = _mm_unpackhi_epi16(yw, cr);
    __m128i ycb_lo = _mm_unpacklo_epi16(yw, cb), ycb_hi = _mm_unpackhi_epi16(yw, cb);
    __m128i cb_lo = _mm_unpacklo_epi16(cb, zero), cb_hi = _mm_unpackhi_epi16(cb, zero);
    __m128i r_lo = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(ycr_lo, k_r), round), 12);
    __m128i r_hi = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(ycr_hi, k_r), round), 12);
    __m128i g_lo = _mm_add_epi32(_mm_madd_epi16(ycr_lo, k_g), _mm_and_si128(_mm_madd_epi16(cb_lo, k_cb), floor256));
    __m128i g_hi = _mm_add_epi32(_mm_madd_epi16(ycr_hi, k_g), _mm_and_si128(_mm_madd_epi16(cb_hi, k_cb), floor256));
    g_lo = _mm_srai_epi32(_mm_add_epi32(g_lo, round), 12);
    g_hi = _mm_srai_epi32(_mm_add_epi32(g_hi, round), 12);
    __m128i b_lo_w = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(ycb_lo, k_b), round), 12);
    __m128i b_hi_w = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(ycb_hi, k_b), round), 12);
    __m128i rg = _mm_packus_epi16(_mm_packs_epi32(r_lo, r_hi), _mm_packs_epi32(g_lo, g_hi));
    __m128i b = _mm_packus_epi16(_mm_packs_epi32(b_lo_w, b_hi_w), zero);
    _mm_storeu_si128((__m128i *)out, _mm_or_si128(_mm_shuffle_epi8(rg, rg_lo), _mm_shuffle_epi8(b, b_lo)));
    _mm_storel_epi64((__m128i *)(out + 16), _mm_or_si128(_mm_shuffle_epi8(rg, rg_hi), _mm_shuffle_epi8(b, b_hi)));
  }
}

static void stbi__YCbCr_to_RGB_simd(unsigned char *out, unsigned char const *y, unsigned char const *pcb,
                                    unsigned char const *pcr, int count, int step) {
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (step != 3 || !ssse3) return stb_ycbcr_rows_of_the_header(out, y, pcb, pcr, count, step);
  int whole = count & ~7;
  ycbcr_to_rgb3_ssse3(out, y, pcb, pcr, whole);
  stbi__YCbCr_to_RGB_row(out + 3 * whole, y + whole, pcb + whole, pcr + whole, count - whole, step);
}

void stb_jpeg_ycbcr_row(unsigned char *out, const unsigned char *y, const unsigned char *cb, const unsigned char *cr,
                        int count, bool header) {
  if (header) return stbi__YCbCr_to_RGB_row(out, y, cb, cr, count, 3);
  stbi__YCbCr_to_RGB_simd(out, y, cb, cr, count, 3);
}
#else
#include <stb_image.h>
void stb_jpeg_ycbcr_row(unsigned char *out, const unsigned char *y, const unsigned char *cb, const unsigned char *cr,
                        int count, bool) {
  stbi__YCbCr_to_RGB_row(out, y, cb, cr, count, 3);
}
#endif

// The reason is the calling thread's and stays until the next failure sets another: cleared
// before each call, a failure that sets none never shows an earlier one's.
void stb_image_forget_failure() { stbi__g_failure_reason = nullptr; }
