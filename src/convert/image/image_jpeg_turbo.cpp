#include <climits>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

#include "convert/image/image_jpeg_turbo.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_stb.h"
#include "convert/image/image_color.h"

//~ Errors
// The library calls error_exit on a failure and must not return to it: it jumps back to the
// call that set `escape`, with the library's words in `reason`. Warnings go through
// emit_message; those that mean the decoder went on by making pixels up jump back the same way,
// as a picture with made-up pixels must not replace its source.
struct TurboErrors {
  jpeg_error_mgr manager; // first: the library hands back its address
  jmp_buf escape;
  char reason[JMSG_LENGTH_MAX];
};

// One decode's state, reached through a pointer so that nothing the jump back reads lives only
// in a register; `pixels` and `inks` are released when a decode fails.
struct TurboDecode {
  jpeg_decompress_struct info;
  TurboErrors errors;
  u8 *pixels;
  u8 *inks;
};

[[noreturn]] static void turbo_fail(j_common_ptr info) {
  TurboErrors *e = (TurboErrors *)info->err;
  (*info->err->format_message)(info, e->reason);
  longjmp(e->escape, 1);
}

static void turbo_message(j_common_ptr info, int level) {
  if (level >= 0) return; // trace messages
  int code = info->err->msg_code;
  if (code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE || code == JWRN_ARITH_BAD_CODE || code == JWRN_JPEG_EOF ||
      code == JWRN_MUST_RESYNC) {
    turbo_fail(info);
  }
}

static void turbo_silent(j_common_ptr) {}

// Fails the decode with our own words.
[[noreturn]] static void turbo_refuse(TurboDecode *t, const char *reason) {
  snprintf(t->errors.reason, sizeof(t->errors.reason), "%s", reason);
  longjmp(t->errors.escape, 1);
}

// The library reads `bytes` in place and reports through t->errors; the caller has set the
// jump back before any call that may fail.
static void turbo_create(TurboDecode *t, Str8 bytes) {
  jpeg_std_error(&t->errors.manager);
  t->errors.manager.error_exit = turbo_fail;
  t->errors.manager.emit_message = turbo_message;
  t->errors.manager.output_message = turbo_silent;
  t->errors.reason[0] = 0;
  t->info.err = &t->errors.manager;
  jpeg_create_decompress(&t->info);
  jpeg_mem_src(&t->info, bytes.str, (unsigned long)bytes.size);
}

static void turbo_destroy(TurboDecode *t) {
  jpeg_destroy_decompress(&t->info);
  if (t->pixels) codec_heap_release(t->pixels);
  if (t->inks) codec_heap_release(t->inks);
  t->pixels = t->inks = nullptr;
}

// The most the library may hold for the picture its header declares: a progressive or
// multi-scan picture's coefficients (2 bytes a sample of each component, its blocks padded to
// whole MCUs of at most 32 x 32 pixels), row buffers of MCUs 32 lines high and their
// upsampled rows, and a margin for its tables and state. A hostile header's picture costs what
// any picture of its size costs, never more. The library has no backing store: past the limit
// its whole-picture buffers fail to be made.
static long turbo_memory_limit(u64 width, u64 height, u64 components) {
  u64 limit = components * ((width + 32) * (height + 32) * 2 + (width + 32) * 32 * 4) + mib(16);
  return (long)min_of<u64>(limit, (u64)LONG_MAX);
}

// The library counts the input in an unsigned long, which is 32 bits on some systems.
static bool turbo_input_fits(Str8 bytes) { return bytes.str && bytes.size > 0 && bytes.size <= CodecIntMax; }

//~ Probe
bool jpeg_turbo_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  if (!turbo_input_fits(bytes)) {
    codec_failure_set(&out->failure, DecodeRefused, "file too large for the decoder");
    return false;
  }
  TurboDecode state = {};
  TurboDecode *t = &state;
  if (setjmp(t->errors.escape)) {
    codec_failure_set(&out->failure, DecodeRefused, t->errors.reason);
    turbo_destroy(t);
    return false;
  }
  turbo_create(t, bytes);
  jpeg_read_header(&t->info, TRUE);
  out->width = t->info.image_width;
  out->height = t->info.image_height;
  out->channels = t->info.num_components == 1 ? 1 : 3;
  out->bytes_per_channel = 1;
  turbo_destroy(t);
  // as for stb's pictures: every layout a caller may ask for fits the libraries' int sizes
  if (out->width == 0 || out->height == 0 || out->width * out->height > CodecIntMax / 4) {
    codec_failure_set(&out->failure, DecodeRefused, "picture too large for the decoder");
    return false;
  }
  return true;
}

//~ Decode
// stb's conversion of inks to colour, which a viewer without the profile also shows: each
// channel's stored value scaled by the stored black, as an Adobe file stores them (255 no ink).
static u8 turbo_blinn(u8 x, u8 y) {
  u32 t = (u32)x * y + 128;
  return (u8)((t + (t >> 8)) >> 8);
}

CodecDecoded jpeg_turbo_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels, Str8 cmyk_profile) {
  CodecDecoded result = {};
  if (!turbo_input_fits(bytes) || channels < 1 || channels > 4 || width == 0 || height == 0 || width > 0xFFFF ||
      height > 0xFFFF || width * height > CodecIntMax / 4) {
    codec_failure_set(&result.failure, DecodeRefused, nullptr);
    return result;
  }
  TurboDecode state = {};
  TurboDecode *t = &state;
  if (setjmp(t->errors.escape)) {
    codec_failure_set(&result.failure, DecodeRefused, t->errors.reason);
    turbo_destroy(t);
    return result;
  }
  turbo_create(t, bytes);
  jpeg_read_header(&t->info, TRUE);
  jpeg_decompress_struct *info = &t->info;
  if (info->image_width != width || info->image_height != height) {
    turbo_refuse(t, "the picture decoded is not of the size its header gives");
  }
  info->mem->max_memory_to_use = turbo_memory_limit(width, height, (u64)info->num_components);

  // what the library hands over: inks (made colour here), grey (the luma plane, as stb gives a
  // colour picture asked for in grey), or colour
  bool inks = info->num_components == 4;
  bool inverted = info->saw_Adobe_marker != 0;
  if (inks && cmyk_profile.size > 0 && !color_cmyk_to_srgb(cmyk_profile, nullptr, 0, inverted, nullptr)) {
    turbo_refuse(t, "its CMYK profile cannot be used");
  }
  bool grey = info->jpeg_color_space == JCS_GRAYSCALE ||
              (channels <= 2 && info->jpeg_color_space == JCS_YCbCr && info->num_components == 3);
  u32 decoded = grey ? 1 : 3;
  info->out_color_space = inks ? JCS_CMYK : grey ? JCS_GRAYSCALE : JCS_RGB;

  jpeg_start_decompress(info);
  if (info->output_width != width || info->output_height != height) {
    turbo_refuse(t, "the picture decoded is not of the size its header gives");
  }
  u64 size = width * height * decoded;
  t->pixels = (u8 *)codec_heap_alloc(size);
  if (!t->pixels) turbo_refuse(t, "out of memory");
  if (!inks) {
    while (info->output_scanline < height) {
      JSAMPROW row = t->pixels + (u64)info->output_scanline * width * decoded;
      jpeg_read_scanlines(info, &row, 1);
    }
  } else {
    // a few megabytes of ink rows at a time, each batch made colour into its place
    u64 batch = clamp_of<u64>(1, mib(4) / (width * 4), height);
    t->inks = (u8 *)codec_heap_alloc(batch * width * 4);
    if (!t->inks) turbo_refuse(t, "out of memory");
    while (info->output_scanline < height) {
      u64 first = info->output_scanline, rows = min_of(batch, height - first);
      for (u64 r = 0; r < rows; r += 1) {
        JSAMPROW row = t->inks + r * width * 4;
        jpeg_read_scanlines(info, &row, 1);
      }
      u8 *rgb = t->pixels + first * width * 3;
      u64 count = rows * width;
      if (cmyk_profile.size > 0) {
        if (!color_cmyk_to_srgb(cmyk_profile, t->inks, count, inverted, rgb)) turbo_refuse(t, "its CMYK profile cannot be used");
      } else {
        for (u64 i = 0; i < count; i += 1) {
          const u8 *p = t->inks + i * 4;
          rgb[i * 3] = turbo_blinn(p[0], p[3]);
          rgb[i * 3 + 1] = turbo_blinn(p[1], p[3]);
          rgb[i * 3 + 2] = turbo_blinn(p[2], p[3]);
        }
      }
    }
  }
  // Every row is read; what follows the picture (the rest of a file past its last scan) is
  // not read, so nothing there fails a picture already whole.
  Str8 pixels = {t->pixels, size};
  t->pixels = nullptr;
  turbo_destroy(t);

  if (channels < decoded) pixels = codec_narrow_heap(pixels, decoded, channels, width * height);
  if (channels > decoded) {
    Str8 wide = codec_expand_heap(pixels, decoded, channels, width * height);
    if (wide.size == 0) {
      codec_heap_release(pixels.str);
      codec_failure_set(&result.failure, DecodeRefused, "out of memory");
      return result;
    }
    pixels = wide;
  }
  result.pixels = pixels;
  result.width = width;
  result.height = height;
  return result;
}
