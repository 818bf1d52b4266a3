// Kept metadata: the EXIF, XMP, IPTC and colour profile blocks a source carries, read by each
// format's own reader (its entry's `metadata`), cut down to what an output keeps, and written
// by each format's encoder where the format has a place for them (its entry's `encode_kept`).
// Editing is our own code: an EXIF block is a TIFF structure rewritten from its directories,
// never copied with offsets it no longer means; a block that cannot be parsed within its bytes
// is dropped. Nothing is kept between calls: any number of threads read and edit at once.
#pragma once

#include "base/base.h"

//~ Blocks
// Views into the file they were read from, or into the arena of the read.
struct ImageMetadata {
  Str8 exif; // a TIFF structure, without the "Exif\0\0" a JPEG's APP1 puts before it
  Str8 xmp;  // the XMP packet's text
  Str8 iptc; // IPTC-IIM datasets (a Photoshop 0x0404 resource's data)
  Str8 icc;  // an ICC profile
};

// What an output keeps of its source: the same bits as a target's `keep`.
enum : u32 {
  MetaIcc = 0x1,
  MetaExif = 0x2,
  MetaGps = 0x4,
  MetaXmp = 0x8,
  MetaIptc = 0x10,
  MetaCopyright = 0x20,
};

// Where a format writes blocks: the ImageFormat's `holds`.
enum : u32 {
  HoldsExif = 0x1,
  HoldsXmp = 0x2,
  HoldsIptc = 0x4,
  HoldsIcc = 0x8,
};

inline bool metadata_empty(const ImageMetadata *m) {
  return m->exif.size == 0 && m->xmp.size == 0 && m->iptc.size == 0 && m->icc.size == 0;
}

// Numbers as files store them, at any address; the caller has made the room.
inline void put_be32(u8 *p, u64 v) {
  p[0] = (u8)(v >> 24);
  p[1] = (u8)(v >> 16);
  p[2] = (u8)(v >> 8);
  p[3] = (u8)v;
}
inline void put_le32(u8 *p, u64 v) {
  p[0] = (u8)v;
  p[1] = (u8)(v >> 8);
  p[2] = (u8)(v >> 16);
  p[3] = (u8)(v >> 24);
}

//~ Editing
// The largest EXIF block written: what one JPEG APP1 segment holds after its "Exif\0\0".
constexpr u64 ExifBlockMax = 65533 - 6;

// A new TIFF structure in the source's byte order, in the arena: IFD0 with every tag (MetaExif)
// or only Artist and Copyright (MetaCopyright), the Exif directory (MetaExif, without its maker
// note, whose own offsets would no longer hold) and the GPS directory (MetaGps); never the
// thumbnail (IFD1) nor data that IFD0 only points at. Orientation, where present, becomes
// `orientation`; the Exif directory's pixel dimensions become `width` × `height`. Empty when the
// block cannot be parsed, nothing is left, or the result would exceed ExifBlockMax.
Str8 exif_edit(Arena *arena, Str8 tiff, u32 keep, u32 orientation, u64 width, u64 height);

// Whether IFD0 of a TIFF structure points at a GPS directory / holds Artist or Copyright.
bool exif_has_gps(Str8 tiff);
bool exif_has_copyright(Str8 tiff);

// A new XMP packet holding only the source's dc:creator, dc:rights and xmpRights properties;
// empty when it has none of them.
Str8 xmp_copyright(Arena *arena, Str8 xmp);
// Only the record version, By-line (2:80) and Copyright Notice (2:116) datasets; empty when
// there is neither, or the datasets cannot be walked within their bytes.
Str8 iptc_copyright(Arena *arena, Str8 iptc);

//~ Reading helpers shared by formats
// The IPTC datasets of a Photoshop image resource block (a JPEG APP13's payload after
// "Photoshop 3.0\0"): the data of its first 0x0404 resource, a view into `resources`.
Str8 photoshop_iptc(Str8 resources);
constexpr u8 PhotoshopPrefix[14] = {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.', '0', 0};
// What a JPEG APP1 holds before an XMP packet.
constexpr char XmpPrefix[] = "http://ns.adobe.com/xap/1.0/"; // followed by a zero byte
