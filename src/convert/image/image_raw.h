// Camera raw files through LibRaw: reading only, developed into an 8-bit sRGB picture with the
// camera's white balance and its own colour matrix, and their entry in the format table. The
// only module that includes LibRaw's headers. Each call opens its own LibRaw object on the
// caller's bytes and frees it before returning; the library's complaints go to that object's
// own handlers (they become a failure's reason), never to the console, so any number of
// threads develop at once.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"

//~ Reading
// Told by content: a TIFF-structured raw file (a DNG, Canon CR2, Nikon NEF, Sony ARW, Pentax
// PEF: see tiff_starts_as_camera_raw), a Fujifilm RAF ("FUJIFILMCCD-RAW"), an Olympus ORF
// ("IIRO", "IIRS", "MMOR"), a Panasonic RW2 ("IIU\0") or a Canon CR3 (an ISO BMFF file of brand
// "crx ").
bool raw_starts_as(Str8 bytes);
// Every byte the raw data needs lies inside the file: for TIFF-structured files every directory
// and every strip or tile of the first page and its sub-images, for a RAF the blocks its header
// points at, for a CR3 every top-level box; then the data LibRaw locates.
bool raw_complete(Str8 bytes);
// The developed picture's size (three channels, stored deeper than 8 bits); false, with the
// library's reason, for a file it cannot read or a sensor of absurd size.
bool raw_probe(Str8 bytes, CodecProbe *out);
// The camera's orientation as an EXIF one; the pixels are developed as stored, so our own turn
// applies it. No profile: the picture is developed into sRGB.
CodecPhotoTags raw_photo_tags(Arena *arena, Str8 bytes);
// The developed picture at `channels` 8-bit channels in a buffer of the image libraries' heap;
// empty, with the library's reason, when any of the raw data is missing or cannot be decoded.
CodecDecoded raw_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels);
// The library's version ("0.20.2").
const char *raw_library_version();

//~ Entry
extern const ImageFormat FormatRaw;
