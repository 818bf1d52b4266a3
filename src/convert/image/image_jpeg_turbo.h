// libjpeg-turbo behind one adapter, the only module that includes its headers: the second
// JPEG decoder, for the files stb's refuses (arithmetic coding, stray bytes before a marker,
// an APP segment shorter than its length field, restart oddities), and for CMYK and YCCK
// pictures whose embedded CMYK profile gives their inks' colours. stb stays the decoder of
// every file it reads, so those keep its pixels.
//
// Every call decodes from the caller's bytes with an error manager of its own, which keeps
// the library's words as the failure's reason and never prints: any number of threads call at
// once. The library's memory is bounded by what the picture its header declares needs; its
// warnings that mean pixels were made up (data that ends or is corrupt) fail the decode, the
// others (stray bytes passed over, an unknown Adobe transform) do not.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"

// The header as libjpeg reads it: the size, 1 channel for a grey picture and 3 for any other
// (CMYK and YCCK are shown in colour). False, with the library's reason, for a header it
// refuses (12-bit samples, lossless or hierarchical coding, damage) and for a picture whose
// largest decode would not fit in 2^31 - 1 bytes.
bool jpeg_turbo_probe(Str8 bytes, CodecProbe *out);

// The picture at `channels` 8-bit channels in a buffer of the image libraries' heap, as
// codec_decode_8_heap gives it (grey is the luma plane, alpha opaque). A 4-component picture
// becomes sRGB through `cmyk_profile`, its CMYK profile, with Adobe's inverted inks when it
// has an Adobe marker; without one, or when lcms2 refuses it, `cmyk_profile` empty gives
// stb's own conversion of inks to colour, and a non-empty one that cannot be used fails.
CodecDecoded jpeg_turbo_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels, Str8 cmyk_profile);
