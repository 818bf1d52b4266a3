// stb's image libraries behind one adapter, the only module that includes their headers:
// decoding PNG and JPEG (stb_image), with the probe, the completeness rule and the tags reader
// those two formats share; deriving every layout from one decode; resampling
// (stb_image_resize2); and encoding, PNG through image_png's writer and JPEG through
// image_jpeg_writer, each of which writes stb_image_write's own bytes. src/third_party compiles the libraries, their allocations going to image_heap.
//
// Every call works on the caller's buffers and keeps nothing between calls, so any number of
// threads use the adapter at once. The one shared setting, the PNG compression level, is
// written once at set-up before any conversion runs.
//
// Input is hostile until proven otherwise: a probe fails unless every buffer that a decode of
// the image needs has a size that fits the libraries' int arithmetic, decodes must return the
// probed dimensions, a decode may hold no more memory than its picture needs, and no adapter
// writes past a buffer whose size it was given.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"
#include "convert/image/image_sink.h"

// The libraries count bytes, widths and strides in int.
constexpr u64 CodecIntMax = 0x7FFFFFFFull;

//~ The formats it reads
// PNG and JPEG, each told by its signature: one probe, one completeness rule and one tags
// reader serve both formats' entries.

// False for an empty or unrecognised input, a file of 2^31 bytes or more, or an image whose
// largest decode (4 channels at its own depth) would not fit in 2^31 - 1 bytes. For a picture
// refused for its size, *out still holds the size its header declares (and, when the decoder
// read the header, its channels and depth); otherwise a failure zeroes it but for its reason.
bool codec_probe(Str8 bytes, CodecProbe *out);
bool codec_is_16_bit(Str8 bytes);
// False for a JPEG cut short (the decoder fills a missing end in silently) and for a PNG cut
// inside its end chunk (the decoder never reads that chunk's checksum), so a file whose writer
// paused there would otherwise convert half-written. Other inputs are left to the decoder.
bool codec_complete(Str8 bytes);
// What a viewer applies: a JPEG's APP1 "Exif" and APP2 "ICC_PROFILE" segments before its
// first scan, a PNG's eXIf and iCCP chunks. The profile lives in the arena, or points into
// `bytes` when one segment holds it whole.
CodecPhotoTags codec_photo_tags(Arena *arena, Str8 bytes);

//~ Decoding
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
// A decoder's buffer of the image libraries' heap in `to` channels: as it is, narrowed or
// widened. Empty on failure, with the buffer released.
Str8 codec_relayout_heap(Str8 pixels, u32 from, u32 to, u64 pixel_count);

//~ Resampling
// An 8-bit picture: rows `stride` bytes apart inside `size` bytes.
struct CodecPicture {
  u8 *pixels;
  u64 size;
  u64 width;
  u64 height;
  u64 stride;
};

// Pixel layout 1..4, filter 0..6 and edge mode 0..3 are the resampler's own numbers (1 one
// channel, 2 two independent channels, 3 RGB, 4 RGBA alpha-weighted; 0 default, 1 box,
// 2 triangle, 3 cubic B-spline, 4 Catmull-Rom, 5 Mitchell, 6 point sample; 0 clamp, the
// resampler's own default, 1 reflect, 2 wrap, 3 zero), used on both axes. False, without
// touching the output, when a number is out of range or a picture does not fit its buffer;
// otherwise the resampler's result.
bool codec_resize(CodecPicture in, CodecPicture out, u32 pixel_layout, u32 filter, u32 edge);

//~ Encoding
// Set once at set-up, before any encoding.
void codec_set_png_compression_level(int level);

// Rows packed at width × components bytes inside `size` bytes. On success *sink->buffer
// holds the file; on failure it is empty (the encoders hand over no byte before failing).
bool codec_encode_png(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components);
// The same file through stb_image_write's own PNG writer, kept for the tests and benchmarks.
bool codec_encode_png_stb(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components);
bool codec_encode_jpeg(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components,
                       int quality);
// The same file through stb_image_write's own JPEG writer: what codec_encode_jpeg must give
// byte for byte, kept for the tests and benchmarks that hold the two side by side.
bool codec_encode_jpeg_stb(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components,
                           int quality);
