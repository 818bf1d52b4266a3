// TIFF through libtiff: reading only (a file's first page, in every layout and compression the
// library reads), and its entry in the format table. The only module that includes tiffio.h.
// Every call works on the caller's buffers and keeps nothing; the library's errors and warnings
// go to handlers of each open handle (its words become a failure's reason), never to the
// console, so any number of threads read at once.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"

//~ Reading
// "II*\0" or "MM\0*" (BigTIFF: "II+\0", "MM\0+").
constexpr u64 TiffSignatureSize = 4;
// A TIFF header, but not a camera's raw file built on TIFF's structure (a DNGVersion tag, CFA or
// linear raw data in the first page or its sub-images, a Canon CR2): those are no pictures of
// this format.
bool tiff_starts_as(Str8 bytes);
// A TIFF header on a camera's raw file: the files tiff_starts_as leaves to the raw format.
bool tiff_starts_as_camera_raw(Str8 bytes);
// Every page's directory lies inside the file, and so do the first page's tag values and every
// strip or tile it declares: a file still being written is shorter.
bool tiff_complete(Str8 bytes);
// tiff_complete, and every sub-image of the first page (where cameras keep their raw data)
// lies whole inside the file with every strip or tile it declares.
bool tiff_raw_complete(Str8 bytes);
// The first page's size and channels (grey 1, colour, palette and CMYK 3, one more with alpha),
// `deep` for more than 8 bits a sample, and the pages as frames; false, with the library's
// reason, for a page it cannot read.
bool tiff_probe(Str8 bytes, CodecProbe *out);
// The first page's orientation tag and ICC profile tag (a view into `bytes`), each read only
// when it lies whole inside the file.
CodecPhotoTags tiff_photo_tags(Arena *arena, Str8 bytes);
// The first page at `channels` 8-bit channels in a buffer of the image libraries' heap: 16-bit
// samples reduced as (v + 128) / 257, premultiplied alpha divided out, CMYK converted through
// its profile (else by its inks alone); empty, with the library's reason, when it cannot be
// read or is not width × height.
CodecDecoded tiff_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels);

//~ Entry
extern const ImageFormat FormatTiff;
