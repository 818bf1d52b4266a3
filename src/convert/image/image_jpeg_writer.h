// The image library's JPEG writer. Its files are, byte for byte, those stb_image_write's
// JPEG writer makes from the same pixels and quality, so that outputs do not change with the
// writer that made them: the same float colour conversion, chroma subsampled at quality 90 and
// below, edges replicated to whole blocks, the same float DCT with its operations in the same
// order (the module is compiled without contraction into fused multiply-adds), the same
// rounding, quantiser steps, standard Huffman tables and headers. The speed comes from doing
// four rows or columns of a block at once in SSE2 lanes and from writing the entropy-coded data
// as whole 64-bit words straight into the sink's buffer.
//
// Keeps nothing between calls: any number of threads write at once.
#pragma once

#include "base/base.h"
#include "convert/image/image_sink.h"
#include "convert/image/image_metadata.h"

//~ Writing
// Packed rows of width × components bytes, top row first: 1 grey, 2 grey and alpha, 3 RGB,
// 4 RGBA (alpha is not written; grey is written as colour with neutral chroma). Quality as
// stb_image_write takes it: 0 stands for 90, anything else is held to 1..100. Appends the
// file at the sink's cursor and moves the cursor past it. False, writing nothing, for a side
// of 0 or over 65535 or a component count outside 1..4; the caller has checked that the rows
// lie in its buffer.
bool jpeg_encode(EncodeSink *sink, const u8 *pixels, u64 width, u64 height, u32 components, int quality);

//~ Kept metadata
// Puts the blocks of `kept` into the JPEG the sink holds, after its start-of-image marker and
// its JFIF segment, as other writers place them: APP1 Exif, APP1 XMP, APP2 ICC (split over as
// many segments as it needs), APP13 IPTC. A block too large for its segments is left out and
// emptied in *kept. True unless the sink holds no JPEG.
bool jpeg_embed(EncodeSink *sink, ImageMetadata *kept);
