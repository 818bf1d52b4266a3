#include <lcms2.h>

#include "convert/image/image_color.h"
#include "convert/image/image_stats.h"

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

// The thread's conversion for the profile `digest` names, which `open` makes when the thread
// last met another one.
template <typename F> static ColorConversion *conversion_for(U128 digest, F open) {
  ColorConversion *c = &t_conversion;
  if (!(c->known && u128_equal(c->profile_digest, digest))) {
    conversion_clear(c);
    c->known = true;
    c->profile_digest = digest;
    c->keep = true;
    c->source = open();
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

ColorConversion *color_to_srgb(Str8 profile) {
  if (profile.size == 0 || profile.size > 0xFFFFFFFFull) return nullptr;
  return conversion_for(codec_blake2b128(profile.str, profile.size),
                        [&] { return cmsOpenProfileFromMem(profile.str, (cmsUInt32Number)profile.size); });
}

// ITU-T H.273's codes of the curves modelled here
enum : u32 { TransferGamma22 = 4, TransferGamma28 = 5, TransferLinear = 8 };

ColorConversion *color_to_srgb_from_primaries(const CodecPrimaries *p) {
  const f32 *xy = p->xy;
  for (u32 i = 0; i < 8; i += 1) {
    if (!(xy[i] > 0.0f && xy[i] < 1.0f)) return nullptr; // not stated, or no chromaticity
  }
  // BT.709's primaries and white are sRGB's (to the third decimal the box gives)
  const f32 Bt709[8] = {0.640f, 0.330f, 0.300f, 0.600f, 0.150f, 0.060f, 0.3127f, 0.3290f};
  bool srgb = true;
  for (u32 i = 0; i < 8; i += 1) srgb &= xy[i] > Bt709[i] - 0.001f && xy[i] < Bt709[i] + 0.001f;
  // A power curve is sRGB's when it is the 2.2 that encoders write beside sRGB's primaries
  // (a PNG's gAMA of 45455), as browsers take it.
  bool power = p->transfer == TransferPower;
  if (power && !(p->gamma > 0.05f && p->gamma < 20.0f)) return nullptr;
  if (srgb && (!power || (p->gamma > 2.178f && p->gamma < 2.222f))) return nullptr;
  u32 key[10];
  memcpy(key, xy, sizeof(f32) * 8);
  key[8] = p->transfer;
  memcpy(&key[9], &p->gamma, sizeof(f32));
  return conversion_for(codec_blake2b128(key, sizeof(key)), [&]() -> cmsHPROFILE {
    cmsToneCurve *curve = nullptr;
    if (p->transfer == TransferGamma22 || p->transfer == TransferGamma28 || p->transfer == TransferLinear) {
      curve = cmsBuildGamma(nullptr, p->transfer == TransferLinear ? 1.0 : p->transfer == TransferGamma22 ? 2.2 : 2.8);
    } else if (p->transfer == TransferPower) {
      curve = cmsBuildGamma(nullptr, p->gamma);
    } else {
      // sRGB's curve: ((v + 0.055) / 1.055)^2.4 above 0.04045, v / 12.92 below
      const cmsFloat64Number srgb_curve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
      curve = cmsBuildParametricToneCurve(nullptr, 4, srgb_curve);
    }
    if (!curve) return nullptr;
    cmsCIExyY white = {xy[6], xy[7], 1.0};
    cmsCIExyYTRIPLE primaries = {{xy[0], xy[1], 1.0}, {xy[2], xy[3], 1.0}, {xy[4], xy[5], 1.0}};
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    return profile;
  });
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

//~ CMYK
// The thread's CMYK transforms: one for each convention, of the last profile met.
struct CmykConversion {
  U128 profile_digest;
  bool known;
  cmsHPROFILE source;
  cmsHTRANSFORM transform[2]; // [inverted]
};

static thread_local CmykConversion t_cmyk;

static void cmyk_clear(CmykConversion *c) {
  for (cmsHTRANSFORM t : c->transform) {
    if (t) cmsDeleteTransform(t);
  }
  if (c->source) cmsCloseProfile(c->source);
  *c = CmykConversion{};
}

bool color_cmyk_to_srgb(Str8 profile, const u8 *cmyk, u64 count, bool inverted, u8 *rgb) {
  if (profile.size == 0 || profile.size > 0xFFFFFFFFull) return false;
  CmykConversion *c = &t_cmyk;
  U128 digest = codec_blake2b128(profile.str, profile.size);
  if (!(c->known && u128_equal(c->profile_digest, digest))) {
    cmyk_clear(c);
    c->known = true;
    c->profile_digest = digest;
    c->source = cmsOpenProfileFromMem(profile.str, (cmsUInt32Number)profile.size);
    if (c->source && cmsGetColorSpace(c->source) != cmsSigCmykData) {
      cmsCloseProfile(c->source);
      c->source = nullptr;
    }
  }
  if (!c->source) return false;
  cmsHTRANSFORM &t = c->transform[inverted ? 1 : 0];
  if (!t) {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    if (!srgb) return false;
    // lcms2's CMYK is 0 for no ink; its "reversed" layout is the inverted one
    t = cmsCreateTransform(c->source, inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    cmsCloseProfile(srgb);
    if (!t) return false;
  }
  // in pieces, as the library counts pixels in 32 bits
  constexpr u64 Piece = 1u << 24;
  for (u64 at = 0; at < count; at += Piece) {
    u64 n = min_of(Piece, count - at);
    cmsDoTransform(t, cmyk + at * 4, rgb + at * 3, (cmsUInt32Number)n);
  }
  return true;
}

Str8 color_srgb_profile() {
  // made on the first call, which C++ makes one thread's while others wait
  static u8 bytes[8192];
  static const u64 size = [] {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsUInt32Number needed = 0;
    bool ok = srgb && cmsSaveProfileToMem(srgb, nullptr, &needed) && needed <= sizeof(bytes) &&
              cmsSaveProfileToMem(srgb, bytes, &needed);
    if (srgb) cmsCloseProfile(srgb);
    if (!ok || needed < 128) return (u64)0;
    // lcms2 dates a profile it makes by the clock and names the system it was built for as its
    // platform: a fixed date (2000-01-01) and no platform keep every output that embeds it the
    // same bytes from one run, or one system, to the next. The profile ID, a digest over those
    // bytes, is left unset (zero), as the profile allows.
    const u8 date[12] = {0x07, 0xD0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
    memcpy(bytes + 24, date, sizeof(date));
    memset(bytes + 40, 0, 4);
    memset(bytes + 84, 0, 16);
    return (u64)needed;
  }();
  return Str8{bytes, size};
}
