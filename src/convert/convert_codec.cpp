#include <cstdlib>

#include <libdeflate.h>
#include <stb_image.h>
#include <stb_image_resize2.h>
#include <stb_image_write.h>

#include "convert/convert_codec.h"
#include "convert/image/image.h"
#include "convert/convert_zlib_hook.h"

// In the decoder's implementation file: clears the calling thread's failure reason.
void stb_image_forget_failure();

// The libraries count bytes, widths and strides in int.
static constexpr u64 CodecIntMax = 0x7FFFFFFFull;

// The system's pixel layout and filter numbers are handed to the resampler unchanged.
static_assert(STBIR_1CHANNEL == 1 && STBIR_2CHANNEL == 2 && STBIR_RGB == 3 && STBIR_RGBA == 4);
static_assert(STBIR_FILTER_DEFAULT == 0 && STBIR_FILTER_BOX == 1 && STBIR_FILTER_TRIANGLE == 2 &&
              STBIR_FILTER_CUBICBSPLINE == 3 && STBIR_FILTER_CATMULLROM == 4 && STBIR_FILTER_MITCHELL == 5 &&
              STBIR_FILTER_POINT_SAMPLE == 6);

static bool mul_checked(u64 a, u64 b, u64 *out) {
  if (a != 0 && b > ~0ull / a) return false;
  *out = a * b;
  return true;
}

// width × height × bytes_per_pixel, when it is not 0 and fits the libraries' int sizes.
static bool codec_int_size(u64 width, u64 height, u64 bytes_per_pixel, u64 *out) {
  u64 row = 0, size = 0;
  if (!mul_checked(width, bytes_per_pixel, &row) || !mul_checked(row, height, &size)) return false;
  if (size == 0 || size > CodecIntMax) return false;
  *out = size;
  return true;
}

// The decoder takes the byte count as an int.
static bool codec_input_fits(Str8 bytes) { return bytes.str && bytes.size > 0 && bytes.size <= CodecIntMax; }

//~ Decoding
//- why a probe or a decode failed
void codec_failure_set(CodecFailure *failure, u32 kind, const char *reason) {
  failure->kind = kind;
  u64 size = reason ? min_of((u64)strlen(reason), CodecReasonMax - 1) : 0;
  if (size) memcpy(failure->reason, reason, size);
  failure->reason[size] = 0;
}

Str8 codec_failure_reason(const CodecFailure *failure) {
  return Str8{(u8 *)failure->reason, (u64)strnlen(failure->reason, CodecReasonMax)};
}

bool codec_starts_as_jpeg(Str8 bytes) {
  return bytes.size >= 2 && bytes.str[0] == JpegMarkerPrefix && bytes.str[1] == JpegStartOfImage;
}

bool codec_starts_as_png(Str8 bytes) {
  return bytes.size >= sizeof(PngSignature) && memcmp(bytes.str, PngSignature, sizeof(PngSignature)) == 0;
}

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
    if (b[at] != JpegMarkerPrefix) break;
    u8 marker = b[at + 1];
    if (marker == JpegMarkerPrefix) {
      at += 1;
      continue;
    }
    if (wanted(marker, at)) return at;
    u64 length = read_be16(b + at + 2);
    if (marker == JpegEndOfImage || marker == JpegStartOfScan || length < 2) break;
    at += 2 + length;
  }
  return bytes.size;
}

// The frame header (SOFn: C0..CF but the table and restart markers C4, C8 and CC), which gives
// the picture's size, precision, components and coding process.
static u64 jpeg_find_frame(Str8 bytes) {
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
  while (at + 2 <= bytes.size && b[at] == JpegMarkerPrefix) {
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
    if (at + 4 > bytes.size || read_be16(b + at + 2) < 2) break;
    at += 2 + read_be16(b + at + 2);
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

static bool jpeg_data_holds_picture(Str8 bytes) {
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

// The size a PNG or JPEG header declares, read without the decoder: the decoder refuses to
// describe pictures it would not decode, but the caller still wants to say what was refused.
static bool codec_declared_size(Str8 bytes, u64 *width, u64 *height) {
  const u8 *b = bytes.str;
  if (bytes.size >= 24 && codec_starts_as_png(bytes) && memcmp(b + 12, "IHDR", 4) == 0) {
    *width = read_be32(b + 16);
    *height = read_be32(b + 20);
    return *width && *height;
  }
  u64 at = jpeg_find_frame(bytes);
  if (at + 9 > bytes.size) return false;
  *height = read_be16(b + at + 5);
  *width = read_be16(b + at + 7);
  return *width && *height;
}

// The decoder stops at the end chunk's type and never reads its checksum, so a PNG cut inside
// that last chunk decodes; walking the chunks to a whole IEND chunk tells it apart. Bytes after
// it do not matter.
bool codec_png_complete(Str8 bytes) {
  const u8 *b = bytes.str;
  for (u64 at = sizeof(PngSignature); at + 12 <= bytes.size;) {
    u64 length = read_be32(b + at);
    if (memcmp(b + at + 4, "IEND", 4) == 0) return at + 12 + length <= bytes.size;
    at += 12 + length;
  }
  return false;
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

bool codec_complete(Str8 bytes) {
  if (codec_starts_as_png(bytes)) return codec_png_complete(bytes);
  if (codec_starts_as_jpeg(bytes)) return codec_jpeg_complete(bytes);
  return bytes.size > 0;
}

//- what a viewer applies
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

static constexpr u8 JpegApp1 = 0xE1, JpegApp2 = 0xE2;
static constexpr u8 ExifPrefix[6] = {'E', 'x', 'i', 'f', 0, 0};
static constexpr u8 IccPrefix[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};

static bool starts_with_bytes(Str8 bytes, const u8 *prefix, u64 size) {
  return bytes.size >= size && memcmp(bytes.str, prefix, size) == 0;
}

// A profile split over APP2 segments is joined only when every piece from 1 to the count they
// all declare is there exactly once.
struct IccPieces {
  Str8 piece[256];
  u32 count;
  bool damaged;
};

static void icc_piece_add(IccPieces *p, Str8 payload) {
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

static Str8 icc_pieces_join(Arena *arena, const IccPieces *p) {
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

static CodecPhotoTags jpeg_photo_tags(Arena *arena, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  bool exif_seen = false;
  Scratch scratch = scratch_begin(arena);
  IccPieces *icc = arena_push<IccPieces>(scratch.arena);
  memset(icc, 0, sizeof(*icc));
  // the segments before the first scan, each read only when it lies whole inside the file
  jpeg_find_segment(bytes, [&](u8 marker, u64 at) {
    u64 length = read_be16(bytes.str + at + 2);
    if (length < 2 || at + 2 + length > bytes.size) return true;
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

// An iCCP chunk: a name of 1 to 79 bytes and its terminating zero, the compression method
// (0, zlib), then the compressed profile.
static Str8 png_inflate_profile(Arena *arena, Str8 chunk) {
  const u8 *zero = (const u8 *)memchr(chunk.str, 0, min_of<u64>(chunk.size, 80));
  if (!zero || zero == chunk.str) return Str8{};
  u64 data_at = (u64)(zero - chunk.str) + 2;
  if (data_at >= chunk.size || chunk.str[data_at - 1] != 0) return Str8{};
  libdeflate_decompressor *d = libdeflate_alloc_decompressor();
  if (!d) return Str8{};
  Str8 profile = {};
  // the buffer grows until the profile fits, never past the largest profile read
  for (u64 capacity = kib(64); capacity <= CodecProfileMax * 4; capacity *= 4) {
    u64 mark = arena_offset(arena);
    u64 size = min_of(capacity, CodecProfileMax);
    u8 *out = (u8 *)arena_alloc(arena, size, 8);
    size_t actual = 0;
    libdeflate_result result =
        libdeflate_zlib_decompress(d, chunk.str + data_at, chunk.size - data_at, out, size, &actual);
    if (result == LIBDEFLATE_SUCCESS && actual > 0) {
      profile = Str8{out, actual};
      break;
    }
    arena_rewind(arena, mark);
    if (result != LIBDEFLATE_INSUFFICIENT_SPACE || size == CodecProfileMax) break;
  }
  libdeflate_free_decompressor(d);
  return profile;
}

static CodecPhotoTags png_photo_tags(Arena *arena, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  bool exif_seen = false, icc_seen = false;
  const u8 *b = bytes.str;
  for (u64 at = sizeof(PngSignature); at + 12 <= bytes.size;) {
    u64 length = read_be32(b + at);
    if (length > bytes.size - at - 12 || memcmp(b + at + 4, "IEND", 4) == 0) break;
    Str8 data = {(u8 *)b + at + 8, length};
    if (!exif_seen && memcmp(b + at + 4, "eXIf", 4) == 0) {
      exif_seen = true;
      tags.orientation = codec_tiff_orientation(data);
    } else if (!icc_seen && memcmp(b + at + 4, "iCCP", 4) == 0) {
      icc_seen = true;
      tags.icc_profile = png_inflate_profile(arena, data);
    }
    at += 12 + length;
  }
  return tags;
}

CodecPhotoTags codec_photo_tags(Arena *arena, Str8 bytes) {
  if (codec_starts_as_png(bytes)) return png_photo_tags(arena, bytes);
  if (codec_starts_as_jpeg(bytes)) return jpeg_photo_tags(arena, bytes);
  return CodecPhotoTags{1, {}, {}};
}

// An APNG's frame count, from its acTL chunk before the image data; 1 for a still PNG.
static u64 png_frames(Str8 bytes) {
  const u8 *b = bytes.str;
  for (u64 at = sizeof(PngSignature); at + 12 <= bytes.size;) {
    u64 length = read_be32(b + at);
    if (length > bytes.size - at - 12 || memcmp(b + at + 4, "IDAT", 4) == 0) break;
    if (memcmp(b + at + 4, "acTL", 4) == 0 && length >= 8) return max_of(read_be32(b + at + 8), (u64)1);
    at += 12 + length;
  }
  return 1;
}

// Why the decoder refuses a file whose header it cannot describe. Its information call gives
// one generic reason for every refusal, so the loader reads the header again, within a budget
// too small for any picture, for its own. JPEG coding processes it never reads (arithmetic,
// lossless, hierarchical) are named by their frame marker.
static constexpr u64 HeaderBudget = mib(1);

static void codec_refusal_reason(Str8 bytes, CodecFailure *failure) {
  u64 at = jpeg_find_frame(bytes);
  if (codec_starts_as_jpeg(bytes) && at + 2 <= bytes.size) {
    u8 marker = bytes.str[at + 1];
    if (marker == 0xC3 || marker == 0xC7 || marker == 0xCB || marker == 0xCF) {
      return codec_failure_set(failure, DecodeRefused, "lossless JPEG is not supported");
    }
    if (marker >= 0xC9) return codec_failure_set(failure, DecodeRefused, "arithmetic-coded JPEG is not supported");
    if (marker >= 0xC5) return codec_failure_set(failure, DecodeRefused, "hierarchical JPEG is not supported");
  }
  int x = 0, y = 0, n = 0;
  stb_image_forget_failure();
  codec_heap_budget_begin(HeaderBudget);
  u8 *decoded = stbi_load_from_memory(bytes.str, (int)bytes.size, &x, &y, &n, 0);
  codec_heap_budget_end();
  const char *reason = decoded ? nullptr : stbi_failure_reason();
  if (decoded) stbi_image_free(decoded);
  codec_failure_set(failure, DecodeRefused, reason);
}

bool codec_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  if (!codec_input_fits(bytes)) {
    codec_failure_set(&out->failure, DecodeRefused, bytes.size > 0 ? "file too large for the decoder" : nullptr);
    return false;
  }
  int w = 0, h = 0, n = 0;
  if (!stbi_info_from_memory(bytes.str, (int)bytes.size, &w, &h, &n)) {
    codec_refusal_reason(bytes, &out->failure);
    u64 width = 0, height = 0;
    if (codec_declared_size(bytes, &width, &height)) {
      out->width = width;
      out->height = height;
    }
    return false;
  }
  if (w <= 0 || h <= 0 || n < 1 || n > 4) {
    codec_failure_set(&out->failure, DecodeRefused, nullptr);
    return false;
  }
  u32 bytes_per_channel = stbi_is_16_bit_from_memory(bytes.str, (int)bytes.size) ? 2 : 1;

  out->width = (u64)w;
  out->height = (u64)h;
  out->channels = (u32)n;
  out->bytes_per_channel = bytes_per_channel;
  if (codec_starts_as_png(bytes)) out->frames = png_frames(bytes);
  if (!jpeg_data_holds_picture(bytes)) {
    codec_failure_set(&out->failure, DecodeRefused, "Image data ends before the picture does");
    return false;
  }

  // The decoder's own format conversion of a 16-bit image multiplies in int without a check,
  // so the largest decode any caller may ask for is refused here rather than there. The
  // header's values stay in *out, so the caller can say what was refused.
  u64 largest = 0;
  if (codec_int_size((u64)w, (u64)h, 4ull * bytes_per_channel, &largest)) return true;
  codec_failure_set(&out->failure, DecodeRefused, "picture too large for the decoder");
  return false;
}

bool codec_is_16_bit(Str8 bytes) {
  return codec_input_fits(bytes) && stbi_is_16_bit_from_memory(bytes.str, (int)bytes.size) != 0;
}

//- what a decode may hold
// The most one decode may hold at once, in bytes: the sum of the buffers the decoder can hold
// together, each term an upper bound, so that every well-formed file stays inside it.
//   pixels  3 × W × H × 4 × s, s = 2 for a 16-bit source or output, else 1: the decoder holds
//           at most three pictures at once (a PNG's de-interlaced image, one of its passes and
//           its palette expansion; a picture and its conversion to the channels asked for; an
//           8-bit picture and its 16-bit copy).
//   PNG     2 × F + 4 KiB: the IDAT chunks gathered into one buffer, which doubles as it fills
//           (F the file's size);
//           2 × Z: the inflated image data, Z = (row bytes + 1) × H; its buffer starts at Z and
//           doubles once for an interlaced image's extra filter bytes and padding per pass;
//           2 × (row bytes + 1): the two filter rows.
//   JPEG    C × (W + 32) × (H + 32) × (3 when progressive, else 1): each of the C components'
//           planes, padded to whole MCUs of at most 32 × 32 pixels, and a progressive file's
//           16-bit coefficients; C × (W + 3): the line buffers.
//   margin  8 MiB: the decoder's state (a JPEG's Huffman tables and context) and small blocks.
// An unreadable header counts as the most costly one (four 16-bit channels, progressive).
// A PNG whose image data inflates to more than its size needs meets this limit while it
// inflates, its buffer never past the budget: a 1000 × 1000 RGB picture of a 3 MB file stops
// near 32 MB instead of inflating gigabytes.
static constexpr u64 DecodeMargin = mib(8);

static u64 codec_decode_budget(Str8 bytes, u64 width, u64 height, u32 output_sample_bytes) {
  const u8 *b = bytes.str;
  u64 sample_bytes = output_sample_bytes;
  u64 working = 0;
  if (codec_starts_as_png(bytes)) {
    u64 depth = 16, samples = 4;
    if (bytes.size >= 26 && memcmp(b + 12, "IHDR", 4) == 0) {
      static const u8 samples_of_colour_type[7] = {1, 4, 3, 1, 2, 4, 4};
      depth = b[24] <= 16 ? b[24] : 16;
      samples = b[25] < 7 ? samples_of_colour_type[b[25]] : 4;
    }
    if (depth == 16) sample_bytes = 2;
    u64 row = (width * samples * depth + 7) / 8 + 1;
    working = 2 * bytes.size + kib(4) + 2 * row * height + 2 * row;
  } else {
    u64 components = 4, progressive = 1;
    u64 at = jpeg_find_frame(bytes);
    if (at + 10 <= bytes.size) {
      components = b[at + 9] >= 1 && b[at + 9] <= 4 ? b[at + 9] : 4;
      progressive = (b[at + 1] & 0x03) == 0x02; // C2, C6, CA, CE
    }
    working = components * ((width + 32) * (height + 32) * (progressive ? 3 : 1) + width + 3);
  }
  return 3 * width * height * 4 * sample_bytes + working + DecodeMargin;
}

// The decoder gathers the IDAT chunks into a buffer that it allocates at the first one with
// data: an empty one before it is copied as zero bytes to a null pointer, undefined behaviour
// that the sanitizers stop at. Such chunks hold nothing, so the decoder gets a copy without
// them, made only for a file that has one (the walk ends at the first IDAT with data). The
// copy, from the image libraries' heap, is released with codec_heap_release; empty when it
// cannot be made.
static Str8 png_without_empty_first_idat(Str8 bytes) {
  const u8 *b = bytes.str;
  u64 first = sizeof(PngSignature);
  if (!codec_starts_as_png(bytes) || bytes.size < first + 12 || memcmp(b + first + 4, "IHDR", 4) != 0) return bytes;
  u64 end = first + 12 + read_be32(b + first);
  bool empty = false;
  while (end + 12 <= bytes.size) {
    u64 length = read_be32(b + end);
    bool idat = memcmp(b + end + 4, "IDAT", 4) == 0;
    if ((idat && length > 0) || memcmp(b + end + 4, "IEND", 4) == 0 || length > bytes.size - end - 12) break;
    empty |= idat;
    end += 12 + length;
  }
  if (!empty) return bytes;
  u8 *copy = (u8 *)codec_heap_alloc(bytes.size);
  if (!copy) return Str8{};
  u64 size = 0;
  for (u64 at = 0; at < end;) {
    u64 chunk = at < first ? first : 12 + read_be32(b + at);
    if (at < first || chunk > 12 || memcmp(b + at + 4, "IDAT", 4) != 0) {
      memcpy(copy + size, b + at, chunk);
      size += chunk;
    }
    at += chunk;
  }
  memcpy(copy + size, b + end, bytes.size - end);
  return Str8{copy, size + bytes.size - end};
}

// One call of the decoder (stbi_load_16 when sixteen), on input it can take, within the
// picture's budget. On failure, *failure says why.
static void *codec_load(Str8 bytes, u64 width, u64 height, u32 channels, bool sixteen, int *x, int *y,
                        CodecFailure *failure) {
  Str8 input = png_without_empty_first_idat(bytes);
  if (input.size == 0) {
    codec_failure_set(failure, DecodeRefused, "out of memory");
    return nullptr;
  }
  int n = 0;
  stb_image_forget_failure();
  codec_heap_budget_begin(codec_decode_budget(bytes, width, height, sixteen ? 2 : 1));
  void *decoded = sixteen ? (void *)stbi_load_16_from_memory(input.str, (int)input.size, x, y, &n, (int)channels)
                          : (void *)stbi_load_from_memory(input.str, (int)input.size, x, y, &n, (int)channels);
  bool within = codec_heap_budget_end();
  if (!decoded) codec_failure_set(failure, within ? DecodeRefused : DecodeOverBudget, stbi_failure_reason());
  if (input.str != bytes.str) codec_heap_release(input.str);
  return decoded;
}

// The decoded picture is the probed one; otherwise the failure says it is not.
static bool decode_matches(int x, int y, u64 width, u64 height, CodecFailure *failure) {
  if (x > 0 && y > 0 && (u64)x == width && (u64)y == height) return true;
  codec_failure_set(failure, DecodeRefused, "the picture decoded is not of the size its header gives");
  return false;
}

// A decode asked for what no picture can be.
static CodecDecoded decode_refused(CodecDecoded result) {
  codec_failure_set(&result.failure, DecodeRefused, nullptr);
  return result;
}

CodecDecoded codec_decode_8_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  u64 size = 0;
  if (!codec_input_fits(bytes) || channels < 1 || channels > 4) return decode_refused(result);
  if (!codec_int_size(width, height, channels, &size)) return decode_refused(result);
  int x = 0, y = 0;
  u8 *decoded = (u8 *)codec_load(bytes, width, height, channels, false, &x, &y, &result.failure);
  if (!decoded) return result;
  if (!decode_matches(x, y, width, height, &result.failure)) {
    stbi_image_free(decoded);
    return result;
  }
  result.pixels = Str8{decoded, size};
  result.width = width;
  result.height = height;
  return result;
}

CodecDecoded codec_decode_8(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded decoded = codec_decode_8_heap(bytes, width, height, channels);
  if (decoded.pixels.size == 0) return decoded;
  Str8 copy = {arena_push_uninit<u8>(arena, decoded.pixels.size), decoded.pixels.size};
  memcpy(copy.str, decoded.pixels.str, decoded.pixels.size);
  codec_heap_free(decoded.pixels);
  decoded.pixels = copy;
  return decoded;
}

void codec_heap_free(Str8 pixels) {
  if (pixels.str) stbi_image_free(pixels.str);
}

CodecDecoded codec_decode_16_to_8(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  u64 count = 0, size16 = 0;
  if (!codec_input_fits(bytes) || channels < 1 || channels > 4) return decode_refused(result);
  if (!codec_int_size(width, height, channels, &count) || !codec_int_size(width, height, channels * 2ull, &size16)) {
    return decode_refused(result);
  }

  int x = 0, y = 0;
  u16 *decoded = (u16 *)codec_load(bytes, width, height, channels, true, &x, &y, &result.failure);
  if (!decoded) return result;
  if (decode_matches(x, y, width, height, &result.failure)) {
    result.pixels.str = arena_push_uninit<u8>(arena, count);
    result.pixels.size = count;
    for (u64 i = 0; i < count; i += 1) result.pixels.str[i] = (u8)(((u32)decoded[i] + 128) / 257);
    result.width = width;
    result.height = height;
  }
  stbi_image_free(decoded);
  return result;
}

//- one decode, every layout
// The decoder's own channel conversions, written out so that a second layout can be derived
// from the first decode instead of decoding the file again. The luma weights and the opaque
// alpha are the decoder's; T is u8 or u16.
template <typename T> static T codec_luma(u32 r, u32 g, u32 b) { return (T)((r * 77 + g * 150 + b * 29) >> 8); }

template <typename S, typename D, typename Out>
static void codec_convert(const S *src, u32 from, D *dst, u32 to, u64 pixel_count, S opaque, Out out) {
  for (u64 i = 0; i < pixel_count; i += 1, src += from, dst += to) {
    S p[4] = {0, 0, 0, opaque};
    if (from <= 2) {
      p[0] = p[1] = p[2] = src[0];
      if (from == 2) p[3] = src[1];
    } else {
      p[0] = src[0], p[1] = src[1], p[2] = src[2];
      if (from == 4) p[3] = src[3];
    }
    if (to <= 2) {
      dst[0] = out(from <= 2 ? p[0] : codec_luma<S>(p[0], p[1], p[2]));
      if (to == 2) dst[1] = out(p[3]);
    } else {
      dst[0] = out(p[0]), dst[1] = out(p[1]), dst[2] = out(p[2]);
      if (to == 4) dst[3] = out(p[3]);
    }
  }
}

bool codec_derivable(Str8 bytes, u32 from, u32 to) {
  // A colour JPEG decoded to one or two channels gives its own luma plane, which the colour
  // pixels cannot reproduce exactly: that layout is decoded, not derived.
  bool jpeg = codec_starts_as_jpeg(bytes);
  return from >= 1 && from <= 4 && to >= 1 && to <= 4 && !(jpeg && from >= 3 && to <= 2);
}

Str8 codec_derive_8(Arena *arena, Str8 from_pixels, u32 from, u32 to, u64 pixel_count) {
  u64 size = 0;
  if (from < 1 || from > 4 || to < 1 || to > 4) return Str8{};
  if (!mul_checked(pixel_count, from, &size) || size != from_pixels.size) return Str8{};
  if (!mul_checked(pixel_count, to, &size)) return Str8{};
  Str8 result = {arena_push_uninit<u8>(arena, size), size};
  codec_convert<u8, u8>(from_pixels.str, from, result.str, to, pixel_count, (u8)255, [](u8 v) { return v; });
  return result;
}

Str8 codec_expand_heap(Str8 pixels, u32 from, u32 to, u64 pixel_count) {
  u64 size = 0, expanded_size = 0;
  if (from < 1 || to > 4 || to <= from) return Str8{};
  if (!mul_checked(pixel_count, from, &size) || size != pixels.size) return Str8{};
  if (!mul_checked(pixel_count, to, &expanded_size) || expanded_size > CodecIntMax) return Str8{};
  // The decoder's heap owns the buffer; growing a large one moves its pages without copying.
  u8 *grown = (u8 *)codec_heap_realloc(pixels.str, expanded_size);
  if (!grown) return Str8{};
  // From the last pixel back, each is read whole before its wider form is written, and the
  // wider form never reaches a pixel not yet read.
  if (from == 3 && to == 4) {
    // The common case (a colour photo on a transparent canvas), without the general rules.
    for (u64 i = pixel_count; i-- > 0;) {
      u8 r = grown[i * 3], g = grown[i * 3 + 1], b = grown[i * 3 + 2];
      u8 *d = grown + i * 4;
      d[0] = r, d[1] = g, d[2] = b, d[3] = 255;
    }
  } else {
    for (u64 i = pixel_count; i-- > 0;) {
      codec_convert<u8, u8>(grown + i * from, from, grown + i * to, to, 1, (u8)255, [](u8 v) { return v; });
    }
  }
  return Str8{grown, expanded_size};
}

Str8 codec_narrow_heap(Str8 pixels, u32 from, u32 to, u64 pixel_count) {
  u64 size = 0;
  if (to < 1 || from > 4 || to >= from) return Str8{};
  if (!mul_checked(pixel_count, from, &size) || size != pixels.size) return Str8{};
  // From the first pixel on, each is read whole before its narrower form is written, and the
  // narrower form never reaches a pixel not yet read.
  for (u64 i = 0; i < pixel_count; i += 1) {
    u8 wide[4];
    memcpy(wide, pixels.str + i * from, from);
    codec_convert<u8, u8>(wide, from, pixels.str + i * to, to, 1, (u8)255, [](u8 v) { return v; });
  }
  return Str8{pixels.str, pixel_count * to};
}

CodecFailure codec_decode_16_layouts(Arena *arena, Str8 bytes, u64 width, u64 height, u32 channels,
                                     const bool needed[4], Str8 out[4]) {
  CodecFailure failure = {};
  u64 count = 0;
  for (u32 k = 0; k < 4; k += 1) out[k] = Str8{};
  if (!codec_input_fits(bytes) || channels < 1 || channels > 4 || !codec_int_size(width, height, 4 * 2ull, &count)) {
    codec_failure_set(&failure, DecodeRefused, nullptr);
    return failure;
  }
  u64 pixel_count = width * height;

  int x = 0, y = 0;
  u16 *decoded = (u16 *)codec_load(bytes, width, height, channels, true, &x, &y, &failure);
  if (!decoded) return failure;
  bool ok = decode_matches(x, y, width, height, &failure);
  for (u32 to = 1; ok && to <= 4; to += 1) {
    if (to != channels && !needed[to - 1]) continue;
    Str8 result = {arena_push_uninit<u8>(arena, pixel_count * to), pixel_count * to};
    if (to == channels) {
      // The source's own layout keeps the best 8-bit approximation of each sample.
      for (u64 i = 0; i < result.size; i += 1) result.str[i] = (u8)(((u32)decoded[i] + 128) / 257);
    } else {
      // Any other layout is what the decoder's 8-bit output would be: converted at 16 bits,
      // then the top byte of each sample.
      codec_convert<u16, u8>(decoded, channels, result.str, to, pixel_count, (u16)0xFFFF,
                             [](u16 v) { return (u8)(v >> 8); });
    }
    out[to - 1] = result;
  }
  stbi_image_free(decoded);
  return failure;
}

//~ Resampling

// True when the picture's rows lie inside its buffer and every number fits in an int.
static bool picture_fits(CodecPicture p, u64 channels) {
  u64 row = 0, span = 0;
  if (!p.pixels || p.width == 0 || p.height == 0) return false;
  if (p.width > CodecIntMax || p.height > CodecIntMax || p.stride > CodecIntMax) return false;
  if (!mul_checked(p.width, channels, &row) || row > CodecIntMax) return false;
  u64 stride = p.stride ? p.stride : row;
  if (stride < row) return false;
  if (!mul_checked(stride, p.height - 1, &span) || span + row < span) return false;
  return span + row <= p.size;
}

bool codec_resize(CodecPicture in, CodecPicture out, u32 pixel_layout, u32 filter) {
  if (pixel_layout < 1 || pixel_layout > 4 || filter > 6) return false;
  if (!picture_fits(in, pixel_layout) || !picture_fits(out, pixel_layout)) return false;

  STBIR_RESIZE resize;
  stbir_resize_init(&resize, in.pixels, (int)in.width, (int)in.height, (int)in.stride, out.pixels, (int)out.width,
                    (int)out.height, (int)out.stride, (stbir_pixel_layout)pixel_layout, STBIR_TYPE_UINT8);
  stbir_set_filters(&resize, (stbir_filter)filter, (stbir_filter)filter);
  return stbir_resize_extended(&resize) != 0;
}

//~ Encoding

void codec_set_png_compression_level(int level) { stbi_write_png_compression_level = level; }

//- zlib hook
// A compressor per call: libdeflate compressors are not shared between threads, and nothing
// kept between calls makes the hook safe on any number of them.
unsigned char *zlib_compress_hook(unsigned char *data, int length, int *out_length, int level) {
  if (length < 0 || (!data && length > 0) || !out_length) return nullptr;
  libdeflate_compressor *compressor = libdeflate_alloc_compressor(level);
  if (!compressor) return nullptr;
  size_t bound = libdeflate_zlib_compress_bound(compressor, (size_t)length);
  unsigned char *buffer = (unsigned char *)codec_heap_alloc(bound);
  if (!buffer) {
    libdeflate_free_compressor(compressor);
    return nullptr;
  }
  size_t written = libdeflate_zlib_compress(compressor, data, (size_t)length, buffer, bound);
  libdeflate_free_compressor(compressor);
  // The PNG encoder adds its chunk framing to this length in int.
  if (written == 0 || written > CodecIntMax - 64) {
    codec_heap_release(buffer);
    return nullptr;
  }
  *out_length = (int)written;
  return buffer;
}

//- encoders
// Packed rows inside the given buffer, 1 to 4 components, every size an int.
static bool encode_input_fits(const u8 *pixels, u64 size, u64 width, u64 height, u32 components) {
  u64 packed = 0;
  if (!pixels || components < 1 || components > 4) return false;
  if (!codec_int_size(width, height, components, &packed)) return false;
  return packed <= size;
}

bool codec_encode_png(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components) {
  // the encoder filters into (row + 1) × height bytes, counted in int
  u64 filtered = 0;
  bool ok = encode_input_fits(pixels, size, width, height, components) &&
            codec_int_size(width * components + 1, height, 1, &filtered);
  if (ok) {
    ok = stbi_write_png_to_func(encode_sink_write, sink, (int)width, (int)height, (int)components, pixels, 0) != 0;
  }
  return encode_sink_finish(sink, ok);
}

// A JPEG frame header stores each side in 16 bits.
static bool encode_jpeg_fits(const u8 *pixels, u64 size, u64 width, u64 height, u32 components) {
  return encode_input_fits(pixels, size, width, height, components) && width <= 0xFFFF && height <= 0xFFFF;
}

bool codec_encode_jpeg(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components,
                       int quality) {
  bool ok = encode_jpeg_fits(pixels, size, width, height, components) &&
            jpeg_encode(sink, pixels, width, height, components, quality);
  return encode_sink_finish(sink, ok);
}

bool codec_encode_jpeg_stb(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 components,
                           int quality) {
  bool ok = encode_jpeg_fits(pixels, size, width, height, components);
  if (ok) {
    ok = stbi_write_jpg_to_func(encode_sink_write, sink, (int)width, (int)height, (int)components, pixels, quality) !=
         0;
  }
  return encode_sink_finish(sink, ok);
}
