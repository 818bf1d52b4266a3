// PNG: its signature, completeness, frames and the tags a viewer applies, read from its chunks
// without decoding; the zlib step of its writer (libdeflate behind stb_image_write, which calls
// the hook); and its entry in the format table. The decoder and the writer themselves are
// stb's (image_stb). Nothing is kept between calls: any number of threads read and write at
// once.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"
#include "convert/image/image_metadata.h"

//~ Reading
constexpr u8 PngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// The input begins with the whole PNG signature.
bool codec_starts_as_png(Str8 bytes);
// False for a PNG cut inside its end chunk: the decoder never reads that chunk's checksum, so
// a file whose writer paused there would otherwise convert half-written.
bool codec_png_complete(Str8 bytes);
// The orientation of its eXIf chunk and the profile of its iCCP chunk (inflated into the
// arena), the first of each; a chunk is read only when it lies whole inside the file.
CodecPhotoTags png_photo_tags(Arena *arena, Str8 bytes);
// An APNG's frame count, from its acTL chunk before the image data; 1 for a still PNG.
u64 png_frames(Str8 bytes);

// Its eXIf chunk, its iTXt XMP packet (inflated into the arena when compressed) and its
// iCCP profile, the first of each lying whole inside the file before IEND.
ImageMetadata png_metadata(Arena *arena, Str8 bytes);
// The largest XMP text inflated.
constexpr u64 PngTextMax = mib(16);

//~ Writing
// The zlib compression hook that stb_image_write calls for PNG image data (libdeflate behind
// it). Returns a buffer of the image libraries' heap (image_heap.h), which the encoder
// releases, or null on failure. Safe on any number of threads at once: nothing survives
// between calls.
unsigned char *zlib_compress_hook(unsigned char *data, int length, int *out_length, int level);

// Adds the blocks of `kept` to the PNG the sink holds: iCCP, eXIf and an iTXt XMP after its
// header chunk. A PNG has no place for IPTC: that block is emptied in *kept. False when the sink
// holds no PNG.
bool png_embed(EncodeSink *sink, ImageMetadata *kept);

// Packed rows of 1 to 4 components, whose filtered size the caller checked, as one PNG file at
// the sink's cursor; stb_image_write's PNG writer gives the same bytes.
bool png_encode(EncodeSink *sink, const u8 *pixels, u64 width, u64 height, u32 components, int level);

//~ Entry
extern const ImageFormat FormatPng;
