// JPEG: its markers and segments walked without decoding: its signature, completeness, the
// scans a decode would make, whether its entropy-coded data can hold the picture its header
// declares, and the tags a viewer applies; and its entry in the format table. The decoder is
// stb's (image_stb), with libjpeg-turbo's (image_jpeg_turbo) for what stb refuses and for CMYK
// pictures with a CMYK profile; the writer is our own (image_jpeg_writer). Nothing is kept
// between calls: any number of threads read at once.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"
#include "convert/image/image_metadata.h"

//~ Reading
// The JPEG markers read here, in one place.
constexpr u8 JpegMarkerPrefix = 0xFF;
constexpr u8 JpegStartOfImage = 0xD8;
constexpr u8 JpegEndOfImage = 0xD9;
constexpr u8 JpegStartOfScan = 0xDA;
// The input begins with a JPEG start-of-image marker.
bool codec_starts_as_jpeg(Str8 bytes);
// False for a JPEG cut short: the decoder fills a missing end in silently, so a file whose
// writer paused there would otherwise convert half-written.
bool codec_jpeg_complete(Str8 bytes);

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

// The offset of the frame header (SOFn: C0..CF but the table and restart markers C4, C8 and
// CC), which gives the picture's size, precision, components and coding process; bytes.size
// when the segments before the first scan hold none. Its marker and length lie inside the
// bytes, the rest of it may not.
u64 jpeg_find_frame(Str8 bytes);
// False when a Huffman-coded picture's entropy-coded data ends before the blocks its frame
// header declares (the decoder would fill the rest in without a word); true for whatever it
// does not judge (arithmetic coding, a header the decoder refuses), which is left to the
// decoder.
bool jpeg_data_holds_picture(Str8 bytes);
// The orientation of the first APP1 "Exif" segment and the profile of the APP2 "ICC_PROFILE"
// segments, joined in sequence order (in the arena, or pointing into `bytes` when one segment
// holds it whole), from the segments before the first scan that lie whole inside the file.
CodecPhotoTags jpeg_photo_tags(Arena *arena, Str8 bytes);

// The first APP1 "Exif" block, the first APP1 XMP packet, the IPTC of the first APP13
// Photoshop segment and the joined ICC profile, each from a segment that lies whole inside the
// file before the first scan; views into `bytes` but a joined profile.
ImageMetadata jpeg_metadata(Arena *arena, Str8 bytes);

//~ Entry
extern const ImageFormat FormatJpeg;
