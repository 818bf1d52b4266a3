// HEIF (HEVC pictures) and AVIF (AV1 pictures) through libheif: reading the primary picture
// (its own turn and mirror applied, as the format demands) and writing AVIF, and the two
// formats' entries in the format table. The only module that calls that library. Every call
// works on the caller's buffers and keeps nothing.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"
#include "convert/image/image_sink.h"
#include "convert/image/image_metadata.h"

//~ Reading
// A box size, "ftyp" and the major brand.
constexpr u64 HeifSignatureSize = 12;
// An ISO-BMFF file whose ftyp box names an AVIF brand (avif, avis) / a HEIF one (heic, heix,
// mif1, msf1, hevc) and no AVIF one.
bool heif_starts_as_avif(Str8 bytes);
bool heif_starts_as_heif(Str8 bytes);
// The top-level boxes reach exactly the end of the file: one still being written is shorter.
bool heif_complete(Str8 bytes);
// The primary picture's size as its header gives it, channels (4 with alpha, else 3), depth and
// whether the file is a sequence, read from the boxes without decoding; the library's reason
// when it cannot read them.
bool heif_probe(Str8 bytes, CodecProbe *out);
// The primary picture's colour profile, or the primaries and curve of its nclx colour box
// when it has no profile, in `arena`. Its orientation is always 1: the decoder applies the
// format's own turn and mirror, and an EXIF orientation would turn it again.
CodecPhotoTags heif_photo_tags(Arena *arena, Str8 bytes);
// The primary picture's Exif and XMP blocks and colour profile, in `arena`.
ImageMetadata heif_metadata(Arena *arena, Str8 bytes);
// The primary picture at `channels` 8-bit channels, in a buffer of the image libraries' heap,
// cropped, turned and mirrored as the file says, so at most width × height pixels but not
// always of that shape; empty, with the library's reason, when it cannot be decoded.
CodecDecoded heif_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels);

//~ Writing
// An AVIF of packed rows of 1 to 4 channels (grey is written as colour); quality 1..100, or
// lossless.
bool heif_encode_avif(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                      bool lossless);

// The same, with the blocks of `kept` (null: none) in the file: its colour profile, Exif and
// XMP items. A block the library refuses, and IPTC, for which the format has no place, are
// emptied in *kept.
bool heif_encode_avif_kept(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                           int quality, bool lossless, ImageMetadata *kept);

//~ Entries
extern const ImageFormat FormatAvif;
extern const ImageFormat FormatHeif;
