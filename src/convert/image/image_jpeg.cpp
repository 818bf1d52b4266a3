#include "convert/image/image_jpeg.h"
#include "convert/image/image_exif.h"
#include "convert/image/image_metadata.h"
#include "convert/image/image_jpeg_writer.h"
#include "convert/image/image_stb.h"
#include "convert/image/image_jpeg_turbo.h"

//~ Reading
bool codec_starts_as_jpeg(Str8 bytes) {
  return bytes.size >= 2 && bytes.str[0] == JpegMarkerPrefix && bytes.str[1] == JpegStartOfImage;
}

// Between segments the decoders pass over bytes that are no marker, stray bytes a writer left
// there (libjpeg with a warning, "extraneous bytes before marker"): the offset of the next FF
// that starts a marker, from `at`; `at` itself when a marker (or fill) starts there, bytes.size
// when none follows.
static u64 jpeg_skip_stray(Str8 bytes, u64 at) {
  const u8 *b = bytes.str;
  while (at < bytes.size && b[at] != JpegMarkerPrefix) {
    const u8 *ff = (const u8 *)memchr(b + at, JpegMarkerPrefix, bytes.size - at);
    if (!ff) return bytes.size;
    at = (u64)(ff - b);
    // FF 00 is a stuffed byte of data, not a marker
    if (at + 1 < bytes.size && b[at + 1] == 0x00) at += 2;
  }
  return min_of(at, bytes.size);
}

// An APPn or COM segment whose length field says less than its own two bytes: libjpeg reads the
// field and goes on after it (stb refuses it).
static bool jpeg_passed_over(u8 marker) { return (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE; }

// Walks a JPEG's marker segments from its start-of-image and returns the offset of the first
// segment that `wanted(marker, offset)` accepts; bytes.size when the walk ends first (a scan,
// the end of the image, or damage). Segments are skipped whole, so markers inside one (an
// embedded thumbnail's) are never seen. The segment's marker and length lie inside the bytes;
// the rest of it may not.
template <typename F> static u64 jpeg_find_segment(Str8 bytes, F wanted) {
  const u8 *b = bytes.str;
  if (bytes.size < 4 || !codec_starts_as_jpeg(bytes)) return bytes.size;
  u64 at = 2;
  while (at + 4 <= bytes.size) {
    at = jpeg_skip_stray(bytes, at);
    if (at + 4 > bytes.size) break;
    u8 marker = b[at + 1];
    if (marker == JpegMarkerPrefix) {
      at += 1;
      continue;
    }
    if (wanted(marker, at)) return at;
    u64 length = read_be16(b + at + 2);
    if (marker == JpegEndOfImage || marker == JpegStartOfScan || (length < 2 && !jpeg_passed_over(marker))) break;
    at += length < 2 ? 4 : 2 + length;
  }
  return bytes.size;
}

u64 jpeg_find_frame(Str8 bytes) {
  return jpeg_find_segment(bytes, [](u8 m, u64) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; });
}

// The offset of the next marker in entropy-coded data from `at`: an FF byte followed by
// neither 00 (a stuffed FF), a restart marker (D0-D7) nor another FF (fill); bytes.size when
// the bytes end first.
static u64 jpeg_entropy_end(Str8 bytes, u64 at) {
  const u8 *b = bytes.str;
  while (at < bytes.size) {
    const u8 *ff = (const u8 *)memchr(b + at, JpegMarkerPrefix, bytes.size - at);
    if (!ff || (u64)(ff - b) + 1 >= bytes.size) return bytes.size;
    at = (u64)(ff - b);
    u8 next = b[at + 1];
    if (next != 0x00 && next != JpegMarkerPrefix && (next < 0xD0 || next > 0xD7)) return at;
    at += 1;
  }
  return bytes.size;
}

// The scans of the main picture, and in `entropy` the bytes of their entropy-coded data
// (restart markers included).
static u64 jpeg_walk_scans(Str8 bytes, u64 *entropy) {
  const u8 *b = bytes.str;
  *entropy = 0;
  if (!codec_starts_as_jpeg(bytes)) return 0;
  u64 scans = 0;
  u64 at = 2;
  while (at + 2 <= bytes.size) {
    at = jpeg_skip_stray(bytes, at);
    if (at + 2 > bytes.size) break;
    u8 marker = b[at + 1];
    if (marker == JpegMarkerPrefix) {
      at += 1;
      continue;
    }
    if (marker == JpegEndOfImage) break;
    // markers without a length: TEM, the restarts, a start-of-image
    if (marker == 0x01 || (marker >= 0xD0 && marker <= JpegStartOfImage)) {
      at += 2;
      continue;
    }
    if (at + 4 > bytes.size) break;
    u64 length = read_be16(b + at + 2);
    if (length < 2 && !jpeg_passed_over(marker)) break;
    at += length < 2 ? 4 : 2 + length;
    if (marker == JpegStartOfScan) {
      scans += 1;
      u64 data = min_of(at, bytes.size);
      at = jpeg_entropy_end(bytes, at);
      *entropy += at > data ? at - data : 0;
    }
  }
  return scans;
}

u64 codec_jpeg_scans(Str8 bytes) {
  u64 entropy = 0;
  return jpeg_walk_scans(bytes, &entropy);
}

bool codec_jpeg_complete(Str8 bytes) {
  const u8 *b = bytes.str;
  if (!codec_starts_as_jpeg(bytes)) return false;
  // Find the first scan of the main picture, then the end-of-image marker after it:
  // entropy-coded data never holds FF D9, so a file cut short in its scans has none, while
  // bytes appended after a complete picture do not matter.
  u64 at = jpeg_find_segment(bytes, [](u8 m, u64) { return m == JpegStartOfScan; });
  if (at + 4 > bytes.size || read_be16(b + at + 2) < 2) return false;
  for (at += 2 + read_be16(b + at + 2); at + 1 < bytes.size; at += 1) {
    if (b[at] == JpegMarkerPrefix && b[at + 1] == JpegEndOfImage) return true;
  }
  return false;
}

//- whether a JPEG's data holds its picture
// The decoder, meeting a marker or the end of the bytes before a scan's last block, decodes zero
// bits for the rest and says nothing. Walking the codes, without dequantising or transforming,
// tells it exactly: a scan runs out when a marker (a restart marker too, inside an interval) or
// the end of the bytes comes before its last block's last code and extra bits are whole. A last
// code that ends in the final byte, its padding 1 bits after it, is whole. Only running out
// refuses: a missing table, bits that are no code or a header the decoder would refuse leave
// the file to the decoder.
enum { JpegWalkRanOut = -1, JpegWalkUnjudged = -2 };

// A Huffman table read as a canonical decoder reads it: the codes of up to JpegFastBits bits
// straight from the next bits (`fast`: length << 8 | symbol, 0 for a longer code); the others
// by length, the 16-bit left-justified codes of one length ending below limit[length], code c
// of that length being symbols[delta[length] + c].
static constexpr u32 JpegFastBits = 9;

struct JpegCodes {
  u16 fast[1 << JpegFastBits];
  u32 limit[17];
  i32 delta[17];
  u8 symbols[256];
  bool defined;
};

// A scan's entropy-coded bits, stuffed bytes undone, up to the next marker. `window` holds
// `count` bits left-justified, zeros after them. Stopped, `at` is the FF before the marker
// (`marker` 0 at the end of the bytes).
struct JpegBits {
  const u8 *b;
  u64 at, size;
  u64 window;
  u32 count;
  u8 marker;
  bool stopped;
};

struct JpegFrame {
  u64 width, height, count, most_h, most_v;
  u8 id[4], h[4], v[4];
  bool progressive;
};

static bool jpeg_codes_read(JpegCodes *t, const u8 *counts, const u8 *symbols, u64 total) {
  memset(t->fast, 0, sizeof(t->fast));
  u32 code = 0;
  i32 index = 0;
  for (u32 length = 1; length <= 16; length += 1) {
    t->delta[length] = index - (i32)code;
    for (u32 i = 0; i < counts[length - 1] && length <= JpegFastBits && code + i < (1u << length); i += 1) {
      u32 first = (code + i) << (JpegFastBits - length), last = first + (1u << (JpegFastBits - length));
      for (u32 at = first; at < last; at += 1) t->fast[at] = (u16)(length << 8 | symbols[index + i]);
    }
    code += counts[length - 1];
    index += counts[length - 1];
    if (counts[length - 1] && code > (1u << length)) return false;
    t->limit[length] = code << (16 - length);
    code <<= 1;
  }
  memcpy(t->symbols, symbols, total);
  return true;
}

static void jpeg_bits_fill(JpegBits *r) {
  while (r->count <= 56 && !r->stopped) {
    if (r->at >= r->size) {
      r->marker = 0;
      r->stopped = true;
      return;
    }
    u64 byte = r->b[r->at], next = r->at + 1;
    if (byte == JpegMarkerPrefix) {
      // fill bytes, then a stuffed zero (the data byte FF) or a marker
      while (next < r->size && r->b[next] == JpegMarkerPrefix) next += 1;
      if (next >= r->size || r->b[next] != 0) {
        r->at = next - 1;
        r->marker = next < r->size ? r->b[next] : 0;
        r->stopped = true;
        return;
      }
      next += 1;
    }
    r->at = next;
    r->window |= byte << (56 - r->count);
    r->count += 8;
  }
}

// The next code's symbol, the code and the extra bits its low 4 bits count (a DC difference's
// or a coefficient's) read past; JpegWalkRanOut when the data ends inside them.
static inline i32 jpeg_bits_code(JpegBits *r, const JpegCodes *t) {
  if (r->count < 32) jpeg_bits_fill(r);
  u32 peek = (u32)(r->window >> 48), entry = t->fast[peek >> (16 - JpegFastBits)];
  u32 length = entry ? entry >> 8 : JpegFastBits + 1;
  while (!entry && length <= 16 && peek >= t->limit[length]) length += 1;
  // a code that matches the bits there are, zeros after them, is longer than they are: no
  // shorter one matches them
  if (length > r->count) return JpegWalkRanOut;
  i32 symbol = (i32)(entry & 0xFF);
  if (!entry) {
    i32 index = length > 16 ? -1 : t->delta[length] + (i32)(peek >> (16 - length));
    if (index < 0 || index > 255) return JpegWalkUnjudged;
    symbol = t->symbols[index];
  }
  length += (u32)symbol & 15;
  if (length > r->count) return JpegWalkRanOut;
  r->window <<= length;
  r->count -= length;
  return symbol;
}

// One block: its DC difference, then (with `ac`) its run/size codes to the end of block.
static inline i32 jpeg_walk_block(JpegBits *r, const JpegCodes *dc, const JpegCodes *ac) {
  i32 size = jpeg_bits_code(r, dc);
  if (size < 0 || size > 15) return size < 0 ? size : JpegWalkUnjudged;
  for (u32 k = 1; ac && k < 64;) {
    i32 rs = jpeg_bits_code(r, ac);
    if (rs < 0) return rs;
    if ((rs & 15) == 0 && rs != 0xF0) break;
    k += (rs & 15) ? (u32)(rs >> 4) + 1 : 16;
  }
  return 0;
}

// The blocks of the scan whose header is at `at` (past its marker), in the decoder's order: one
// component's own blocks, or interleaved MCUs padded to whole ones. 0 when every block is whole,
// `*end` then the offset of the marker after the data.
static i32 jpeg_walk_scan(Str8 bytes, u64 at, const JpegFrame *f, const JpegCodes *tables, u64 restart, u64 *end) {
  const u8 *b = bytes.str;
  u64 n = b[at + 2];
  if (n == 0 || n > f->count || read_be16(b + at) != 6 + 2 * n || at + 6 + 2 * n > bytes.size) return JpegWalkUnjudged;
  u8 which[4];
  const JpegCodes *dc[4], *ac[4];
  for (u64 i = 0; i < n; i += 1) {
    u8 id = b[at + 3 + 2 * i], selectors = b[at + 4 + 2 * i];
    which[i] = 0;
    while (which[i] < f->count && f->id[which[i]] != id) which[i] += 1;
    if (which[i] == f->count || (selectors >> 4) > 3 || (selectors & 15) > 3) return JpegWalkUnjudged;
    dc[i] = &tables[selectors >> 4];
    ac[i] = f->progressive ? nullptr : &tables[4 + (selectors & 15)];
    if (!dc[i]->defined || (ac[i] && !ac[i]->defined)) return JpegWalkUnjudged;
  }
  u8 start = b[at + 3 + 2 * n], stop = b[at + 4 + 2 * n], approx = b[at + 5 + 2 * n];
  // the decoder refuses other sequential scans; a progressive DC scan codes its bits above Al
  if (start != 0 || (f->progressive ? stop != 0 || (approx >> 4) != 0 : approx != 0)) return JpegWalkUnjudged;
  u64 units = 0;
  if (n == 1) {
    u64 columns = (f->width * f->h[which[0]] + f->most_h - 1) / f->most_h;
    u64 rows = (f->height * f->v[which[0]] + f->most_v - 1) / f->most_v;
    units = ((columns + 7) / 8) * ((rows + 7) / 8);
  } else {
    units = ((f->width + 8 * f->most_h - 1) / (8 * f->most_h)) * ((f->height + 8 * f->most_v - 1) / (8 * f->most_v));
  }

  JpegBits r = {b, at + 6 + 2 * n, bytes.size, 0, 0, 0, false};
  for (u64 unit = 0; unit < units; unit += 1) {
    // past an interval's padding to its restart marker, after which the decoder starts afresh;
    // any other marker there ends the scan before its blocks do
    if (restart && unit && unit % restart == 0) {
      while (!r.stopped) {
        r.count = 0;
        jpeg_bits_fill(&r);
      }
      if (r.marker < 0xD0 || r.marker > 0xD7) return JpegWalkRanOut;
      r = JpegBits{b, r.at + 2, bytes.size, 0, 0, 0, false};
    }
    for (u64 i = 0; i < n; i += 1) {
      u64 blocks = n == 1 ? 1 : (u64)f->h[which[i]] * f->v[which[i]];
      for (u64 k = 0; k < blocks; k += 1) {
        i32 walked = jpeg_walk_block(&r, dc[i], ac[i]);
        if (walked < 0) return walked;
      }
    }
  }
  *end = jpeg_entropy_end(bytes, r.at);
  return 0;
}

// Each Huffman scan that codes whole blocks (sequential ones, and progressive DC first scans)
// holds every block it must code. A progressive file's other scans are not walked: an end-of-band
// run covers any number of blocks in a few bits, so their length proves nothing.
static bool jpeg_codes_hold_blocks(Str8 bytes) {
  const u8 *b = bytes.str;
  JpegCodes tables[8] = {}; // DC 0-3, AC 0-3: as the segments before each scan left them
  JpegFrame f = {};
  u64 restart = 0, at = 2;
  while (at + 4 <= bytes.size && b[at] == JpegMarkerPrefix) {
    u8 marker = b[at + 1];
    if (marker == JpegMarkerPrefix || marker == 0x01 || (marker >= 0xD0 && marker <= JpegStartOfImage)) {
      at += marker == JpegMarkerPrefix ? 1 : 2;
      continue;
    }
    if (marker == JpegEndOfImage) break;
    u64 length = read_be16(b + at + 2), body = at + 4, last = at + 2 + length;
    if (length < 2 || last > bytes.size) return true;
    if (marker == 0xDD && length == 4) restart = read_be16(b + body);
    if (marker == 0xC4) {
      while (body + 17 <= last) {
        u8 kind = b[body];
        u64 total = 0;
        for (u64 i = 1; i <= 16; i += 1) total += b[body + i];
        if ((kind >> 4) > 1 || (kind & 15) > 3 || total > 256 || body + 17 + total > last) return true;
        JpegCodes *t = &tables[(kind >> 4) * 4 + (kind & 15)];
        t->defined = jpeg_codes_read(t, b + body + 1, b + body + 17, total);
        body += 17 + total;
      }
    }
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      // arithmetic coding, lossless and hierarchical pictures are not judged
      if (marker > 0xC2 || length < 8) return true;
      f = JpegFrame{read_be16(b + body + 3), read_be16(b + body + 1), b[body + 5], 1, 1, {}, {}, {}, marker == 0xC2};
      if (f.width == 0 || f.height == 0 || f.count == 0 || f.count > 4 || length < 8 + 3 * f.count) return true;
      for (u64 i = 0; i < f.count; i += 1) {
        u8 sampling = b[body + 7 + 3 * i];
        f.id[i] = b[body + 6 + 3 * i];
        f.h[i] = sampling >> 4;
        f.v[i] = sampling & 15;
        if (f.h[i] == 0 || f.h[i] > 4 || f.v[i] == 0 || f.v[i] > 4) return true;
        f.most_h = max_of<u64>(f.most_h, f.h[i]);
        f.most_v = max_of<u64>(f.most_v, f.v[i]);
      }
    }
    at = last;
    if (marker != JpegStartOfScan) continue;
    if (f.count == 0) return true;
    bool whole_blocks = !f.progressive || (b[last - 3] == 0 && (b[last - 1] >> 4) == 0);
    u64 end = 0;
    i32 walked = whole_blocks ? jpeg_walk_scan(bytes, at - length, &f, tables, restart, &end) : 0;
    if (walked == JpegWalkRanOut) return false;
    if (walked == JpegWalkUnjudged) return true;
    at = whole_blocks ? end : jpeg_entropy_end(bytes, at);
  }
  return true;
}

// A Huffman-coded picture spends at least one bit on each 8 x 8 block of each component: the
// block's DC difference has a code, of one bit or more, even when it is zero, and some scan
// codes every component's DC. Data shorter than that cannot hold the picture, whatever the
// decoder would make of it (stb fills what is missing without a word). Arithmetic coding can
// spend less; it is not judged.
// Data above that bound still runs out when a header declares a picture a few times larger
// than its data codes, so thin data, under JpegThinBitsPerBlock bits a block, has its codes
// walked. Photos spend more (the bench's generated photos, frames and phone pictures 30 to 100,
// a camera's more), flat and synthetic pictures 1 to 8, and a header declaring four times the
// blocks divides its data's rate by four. The threshold decides which files pay for the walk,
// never which are refused. The walk costs about what the decoder's own Huffman decoding does,
// while the decoder also transforms, upsamples and converts every block: 1 to 7% of the decode
// of a flat picture, about a fifth just under the threshold.
static constexpr u64 JpegThinBitsPerBlock = 16;

bool jpeg_data_holds_picture(Str8 bytes) {
  const u8 *b = bytes.str;
  u64 at = jpeg_find_frame(bytes);
  if (at + 10 > bytes.size || b[at + 1] > 0xC2) return true;
  u64 height = read_be16(b + at + 5), width = read_be16(b + at + 7), count = b[at + 9];
  if (height == 0 || width == 0 || count == 0 || at + 10 + 3 * count > bytes.size) return true;
  u64 most_h = 1, most_v = 1;
  for (u64 i = 0; i < count; i += 1) {
    u8 sampling = b[at + 10 + 3 * i + 1];
    if ((sampling >> 4) == 0 || (sampling & 15) == 0) return true;
    most_h = max_of<u64>(most_h, sampling >> 4);
    most_v = max_of<u64>(most_v, sampling & 15);
  }
  u64 blocks = 0;
  for (u64 i = 0; i < count; i += 1) {
    u8 sampling = b[at + 10 + 3 * i + 1];
    u64 columns = (width * (sampling >> 4) + most_h - 1) / most_h;
    u64 rows = (height * (sampling & 15) + most_v - 1) / most_v;
    blocks += ((columns + 7) / 8) * ((rows + 7) / 8);
  }
  u64 entropy = 0;
  jpeg_walk_scans(bytes, &entropy);
  if (entropy * 8 < blocks) return false;
  return entropy * 8 >= blocks * JpegThinBitsPerBlock || jpeg_codes_hold_blocks(bytes);
}

//- what a viewer applies
static constexpr u8 JpegApp1 = 0xE1, JpegApp2 = 0xE2;

static bool starts_with_bytes(Str8 bytes, const u8 *prefix, u64 size) {
  return bytes.size >= size && memcmp(bytes.str, prefix, size) == 0;
}

CodecPhotoTags jpeg_photo_tags(Arena *arena, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  bool exif_seen = false;
  Scratch scratch = scratch_begin(arena);
  IccPieces *icc = arena_push<IccPieces>(scratch.arena);
  memset(icc, 0, sizeof(*icc));
  // the segments before the first scan, each read only when it lies whole inside the file
  jpeg_find_segment(bytes, [&](u8 marker, u64 at) {
    u64 length = read_be16(bytes.str + at + 2);
    if (length < 2) return false;
    if (at + 2 + length > bytes.size) return true;
    Str8 payload = {bytes.str + at + 4, length - 2};
    if (marker == JpegApp1 && !exif_seen && starts_with_bytes(payload, ExifPrefix, sizeof(ExifPrefix))) {
      exif_seen = true;
      tags.orientation = codec_tiff_orientation(str8_drop_front(payload, sizeof(ExifPrefix)));
    } else if (marker == JpegApp2 && starts_with_bytes(payload, IccPrefix, sizeof(IccPrefix))) {
      icc_piece_add(icc, payload);
    }
    return false;
  });
  tags.icc_profile = icc_pieces_join(arena, icc);
  scratch_restore(scratch);
  return tags;
}

//- kept metadata
static constexpr u8 JpegApp13 = 0xED;

ImageMetadata jpeg_metadata(Arena *arena, Str8 bytes) {
  ImageMetadata m = {};
  Str8 xmp_prefix = {(u8 *)XmpPrefix, sizeof(XmpPrefix)}; // its zero byte included
  jpeg_find_segment(bytes, [&](u8 marker, u64 at) {
    u64 length = read_be16(bytes.str + at + 2);
    if (length < 2) return false;
    if (at + 2 + length > bytes.size) return true;
    Str8 payload = {bytes.str + at + 4, length - 2};
    if (marker == JpegApp1 && !m.exif.size && starts_with_bytes(payload, ExifPrefix, sizeof(ExifPrefix))) {
      m.exif = str8_drop_front(payload, sizeof(ExifPrefix));
    } else if (marker == JpegApp1 && !m.xmp.size && starts_with_bytes(payload, xmp_prefix.str, xmp_prefix.size)) {
      m.xmp = str8_drop_front(payload, xmp_prefix.size);
    } else if (marker == JpegApp13 && !m.iptc.size && starts_with_bytes(payload, PhotoshopPrefix, sizeof(PhotoshopPrefix))) {
      m.iptc = photoshop_iptc(str8_drop_front(payload, sizeof(PhotoshopPrefix)));
    }
    return false;
  });
  m.icc = jpeg_photo_tags(arena, bytes).icc_profile;
  return m;
}

//~ The two decoders
// stb decodes every JPEG it reads, so those keep its pixels; libjpeg-turbo (image_jpeg_turbo)
// reads what stb refuses, and the CMYK and YCCK pictures whose profile gives their colours.

// An arithmetic-coded frame (SOF9 sequential, SOF10 progressive): stb does not read the coding
// at all, so when libjpeg refuses such a file too, its words are the reason.
static bool jpeg_arithmetic(Str8 bytes) {
  u64 at = jpeg_find_frame(bytes);
  return at + 2 <= bytes.size && (bytes.str[at + 1] == 0xC9 || bytes.str[at + 1] == 0xCA);
}

static bool jpeg_probe(Str8 bytes, CodecProbe *out) {
  if (codec_probe(bytes, out)) return true;
  // stb read the header and refused the picture for its size or its data: that stands
  if (out->channels != 0 || !codec_starts_as_jpeg(bytes) || bytes.size > CodecIntMax) return false;
  CodecProbe second = {};
  bool read = jpeg_turbo_probe(bytes, &second);
  // refused by both, *out keeps the size the frame header declares, for the pixel limit
  if (!read && !jpeg_arithmetic(bytes)) return false;
  if (!read) {
    out->failure = second.failure;
    return false;
  }
  *out = second;
  if (jpeg_data_holds_picture(bytes)) return true;
  codec_failure_set(&out->failure, DecodeRefused, "Image data ends before the picture does");
  return false;
}

// Stray bytes between the segments before the first scan, or an APP or COM segment whose length
// field says less than its own two bytes: stb takes what follows for damage and, after the
// frame header, hands over a picture it never decoded, so libjpeg decodes such files.
static bool jpeg_header_irregular(Str8 bytes) {
  bool irregular = false;
  u64 expected = 2;
  jpeg_find_segment(bytes, [&](u8, u64 at) {
    for (u64 i = expected; i < at; i += 1) irregular |= bytes.str[i] != JpegMarkerPrefix;
    u64 length = read_be16(bytes.str + at + 2);
    irregular |= length < 2;
    expected = at + (length < 2 ? 4 : 2 + length);
    return irregular;
  });
  return irregular;
}

// A picture of four components with a CMYK profile that lcms2 takes is decoded to its inks and
// made sRGB through the profile; any other, and one whose inks cannot be decoded so, is stb's,
// and libjpeg's where stb refuses it or would misread its header. stb's words stand when both
// refuse, but for a coding stb does not read.
static CodecDecoded jpeg_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  u64 frame = jpeg_find_frame(bytes);
  if (frame + 10 <= bytes.size && bytes.str[frame + 9] == 4) {
    Scratch scratch = scratch_begin(nullptr);
    Str8 profile = jpeg_photo_tags(scratch.arena, bytes).icc_profile;
    CodecDecoded inks = {};
    if (profile.size > 0) inks = jpeg_turbo_decode_heap(bytes, width, height, channels, profile);
    scratch_restore(scratch);
    if (inks.pixels.size > 0) return inks;
  }
  if (jpeg_header_irregular(bytes)) return jpeg_turbo_decode_heap(bytes, width, height, channels, Str8{});
  CodecDecoded first = codec_decode_8_heap(bytes, width, height, channels);
  if (first.pixels.size > 0 || first.failure.kind == DecodeOverBudget) return first;
  CodecDecoded second = jpeg_turbo_decode_heap(bytes, width, height, channels, Str8{});
  if (second.pixels.size == 0 && !jpeg_arithmetic(bytes)) second.failure = first.failure;
  return second;
}

//~ Entry
static bool format_encode_jpeg_kept(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                                    int quality, bool, ImageMetadata *kept) {
  return codec_encode_jpeg(sink, pixels, size, width, height, channels, quality) && jpeg_embed(sink, kept);
}

static bool format_encode_jpeg(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels,
                               int quality, bool) {
  return codec_encode_jpeg(sink, pixels, size, width, height, channels, quality);
}

// A JPEG needs a byte past its start-of-image marker to be told from other bytes. stb's
// decoder reads it, libjpeg-turbo what stb refuses, and our own writer writes it; none prints.
const ImageFormat FormatJpeg = {
    .file_type = FileTypeJpeg, .name = str8_lit("JPEG"), .extension = str8_lit("jpg"), .other_extension = Str8{},
    .signature_size = 3, .signature = str8_lit("\xFF\xD8?"),
    .keeps_alpha = false, .takes_quality = true, .can_be_lossless = false,
    .starts_as = codec_starts_as_jpeg, .complete = codec_jpeg_complete, .probe = jpeg_probe, .photo_tags = codec_photo_tags,
    .scan_count = codec_jpeg_scans, .scan_limit = JpegScanLimit, .decode_heap = jpeg_decode_heap,
    .encode = format_encode_jpeg,
    .metadata = jpeg_metadata, .holds = HoldsExif | HoldsXmp | HoldsIptc | HoldsIcc, .encode_kept = format_encode_jpeg_kept,
    .library = Str8{},
};
