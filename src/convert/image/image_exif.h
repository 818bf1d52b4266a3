// What a viewer applies, as the formats carry it: the EXIF orientation of a TIFF structure (a
// JPEG's APP1 segment, a PNG's eXIf chunk, a WebP's EXIF chunk hold one) and a colour profile
// split over a JPEG's APP2 segments, joined. Every read stays inside the bytes it is given and
// nothing is kept, so any thread reads at once.
#pragma once

#include "base/base.h"

//~ EXIF orientation
// The orientation tag of a TIFF structure (an EXIF block without its "Exif" prefix): 1 when
// there is none that can be read within `tiff`.
u32 codec_tiff_orientation(Str8 tiff);
// What a JPEG's APP1 segment holds before its TIFF structure.
constexpr u8 ExifPrefix[6] = {'E', 'x', 'i', 'f', 0, 0};

//~ ICC profile pieces
// What a JPEG's APP2 segment holds before a piece's sequence number, count and bytes.
constexpr u8 IccPrefix[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
// A profile split over APP2 segments is joined only when every piece from 1 to the count they
// all declare is there exactly once.
struct IccPieces {
  Str8 piece[256];
  u32 count;
  bool damaged;
};
// Takes one segment's payload: IccPrefix, the piece's sequence number and the count, its
// bytes. Pieces come in any order.
void icc_piece_add(IccPieces *p, Str8 payload);
// The profile, in the arena or, when one piece holds it whole, pointing into that piece;
// empty when a piece is missing or the pieces are damaged.
Str8 icc_pieces_join(Arena *arena, const IccPieces *p);
