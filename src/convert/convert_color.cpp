#include <lcms2.h>

#include "convert/convert_color.h"
#include "convert/convert_codec.h"

//~ Transforms
struct ColorConversion {
  U128 profile_digest; // of the profile these transforms are for
  bool known;          // profile_digest names a profile already looked at
  bool keep;           // that profile's pictures keep their numbers
  cmsHTRANSFORM rgb;
  cmsHTRANSFORM rgba;  // made when a picture with alpha first needs it
  cmsHPROFILE source;
  u8 grey[256];
};

static thread_local ColorConversion t_conversion;

static void conversion_clear(ColorConversion *c) {
  if (c->rgb) cmsDeleteTransform(c->rgb);
  if (c->rgba) cmsDeleteTransform(c->rgba);
  if (c->source) cmsCloseProfile(c->source);
  *c = ColorConversion{};
}

static cmsHTRANSFORM transform_to_srgb(cmsHPROFILE source, cmsUInt32Number format, cmsUInt32Number flags) {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  if (!srgb) return nullptr;
  cmsHTRANSFORM t = cmsCreateTransform(source, format, srgb, format, INTENT_PERCEPTUAL, flags);
  cmsCloseProfile(srgb);
  return t;
}

// Whether converting changes any number by more than one level, on a grid over the colour
// cube: an sRGB profile of another maker converts to about the numbers it was given.
static bool conversion_changes_numbers(cmsHTRANSFORM rgb) {
  constexpr u32 Levels = 16;
  u8 grid[Levels * Levels * Levels * 3];
  u8 converted[sizeof(grid)];
  u64 at = 0;
  for (u32 r = 0; r < Levels; r += 1) {
    for (u32 g = 0; g < Levels; g += 1) {
      for (u32 b = 0; b < Levels; b += 1) {
        grid[at++] = (u8)(r * 17), grid[at++] = (u8)(g * 17), grid[at++] = (u8)(b * 17);
      }
    }
  }
  cmsDoTransform(rgb, grid, converted, Levels * Levels * Levels);
  for (u64 i = 0; i < sizeof(grid); i += 1) {
    if (grid[i] > converted[i] + 1 || converted[i] > grid[i] + 1) return true;
  }
  return false;
}

ColorConversion *color_to_srgb(Str8 profile) {
  if (profile.size == 0 || profile.size > 0xFFFFFFFFull) return nullptr;
  ColorConversion *c = &t_conversion;
  U128 digest = codec_blake2b128(profile.str, profile.size);
  if (!(c->known && u128_equal(c->profile_digest, digest))) {
    conversion_clear(c);
    c->known = true;
    c->profile_digest = digest;
    c->keep = true;
    c->source = cmsOpenProfileFromMem(profile.str, (cmsUInt32Number)profile.size);
    if (c->source && cmsGetColorSpace(c->source) == cmsSigRgbData) {
      c->rgb = transform_to_srgb(c->source, TYPE_RGB_8, 0);
    }
    if (c->rgb && conversion_changes_numbers(c->rgb)) {
      c->keep = false;
      // the neutral axis, for grey pictures
      u8 levels[256 * 3], converted[256 * 3];
      for (u32 v = 0; v < 256; v += 1) levels[3 * v] = levels[3 * v + 1] = levels[3 * v + 2] = (u8)v;
      cmsDoTransform(c->rgb, levels, converted, 256);
      for (u32 v = 0; v < 256; v += 1) {
        const u8 *p = converted + 3 * v;
        c->grey[v] = (u8)((p[0] * 77u + p[1] * 150u + p[2] * 29u) >> 8);
      }
    }
  }
  return c->keep ? nullptr : c;
}

//~ Conversion
void color_convert(ColorConversion *c, const u8 *in, u64 in_stride, u8 *out, u64 out_stride, u64 width, u64 height,
                   u32 channels) {
  if (channels == 1 || channels == 2) {
    for (u64 y = 0; y < height; y += 1) {
      const u8 *from = in + y * in_stride;
      u8 *to = out + y * out_stride;
      for (u64 x = 0; x < width; x += 1) {
        to[x * channels] = c->grey[from[x * channels]];
        if (channels == 2) to[x * 2 + 1] = from[x * 2 + 1];
      }
    }
    return;
  }
  if (channels == 4 && !c->rgba) c->rgba = transform_to_srgb(c->source, TYPE_RGBA_8, cmsFLAGS_COPY_ALPHA);
  cmsHTRANSFORM t = channels == 4 ? c->rgba : c->rgb;
  if (!t) {
    for (u64 y = 0; y < height && in != out; y += 1) memmove(out + y * out_stride, in + y * in_stride, width * channels);
    return;
  }
  cmsDoTransformLineStride(t, in, out, (cmsUInt32Number)width, (cmsUInt32Number)height, (cmsUInt32Number)in_stride,
                           (cmsUInt32Number)out_stride, 0, 0);
}
