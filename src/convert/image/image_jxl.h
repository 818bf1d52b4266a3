// JPEG XL through libjxl: decoding (the first frame of an animation, a recompressed JPEG's
// pixels) and encoding, lossy and lossless, and its entry in the format table. The only module
// that calls that library. Every call works on the caller's buffers and keeps nothing; the
// library runs on the calling thread alone (no runner of its own threads), so its output is the
// same bytes on every run.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"
#include "convert/image/image_sink.h"
#include "convert/image/image_metadata.h"

//~ Reading
// A bare codestream begins FF 0A; a container with its 12-byte signature box.
constexpr u64 JxlCodestreamSignatureSize = 2;
constexpr u64 JxlContainerSignatureSize = 12;
bool jxl_starts_as(Str8 bytes);
// Whole when the decoder, told the input ends there, reaches the end of the last frame without
// asking for more; a container's boxes must also end with the file.
bool jxl_complete(Str8 bytes);
// The size (as stored, before the header's orientation), channels and bit depth of the basic
// info, and an animation's frames counted by walking their headers, without decoding.
bool jxl_probe(Str8 bytes, CodecProbe *out);
// The header's orientation and the colour profile of the pixels the decoder gives (a picture
// stored in XYB is asked for in sRGB), copied into the arena.
CodecPhotoTags jxl_photo_tags(Arena *arena, Str8 bytes);
// A container's first Exif box (its offset to the TIFF header skipped) and first "xml " box,
// uncompressed and lying whole inside the file (views into `bytes`), and the profile.
ImageMetadata jxl_metadata(Arena *arena, Str8 bytes);
// The first frame at `channels` 8-bit channels, as stored (not turned), in a buffer of the
// image libraries' heap; empty, with the library's reason, when it is not width × height or
// cannot be decoded.
CodecDecoded jxl_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels);

//~ Writing
// The distance libjxl's encoder aims at for a quality of 1..100, as cjxl and libvips map it.
f32 jxl_distance_of_quality(int quality);
// Packed rows of 1 to 4 channels, in sRGB; quality 1..100, or lossless (every sample kept).
bool jxl_encode(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                bool lossless);
// The same file with the blocks of `kept`: its profile in the header (the pixels then stand
// in it), its Exif and XMP in boxes of a container. JPEG XL has no place for IPTC: that block
// is emptied in *kept.
bool jxl_encode_kept(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                     bool lossless, ImageMetadata *kept);

//~ Entry
extern const ImageFormat FormatJxl;
