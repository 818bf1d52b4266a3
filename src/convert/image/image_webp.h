// WebP through libwebp: decoding (with its demuxer, for the first frame of an animation) and
// encoding, lossy and lossless, and its entry in the format table. The only module that calls
// that library. Every call works on the caller's buffers and keeps nothing.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"
#include "convert/image/image_sink.h"
#include "convert/image/image_metadata.h"

//~ Reading
// "RIFF", the chunk's size, "WEBP".
constexpr u64 WebpSignatureSize = 12;
bool webp_starts_as(Str8 bytes);
// The RIFF chunk's size says where the file ends: a file still being written is shorter.
bool webp_complete(Str8 bytes);
// The size and channels the VP8, VP8L or VP8X header declares (4 with alpha, else 3), and an
// animation's frame count, read without decoding.
bool webp_probe(Str8 bytes, CodecProbe *out);
// The orientation in an EXIF chunk and the profile of an ICCP chunk (extended files carry
// them), each read only when the chunk lies whole inside the file. The profile points into
// `bytes`.
CodecPhotoTags webp_photo_tags(Arena *arena, Str8 bytes);
// Its EXIF (without a "Exif\0\0" some writers put first), XMP and ICCP chunks, the first of
// each lying whole inside the file; views into `bytes`.
ImageMetadata webp_metadata(Arena *arena, Str8 bytes);
// The picture (an animation's first frame) at `channels` 8-bit channels, in a buffer of the
// image libraries' heap; empty, with the library's reason, when it is not width × height or
// cannot be decoded.
CodecDecoded webp_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels);

//~ Writing
// Packed rows of 1 to 4 channels; grey is written as colour. Quality 1..100, or lossless.
bool webp_encode(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                 bool lossless);

// Makes the WebP the sink holds an extended one carrying the blocks of `kept`: VP8X, ICCP,
// the picture's chunks, EXIF, XMP. WebP has no place for IPTC: that block is emptied in *kept.
// False when the sink holds no whole WebP.
bool webp_embed(EncodeSink *sink, ImageMetadata *kept);

//~ Entry
extern const ImageFormat FormatWebp;
