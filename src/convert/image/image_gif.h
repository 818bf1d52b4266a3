// GIF through giflib: its block structure walked here (completeness, the logical screen, the
// first frame's place and transparency, the frame count), its first frame decoded by the
// library from memory and composed on the screen, and its entry in the format table. Read,
// never written. The only module that calls that library. Every call works on the caller's
// buffers and keeps nothing.
#pragma once

#include "base/base.h"
#include "convert/image/image_format.h"

//~ Reading
// "GIF87a" or "GIF89a".
constexpr u64 GifSignatureSize = 6;
bool gif_starts_as(Str8 bytes);
// Whole when its blocks, walked from the screen descriptor, reach the trailer (bytes after it do
// not matter), or meet a byte that begins no block: browsers take that as the end of the file,
// and such a file is not being written. A file still being written ends inside a block.
bool gif_complete(Str8 bytes);
// The picture's size (the logical screen's; the first frame's when that frame is larger than
// the screen, as browsers show such files), 4 channels when the first frame has a transparent
// colour or leaves part of the screen uncovered, else 3, and the frame count, all read from the
// blocks without decoding.
bool gif_probe(Str8 bytes, CodecProbe *out);
// GIF carries no orientation; a profile in an application extension is not read.
CodecPhotoTags gif_photo_tags(Arena *arena, Str8 bytes);
// The first frame composed on the picture at `channels` 8-bit channels, in a buffer of the
// image libraries' heap: the frame at its place (de-interlaced, clipped to the picture), its
// transparent colour and the rest of the screen transparent black. Empty, with the library's
// reason, when it is not width × height or cannot be decoded.
CodecDecoded gif_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels);

//~ Entry
extern const ImageFormat FormatGif;
