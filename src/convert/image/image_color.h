// Colour conversion to sRGB: Little CMS 2 behind it, and this module the only one that calls
// that library. A source whose embedded profile is not sRGB gets its outputs converted after
// resampling, with the perceptual intent; the outputs carry no profile, so what a viewer
// assumes (sRGB) is then what they hold.
//
// Each thread keeps the transforms of the last profile it met, since a camera's photos share
// one: a conversion belongs to the thread that asked for it.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"

struct ColorConversion;

// The conversion of pictures in `profile` to sRGB for the calling thread, or null when their
// numbers are kept: no profile, a profile of another colour space than RGB (a grey one
// included), one the library refuses, or one that is sRGB already (converting changes no
// number by more than one level). Valid until the thread's next call.
ColorConversion *color_to_srgb(Str8 profile);
// The same for pictures whose colours are stated by primaries and a transfer code instead of
// a profile. Primaries not stated, or those of sRGB itself (BT.709), keep their numbers,
// whatever the curve; a curve this module does not model (BT.709's camera curve, PQ, HLG) is
// taken as sRGB's, as viewers show such pictures.
ColorConversion *color_to_srgb_from_primaries(const CodecPrimaries *primaries);

// Converts `height` rows of `width` pixels of `channels` (1 grey, 2 grey and alpha, 3 RGB,
// 4 RGBA) from `in` to `out`, which may be the same rows. Alpha is kept. Grey goes along the
// neutral axis: each level becomes the grey (by the decoder's luma weights) of its colour
// converted, which is what a grey picture derived from the colours would hold.
void color_convert(ColorConversion *conversion, const u8 *in, u64 in_stride, u8 *out, u64 out_stride, u64 width,
                   u64 height, u32 channels);

// Converts `count` CMYK pixels (4 bytes each, 0 no ink, 255 full ink; `inverted`: Adobe's
// convention, 255 no ink) through `profile`, a CMYK profile, into `rgb` (3 bytes each), with
// the perceptual intent. False, and `rgb` untouched, when the profile is not a CMYK one or
// the library refuses it: the caller then keeps its own conversion. Any thread may call it;
// the transform is the calling thread's, kept while the profile stays the same.
bool color_cmyk_to_srgb(Str8 profile, const u8 *cmyk, u64 count, bool inverted, u8 *rgb);

// A compact sRGB profile (the library's own, saved once), for outputs whose colours were
// converted and keep their profile; empty when it cannot be made. Any thread reads it.
Str8 color_srgb_profile();
