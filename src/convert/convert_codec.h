// Codec and checksum adapters: decoding (stb_image, PNG and JPEG only), resampling
// (stb_image_resize2), encoding (PNG through stb_image_write, with libdeflate behind its zlib
// step; JPEG through convert_jpeg, which writes stb_image_write's bytes) and the pixel
// checksums (the base layer's BLAKE2b-128). Only this module calls the image libraries;
// src/third_party compiles them, with their allocations going to convert_heap and the PNG
// encoder's deflate step to the hook of convert_zlib_hook.h.
//
// Every call works on the caller's buffers and keeps nothing between calls, so any number of
// threads use the adapters at once. The one shared setting, the PNG compression level, is
// written once at set-up before any conversion runs.
//
// Input is hostile until proven otherwise: a probe fails unless every buffer that a decode of
// the image needs has a size that fits the libraries' int arithmetic, decodes must return the
// probed dimensions, a decode may hold no more memory than its picture needs, and no adapter
// writes past a buffer whose size it was given.
#pragma once

#include "base/base.h"
#include "convert/image/image.h"

//~ Decoding
//- why a probe or a decode failed
// Every probe and decode hands back its own reason with its result: nothing of one decode's
// failure is left behind for the next one to report.
enum DecodeFailure : u32 {
  DecodeOk = 0,
  DecodeRefused,    // the decoder cannot read the data (damaged, or a kind of file it does not read)
  DecodeOverBudget, // the data needs more memory than the picture's size allows
};
constexpr u64 CodecReasonMax = 96;
struct CodecFailure {
  u32 kind;                    // DecodeFailure
  char reason[CodecReasonMax]; // the library's own words, zero-terminated; empty when it gives none
};
// Sets the kind and copies the reason (null: none), cut to fit.
void codec_failure_set(CodecFailure *failure, u32 kind, const char *reason);
// A view of the reason (empty when there is none); it lives as long as *failure.
Str8 codec_failure_reason(const CodecFailure *failure);

struct CodecProbe {
  u64 width;
  u64 height;
  u32 channels;          // as stored in the file, 1 to 4
  u32 bytes_per_channel; // 2 for a 16-bit-per-channel source, else 1
  bool deep;             // stored at more than 8 bits a channel and decoded at 8 (a 10- or 12-bit HEIF)
  u64 frames;            // an animation's frames; 0 or 1: one picture; CodecFramesUncounted: several
  CodecFailure failure;  // why the probe failed, when it did
};

// An animation whose format does not tell its frame count without decoding it.
constexpr u64 CodecFramesUncounted = ~0ull;

// False for an empty or unrecognised input, a file of 2^31 bytes or more, or an image whose
// largest decode (4 channels at its own depth) would not fit in 2^31 - 1 bytes. For a picture
// refused for its size, *out still holds the size its header declares (and, when the decoder
// read the header, its channels and depth); otherwise a failure zeroes it but for its reason.
bool codec_probe(Str8 bytes, CodecProbe *out);

// The formats' signatures and the JPEG markers read here, in one place.
constexpr u8 PngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr u8 JpegMarkerPrefix = 0xFF;
constexpr u8 JpegStartOfImage = 0xD8;
constexpr u8 JpegEndOfImage = 0xD9;
constexpr u8 JpegStartOfScan = 0xDA;
// The input begins with a JPEG start-of-image marker / the whole PNG signature.
bool codec_starts_as_jpeg(Str8 bytes);
bool codec_starts_as_png(Str8 bytes);
bool codec_is_16_bit(Str8 bytes);
// False for a JPEG cut short (the decoder fills a missing end in silently) and for a PNG cut
// inside its end chunk (the decoder never reads that chunk's checksum), so a file whose writer
// paused there would otherwise convert half-written. Other inputs are left to the decoder.
bool codec_complete(Str8 bytes);
bool codec_jpeg_complete(Str8 bytes); // the rules of codec_complete, one format each
bool codec_png_complete(Str8 bytes);

// The scans of a JPEG's main picture, counted from its markers without decoding: segments are
// skipped whole (an embedded thumbnail's markers are never seen), entropy-coded data up to its
// next marker. The count ends at the end-of-image marker, at damage or where the bytes end; 0
// for an input that is not a JPEG.
u64 codec_jpeg_scans(Str8 bytes);
// A progressive encoder writes a handful of scans (ten for the usual colour progression, a few
// dozen where the scans were optimised), and each scan costs the decoder a pass over its
// components' coefficients of the whole picture: hundreds of repeated tiny scans turn a small
// file into minutes of decoding. No encoder's output comes near this many.
constexpr u64 JpegScanLimit = 256;

//- what a viewer applies
// What a viewer applies to a source's stored pixels before it shows them. Read from the bytes
// alone: a JPEG's APP1 "Exif" and APP2 "ICC_PROFILE" segments before its first scan, a PNG's
// eXIf and iCCP chunks. Every read stays inside its segment or chunk; a tag or profile that
// cannot be read whole counts as absent.
// Colour stated by numbers rather than by a profile (an ISO-BMFF `nclx` box): the primaries'
// and the white point's chromaticities, and the transfer characteristics' code of ITU-T H.273.
struct CodecPrimaries {
  f32 xy[8];    // red x, y, green x, y, blue x, y, white x, y; all 0 when not stated
  u32 transfer; // 13 the sRGB curve, 8 linear, 4 gamma 2.2, 5 gamma 2.8, ...
};
struct CodecPhotoTags {
  u32 orientation;  // the EXIF orientation, 1 to 8; 1 when absent, damaged or out of range
  Str8 icc_profile; // the embedded profile, its JPEG segments joined in sequence order; empty when absent
  CodecPrimaries primaries; // what the colours are when there is no profile
};
// The profile lives in the arena, or points into `bytes` when one segment holds it whole.
CodecPhotoTags codec_photo_tags(Arena *arena, Str8 bytes);
// The orientation tag of a TIFF structure (an EXIF block without its "Exif" prefix): 1 when
// there is none that can be read within `tiff`.
u32 codec_tiff_orientation(Str8 tiff);
// A profile larger than this is not read: the largest a JPEG's 255 segments can carry.
constexpr u64 CodecProfileMax = 255ull * 65519;

// A decode's pixels, or why there are none. Every decode runs within a budget of what its
// picture needs (its pixels, the decoder's working buffers for that size, a fixed margin): past
// it, the decode fails as DecodeOverBudget.
struct CodecDecoded {
  Str8 pixels;  // packed rows; empty on failure
  u64 width;    // of the picture decoded: the probed size, but where a format's decoder
  u64 height;   // applies a crop or a turn of its own (HEIF's clap and irot)
  CodecFailure failure;
};

// Decodes to `channels` (1 to 4) 8-bit channels per pixel into a packed buffer of
// width × height × channels bytes allocated from the arena. Empty when the decode fails or
// the image is not width × height. The decoder's own buffer is released before returning.
CodecDecoded codec_decode_8(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels);
// The same through the 16-bit decoder, each sample v reduced to (v + 128) / 257.
CodecDecoded codec_decode_16_to_8(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels);

// Whether the decoder's output at `to` channels equals its output at `from` channels put
// through its own conversion rules (codec_derive_8): true except for a colour JPEG made grey.
bool codec_derivable(Str8 bytes, u32 from, u32 to);
// `to` channels derived from a packed 8-bit picture of `from` channels by the decoder's rules.
Str8 codec_derive_8(Arena *arena, Str8 from_pixels, u32 from, u32 to, u64 pixel_count);
// A 16-bit source decoded once at its own `channels`: out[channels - 1] gets each sample v as
// (v + 128) / 257; every other layout flagged in `needed` gets exactly what the decoder's 8-bit
// output at that channel count would be. A failure (every out empty) says why.
CodecFailure codec_decode_16_layouts(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels,
                                     const bool needed[4], Str8 out[4]);

// The decoder's own buffer, no copy, for a caller that keeps it through an attempt: release it
// with codec_heap_free. Empty when the decode fails or the image is not width × height.
CodecDecoded codec_decode_8_heap(Str8 bytes, u64 width, u64 height, u32 channels);
void codec_heap_free(Str8 pixels);
// Narrows a buffer of the image libraries' heap from `from` to `to` channels (to < from) in
// place, by the decoder's rules; the buffer keeps its allocation. Empty on bad sizes.
Str8 codec_narrow_heap(Str8 pixels, u32 from, u32 to, u64 pixel_count);
// Widens a buffer of codec_decode_8_heap from `from` to `to` channels (to > from) in place, by
// the decoder's rules: the narrower picture is gone afterwards and the buffer may have moved.
// Empty on failure, with the original buffer still valid.
Str8 codec_expand_heap(Str8 pixels, u32 from, u32 to, u64 pixel_count);

//~ Resampling
// An 8-bit picture: rows `stride` bytes apart inside `size` bytes.
struct CodecPicture {
  u8 *pixels;
  u64 size;
  u64 width;
  u64 height;
  u64 stride;
};

// Pixel layout 1..4 and filter 0..6 are the resampler's own numbers (1 one channel, 2 two
// independent channels, 3 RGB, 4 RGBA alpha-weighted; 0 default, 1 box, 2 triangle,
// 3 cubic B-spline, 4 Catmull-Rom, 5 Mitchell, 6 point sample), used on both axes. False,
// without touching the output, when a number is out of range or a picture does not fit its
// buffer; otherwise the resampler's result.
bool codec_resize(CodecPicture in, CodecPicture out, u32 pixel_layout, u32 filter);

//~ Encoding
// Set once at set-up, before any encoding.
void codec_set_png_compression_level(int level);

// Rows packed at width × components bytes inside `size` bytes. On success *sink->buffer
// holds the file; on failure it is empty (the encoders hand over no byte before failing).
bool codec_encode_png(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components);
bool codec_encode_jpeg(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components,
                       int quality);
// The same file through stb_image_write's own JPEG writer: what codec_encode_jpeg must give
// byte for byte, kept for the tests and benchmarks that hold the two side by side.
bool codec_encode_jpeg_stb(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components,
                           int quality);
