#include "convert/image/image_exif.h"

//~ EXIF orientation
// A TIFF structure's numbers in its own byte order; every read is checked against its size.
struct TiffReader {
  Str8 bytes;
  bool little;
  u64 u16_at(u64 at) const {
    const u8 *p = bytes.str + at;
    return little ? read_le16(p) : read_be16(p);
  }
  u64 u32_at(u64 at) const {
    const u8 *p = bytes.str + at;
    return little ? read_le32(p) : read_be32(p);
  }
};

static constexpr u64 TiffOrientationTag = 0x0112;
static constexpr u64 TiffShort = 3, TiffLong = 4;

u32 codec_tiff_orientation(Str8 tiff) {
  const u8 *b = tiff.str;
  if (tiff.size < 8) return 1;
  TiffReader r = {tiff, b[0] == 'I'};
  if (!((b[0] == 'I' && b[1] == 'I') || (b[0] == 'M' && b[1] == 'M')) || r.u16_at(2) != 42) return 1;
  u64 ifd = r.u32_at(4);
  if (ifd < 8 || ifd > tiff.size - 2) return 1;
  u64 count = r.u16_at(ifd);
  // an entry is read only when all of its 12 bytes lie inside the block
  for (u64 i = 0, entry = ifd + 2; i < count && entry + 12 <= tiff.size; i += 1, entry += 12) {
    if (r.u16_at(entry) != TiffOrientationTag) continue;
    u64 type = r.u16_at(entry + 2);
    if (r.u32_at(entry + 4) != 1 || (type != TiffShort && type != TiffLong)) return 1;
    u64 value = type == TiffShort ? r.u16_at(entry + 8) : r.u32_at(entry + 8);
    return value >= 1 && value <= 8 ? (u32)value : 1;
  }
  return 1;
}

//~ ICC profile pieces
void icc_piece_add(IccPieces *p, Str8 payload) {
  if (payload.size < sizeof(IccPrefix) + 2) {
    p->damaged = true;
    return;
  }
  u32 sequence = payload.str[sizeof(IccPrefix)], count = payload.str[sizeof(IccPrefix) + 1];
  if (p->count == 0) p->count = count;
  if (count == 0 || count != p->count || sequence == 0 || sequence > count || p->piece[sequence].str) {
    p->damaged = true;
    return;
  }
  p->piece[sequence] = str8_drop_front(payload, sizeof(IccPrefix) + 2);
}

Str8 icc_pieces_join(Arena *arena, const IccPieces *p) {
  if (p->damaged || p->count == 0) return Str8{};
  u64 total = 0;
  for (u32 i = 1; i <= p->count; i += 1) {
    if (!p->piece[i].str) return Str8{};
    total += p->piece[i].size;
  }
  if (p->count == 1) return p->piece[1];
  u8 *joined = (u8 *)arena_alloc(arena, max_of<u64>(total, 1), 8);
  u64 at = 0;
  for (u32 i = 1; i <= p->count; i += 1) {
    memcpy(joined + at, p->piece[i].str, p->piece[i].size);
    at += p->piece[i].size;
  }
  return Str8{joined, total};
}
