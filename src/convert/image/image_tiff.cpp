#include <cstdarg>
#include <cstdio>

#include <tiffio.h>

#include "convert/image/image_tiff.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_color.h"
#include "convert/image/image_stb.h"

//~ The file's structure
// Completeness, the page count, camera raw files and the tags a viewer applies are read here
// from the directories themselves, cheaply and boundedly, without the library.
struct TiffFile {
  Str8 bytes;
  bool little; // "II"
  bool big;    // BigTIFF: 8-byte counts and offsets
  u64 first;   // the first directory's offset
};

struct TiffEntry {
  u64 tag;
  u64 type;
  u64 count;
  u64 at;      // where its values are
  u64 size;    // their bytes; 0 for a type of unknown size
  bool inside; // the values lie inside the file
};

// Pages past this many are not counted, and a chain of directories is never walked further.
static constexpr u64 TiffPagesMax = 4096;
// Sub-images of the first page looked at for a camera's raw data.
static constexpr u64 TiffSubImagesMax = 16;
// Directory entries looked at over all pages when telling whether a file is whole.
static constexpr u64 TiffEntriesChecked = 1u << 20;

enum : u64 {
  TiffTagWidth = 256,
  TiffTagHeight = 257,
  TiffTagBits = 258,
  TiffTagPhotometric = 262,
  TiffTagStripOffsets = 273,
  TiffTagOrientation = 274,
  TiffTagSamples = 277,
  TiffTagStripByteCounts = 279,
  TiffTagTileWidth = 322,
  TiffTagTileLength = 323,
  TiffTagTileOffsets = 324,
  TiffTagTileByteCounts = 325,
  TiffTagSubImages = 330,
  TiffTagIcc = 34675,
  TiffTagDngVersion = 50706,
};

static u64 tiff_read(const TiffFile *f, u64 at, u32 size) {
  const u8 *p = f->bytes.str + at;
  u64 v = 0;
  for (u32 i = 0; i < size; i += 1) v |= (u64)p[i] << (8 * (f->little ? i : size - 1 - i));
  return v;
}

static bool tiff_header(Str8 bytes, TiffFile *f) {
  *f = TiffFile{bytes, false, false, 0};
  if (bytes.size < 8) return false;
  if (memcmp(bytes.str, "II", 2) == 0) {
    f->little = true;
  } else if (memcmp(bytes.str, "MM", 2) != 0) {
    return false;
  }
  u64 magic = tiff_read(f, 2, 2);
  if (magic == 42) {
    f->first = tiff_read(f, 4, 4);
    return true;
  }
  if (magic != 43 || bytes.size < 16 || tiff_read(f, 4, 2) != 8 || tiff_read(f, 6, 2) != 0) return false;
  f->big = true;
  f->first = tiff_read(f, 8, 8);
  return true;
}

// A directory: its entry count, or false when the count or any entry or the next offset lies
// past the end of the file.
static bool tiff_directory(const TiffFile *f, u64 at, u64 *count) {
  u64 head = f->big ? 8 : 2, entry = f->big ? 20 : 12, next = f->big ? 8 : 4;
  if (at < 8 || at > f->bytes.size || f->bytes.size - at < head) return false;
  *count = tiff_read(f, at, (u32)head);
  return *count <= (f->bytes.size - at - head) / entry && f->bytes.size - at - head - *count * entry >= next;
}

static u64 tiff_next_directory(const TiffFile *f, u64 at, u64 count) {
  u64 head = f->big ? 8 : 2, entry = f->big ? 20 : 12;
  return tiff_read(f, at + head + count * entry, f->big ? 8 : 4);
}

static u64 tiff_type_size(u64 type) {
  switch (type) {
  case 1: case 2: case 6: case 7: return 1;
  case 3: case 8: return 2;
  case 4: case 9: case 11: case 13: return 4;
  case 5: case 10: case 12: case 16: case 17: case 18: return 8;
  default: return 0;
  }
}

// Entry `i` of a whole directory at `at`.
static TiffEntry tiff_entry(const TiffFile *f, u64 at, u64 i) {
  u64 e = at + (f->big ? 8 : 2) + i * (f->big ? 20 : 12);
  u32 word = f->big ? 8 : 4;
  TiffEntry t = {};
  t.tag = tiff_read(f, e, 2);
  t.type = tiff_read(f, e + 2, 2);
  t.count = tiff_read(f, e + 4, word);
  u64 unit = tiff_type_size(t.type);
  u64 value = e + 4 + word;
  if (unit == 0) return t;
  if (t.count > f->bytes.size / unit + 1) {
    t.size = ~0ull;
    return t;
  }
  t.size = t.count * unit;
  t.at = t.size <= word ? value : tiff_read(f, value, word);
  t.inside = t.at <= f->bytes.size && t.size <= f->bytes.size - t.at;
  return t;
}

static bool tiff_find(const TiffFile *f, u64 at, u64 count, u64 tag, TiffEntry *out) {
  for (u64 i = 0; i < count; i += 1) {
    *out = tiff_entry(f, at, i);
    if (out->tag == tag) return true;
  }
  return false;
}

// Value `i` of an entry of whole numbers inside the file; 0 otherwise.
static u64 tiff_value(const TiffFile *f, const TiffEntry *e, u64 i) {
  u64 unit = tiff_type_size(e->type);
  bool whole = e->type == 1 || e->type == 3 || e->type == 4 || e->type == 13 || e->type == 16 || e->type == 18;
  if (!e->inside || !whole || i >= e->count) return 0;
  return tiff_read(f, e->at + i * unit, (u32)unit);
}

static u64 tiff_tag_value(const TiffFile *f, u64 at, u64 count, u64 tag, u64 absent) {
  TiffEntry e;
  return tiff_find(f, at, count, tag, &e) && e.count >= 1 && e.inside ? tiff_value(f, &e, 0) : absent;
}

// CFA (32803) or linear raw (34892) data: a camera's sensor, not a picture.
static bool tiff_holds_raw_data(const TiffFile *f, u64 at) {
  u64 count;
  if (!tiff_directory(f, at, &count)) return false;
  u64 photometric = tiff_tag_value(f, at, count, TiffTagPhotometric, 0);
  return photometric == 32803 || photometric == 34892;
}

static bool tiff_is_camera_raw(const TiffFile *f) {
  if (!f->big && f->bytes.size >= 10 && memcmp(f->bytes.str + 8, "CR", 2) == 0) return true;
  u64 count;
  if (!tiff_directory(f, f->first, &count)) return false;
  TiffEntry e;
  if (tiff_find(f, f->first, count, TiffTagDngVersion, &e) || tiff_holds_raw_data(f, f->first)) return true;
  if (!tiff_find(f, f->first, count, TiffTagSubImages, &e)) return false;
  for (u64 i = 0; i < e.count && i < TiffSubImagesMax; i += 1) {
    if (tiff_holds_raw_data(f, tiff_value(f, &e, i))) return true;
  }
  return false;
}

bool tiff_starts_as(Str8 bytes) {
  TiffFile f;
  return tiff_header(bytes, &f) && !tiff_is_camera_raw(&f);
}

bool tiff_starts_as_camera_raw(Str8 bytes) {
  TiffFile f;
  return tiff_header(bytes, &f) && tiff_is_camera_raw(&f);
}

// A page's values lie inside the file, and for the first page its data too. Entries past
// `*budget` over all pages are not looked at, so a file of many large directories costs bounded
// time.
static bool tiff_page_whole(const TiffFile *f, u64 at, u64 count, bool first, u64 *budget) {
  TiffEntry offsets = {}, sizes = {};
  bool have_offsets = false, have_sizes = false;
  for (u64 i = 0; i < count && *budget > 0; i += 1, *budget -= 1) {
    TiffEntry e = tiff_entry(f, at, i);
    if (e.size > 0 && !e.inside) return false;
    if (e.tag == TiffTagStripOffsets || e.tag == TiffTagTileOffsets) offsets = e, have_offsets = true;
    if (e.tag == TiffTagStripByteCounts || e.tag == TiffTagTileByteCounts) sizes = e, have_sizes = true;
  }
  if (!first || !have_offsets) return true; // no picture at all: the library says so
  for (u64 i = 0; i < offsets.count; i += 1) {
    u64 start = tiff_value(f, &offsets, i);
    u64 size = have_sizes ? tiff_value(f, &sizes, i) : 0;
    if (start > f->bytes.size || size > f->bytes.size - start) return false;
  }
  return true;
}

// The pages of the chain of directories, each lying whole inside the file; *whole tells
// whether the chain ends inside it. A chain that loops ends where it meets itself.
static u64 tiff_pages(const TiffFile *f, bool *whole) {
  u64 pages = 0, at = f->first, slow = f->first, count = 0, budget = TiffEntriesChecked;
  *whole = false;
  while (at != 0 && pages < TiffPagesMax) {
    if (!tiff_directory(f, at, &count) || !tiff_page_whole(f, at, count, pages == 0, &budget)) return pages;
    pages += 1;
    at = tiff_next_directory(f, at, count);
    // the slow walker moves one directory for every two: meeting it, the chain has looped
    if (pages % 2 == 0) {
      u64 slow_count = 0;
      if (tiff_directory(f, slow, &slow_count)) slow = tiff_next_directory(f, slow, slow_count);
      if (at == slow) break;
    }
  }
  *whole = true;
  return pages;
}

bool tiff_complete(Str8 bytes) {
  TiffFile f;
  bool whole = false;
  return tiff_header(bytes, &f) && tiff_pages(&f, &whole) > 0 && whole;
}

// A camera's raw data mostly lies in a sub-image of the first page: each of them must lie whole
// inside the file, with every strip or tile it declares.
bool tiff_raw_complete(Str8 bytes) {
  TiffFile f;
  u64 count, sub_count, budget = TiffEntriesChecked;
  if (!tiff_complete(bytes) || !tiff_header(bytes, &f) || !tiff_directory(&f, f.first, &count)) return false;
  TiffEntry e;
  if (!tiff_find(&f, f.first, count, TiffTagSubImages, &e)) return true;
  if (!e.inside) return false;
  for (u64 i = 0; i < e.count && i < TiffSubImagesMax; i += 1) {
    u64 at = tiff_value(&f, &e, i);
    if (!tiff_directory(&f, at, &sub_count) || !tiff_page_whole(&f, at, sub_count, true, &budget)) return false;
  }
  return true;
}

CodecPhotoTags tiff_photo_tags(Arena *, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  TiffFile f;
  u64 count;
  if (!tiff_header(bytes, &f) || !tiff_directory(&f, f.first, &count)) return tags;
  u64 orientation = tiff_tag_value(&f, f.first, count, TiffTagOrientation, 1);
  tags.orientation = orientation >= 1 && orientation <= 8 ? (u32)orientation : 1;
  TiffEntry e;
  if (tiff_find(&f, f.first, count, TiffTagIcc, &e) && e.inside && e.size > 0 && e.size <= CodecProfileMax &&
      tiff_type_size(e.type) == 1) {
    tags.icc_profile = Str8{bytes.str + e.at, e.size};
  }
  return tags;
}

//~ The library
// The bytes handed to the library as a read-only file it maps; its words kept for the failure.
struct TiffSource {
  Str8 bytes;
  u64 at;
  CodecFailure failure;
};

static tmsize_t tiff_source_read(thandle_t handle, void *buffer, tmsize_t size) {
  TiffSource *s = (TiffSource *)handle;
  if (size <= 0 || s->at >= s->bytes.size) return 0;
  u64 n = min_of((u64)size, s->bytes.size - s->at);
  memcpy(buffer, s->bytes.str + s->at, n);
  s->at += n;
  return (tmsize_t)n;
}

static tmsize_t tiff_source_write(thandle_t, void *, tmsize_t) { return 0; }

static toff_t tiff_source_seek(thandle_t handle, toff_t offset, int whence) {
  TiffSource *s = (TiffSource *)handle;
  u64 base = whence == SEEK_CUR ? s->at : whence == SEEK_END ? s->bytes.size : 0;
  if ((i64)offset < 0 && (u64)(-(i64)offset) > base) return (toff_t)-1;
  s->at = base + offset;
  return s->at;
}

static int tiff_source_close(thandle_t) { return 0; }
static toff_t tiff_source_size(thandle_t handle) { return ((TiffSource *)handle)->bytes.size; }

static int tiff_source_map(thandle_t handle, void **base, toff_t *size) {
  TiffSource *s = (TiffSource *)handle;
  *base = s->bytes.str;
  *size = s->bytes.size;
  return 1;
}

static void tiff_source_unmap(thandle_t, void *, toff_t) {}

// The first error is the reason; warnings are the library's notes on files it reads anyway.
static int tiff_on_error(TIFF *, void *user, const char *, const char *format, va_list args) {
  TiffSource *s = (TiffSource *)user;
  if (s->failure.kind != DecodeOk) return 1;
  char text[CodecReasonMax];
  vsnprintf(text, sizeof(text), format, args);
  codec_failure_set(&s->failure, DecodeRefused, text);
  return 1;
}

static int tiff_on_warning(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// The largest single block the library may allocate for a page: its samples whole (a strip or
// tile never holds more), a tile's padding, and a margin for its directories and tables.
static constexpr u64 TiffAllocationMargin = 4ull << 20;
// Samples of more bytes than this a pixel, or pages of more pixels, are refused before the
// library reads them.
static constexpr u64 TiffPixelBytesMax = 1u << 16;
static constexpr u64 TiffPixelsMax = 1ull << 36;

// What the first page's samples need at most, from its directory: 0 when it cannot be said.
static u64 tiff_page_bytes(Str8 bytes) {
  TiffFile f;
  u64 count;
  if (!tiff_header(bytes, &f) || !tiff_directory(&f, f.first, &count)) return 0;
  u64 width = tiff_tag_value(&f, f.first, count, TiffTagWidth, 0);
  u64 height = tiff_tag_value(&f, f.first, count, TiffTagHeight, 0);
  u64 samples = tiff_tag_value(&f, f.first, count, TiffTagSamples, 1);
  u64 bits = tiff_tag_value(&f, f.first, count, TiffTagBits, 1);
  u64 tile_width = tiff_tag_value(&f, f.first, count, TiffTagTileWidth, 0);
  u64 tile_height = tiff_tag_value(&f, f.first, count, TiffTagTileLength, 0);
  u64 pixel_bytes = samples * ((bits + 7) / 8);
  if (width > 0xFFFFFFFFull || height > 0xFFFFFFFFull || width * height > TiffPixelsMax ||
      pixel_bytes > TiffPixelBytesMax || tile_width > 65536 || tile_height > 65536) {
    return 0;
  }
  // tiles cover the page with whole tiles
  u64 covered_width = tile_width ? (width + tile_width - 1) / tile_width * tile_width : width;
  u64 covered_height = tile_height ? (height + tile_height - 1) / tile_height * tile_height : height;
  return covered_width * covered_height * pixel_bytes;
}

// The library's handle on the first page, null when it cannot read it (the reason in
// s->failure). Its allocations are bounded by what the page needs.
static TIFF *tiff_open(TiffSource *s, Str8 bytes) {
  *s = TiffSource{bytes, 0, {}};
  u64 page = tiff_page_bytes(bytes);
  if (page == 0) {
    codec_failure_set(&s->failure, DecodeRefused, "the first page's size cannot be read");
    return nullptr;
  }
  TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
  if (!options) {
    codec_failure_set(&s->failure, DecodeRefused, "out of memory");
    return nullptr;
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options, tiff_on_error, s);
  TIFFOpenOptionsSetWarningHandlerExtR(options, tiff_on_warning, s);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, (tmsize_t)(max_of(page, bytes.size) + TiffAllocationMargin));
  TIFF *tif = TIFFClientOpenExt("TIFF", "r", (thandle_t)s, tiff_source_read, tiff_source_write, tiff_source_seek,
                                tiff_source_close, tiff_source_size, tiff_source_map, tiff_source_unmap, options);
  TIFFOpenOptionsFree(options);
  if (!tif && s->failure.kind == DecodeOk) codec_failure_set(&s->failure, DecodeRefused, nullptr);
  return tif;
}

//- layouts
enum : u32 {
  TiffColorGrey = 1,
  TiffColorPalette,
  TiffColorRgb,
  TiffColorCmyk,
  TiffColorOther, // read through the library's RGBA reader
};

struct TiffLayout {
  u32 width;
  u32 height;
  u32 color;        // TiffColor*
  u32 samples;      // a pixel's samples as stored
  u32 sample_bytes; // 1 or 2 where read here
  u32 colors;       // the samples before the extra ones: 1, 3 or 4
  bool alpha;       // the first extra sample is alpha
  bool premultiplied;
  bool min_is_white;
  bool separate;    // one plane a sample
  bool tiled;
  u32 channels;     // what the page decodes to at its own layout
  u16 orientation;
};

// What the page holds and how it is read; false, with the library's reason, when it cannot be.
static bool tiff_layout(TIFF *tif, TiffLayout *l, CodecFailure *failure) {
  *l = TiffLayout{};
  u32 width = 0, height = 0;
  u16 samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG, photometric = 0;
  u16 compression = COMPRESSION_NONE, inkset = INKSET_CMYK, orientation = ORIENTATION_TOPLEFT;
  u16 extra_count = 0;
  u16 *extra = nullptr;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) ||
      width == 0 || height == 0) {
    codec_failure_set(failure, DecodeRefused, "the first page has no size");
    return false;
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  l->width = width;
  l->height = height;
  l->samples = samples;
  l->sample_bytes = bits / 8;
  l->separate = planar == PLANARCONFIG_SEPARATE;
  l->tiled = TIFFIsTiled(tif) != 0;
  l->orientation = orientation >= 1 && orientation <= 8 ? orientation : ORIENTATION_TOPLEFT;
  // JPEG's own YCbCr pictures are handed over as RGB by the library
  if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG &&
      TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) {
    photometric = PHOTOMETRIC_RGB;
  }
  switch (photometric) {
  case PHOTOMETRIC_MINISBLACK: case PHOTOMETRIC_MINISWHITE: l->color = TiffColorGrey, l->colors = 1; break;
  case PHOTOMETRIC_PALETTE: l->color = TiffColorPalette, l->colors = 1; break;
  case PHOTOMETRIC_RGB: l->color = TiffColorRgb, l->colors = 3; break;
  case PHOTOMETRIC_SEPARATED: l->color = inkset == INKSET_CMYK ? TiffColorCmyk : TiffColorOther, l->colors = 4; break;
  default: l->color = TiffColorOther, l->colors = 3; break;
  }
  l->min_is_white = photometric == PHOTOMETRIC_MINISWHITE;
  if (samples > l->colors) {
    u16 kind = extra_count > 0 && extra ? extra[0] : photometric == PHOTOMETRIC_RGB && samples == 4 ? EXTRASAMPLE_UNASSALPHA
                                                                                                : EXTRASAMPLE_UNSPECIFIED;
    l->alpha = kind == EXTRASAMPLE_ASSOCALPHA || kind == EXTRASAMPLE_UNASSALPHA;
    l->premultiplied = kind == EXTRASAMPLE_ASSOCALPHA;
  }
  bool depth = (bits == 8 || bits == 16) && (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID);
  bool read_here = depth && samples >= l->colors && (l->color != TiffColorPalette || (bits == 8 && !l->alpha)) &&
                   l->color != TiffColorOther && (planar == PLANARCONFIG_CONTIG || planar == PLANARCONFIG_SEPARATE);
  if (!read_here) {
    char reason[1024] = {};
    if (!TIFFRGBAImageOK(tif, reason)) {
      codec_failure_set(failure, DecodeRefused, reason[0] ? reason : nullptr);
      return false;
    }
    l->color = TiffColorOther;
  }
  bool grey = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
  l->channels = (grey ? 1 : 3) + (l->alpha ? 1 : 0);
  return true;
}

static u64 tiff_page_count(Str8 bytes) {
  TiffFile f;
  bool whole;
  return tiff_header(bytes, &f) ? tiff_pages(&f, &whole) : 0;
}

bool tiff_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  // the size its directory declares, for a limit judged before the library reads it
  TiffFile f;
  u64 count;
  if (tiff_header(bytes, &f) && tiff_directory(&f, f.first, &count)) {
    out->width = tiff_tag_value(&f, f.first, count, TiffTagWidth, 0);
    out->height = tiff_tag_value(&f, f.first, count, TiffTagHeight, 0);
    if (out->width > 0xFFFFFFFFull || out->height > 0xFFFFFFFFull) out->width = out->height = 0xFFFFFFFFull;
  }
  TiffSource source;
  TIFF *tif = tiff_starts_as(bytes) ? tiff_open(&source, bytes) : nullptr;
  if (!tif) {
    if (tiff_starts_as(bytes)) out->failure = source.failure;
    else codec_failure_set(&out->failure, DecodeRefused, nullptr);
    return false;
  }
  TiffLayout l;
  bool ok = tiff_layout(tif, &l, &out->failure);
  u16 bits = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFClose(tif);
  out->width = l.width;
  out->height = l.height;
  if (!ok) return false;
  out->channels = l.channels;
  out->bytes_per_channel = 1;
  out->deep = bits > 8;
  u64 pages = tiff_page_count(bytes);
  if (pages > 1) out->frames = pages < TiffPagesMax ? pages : CodecFramesUncounted;
  return true;
}

//- reading the page
// Samples of a band of rows (a strip's, or a row of tiles') gathered pixel by pixel, as stored.
struct TiffBand {
  u8 *samples; // rows × width × pixel bytes
  u8 *piece;   // one strip or tile of one plane, as the library decodes it
  u64 piece_size;
  u32 rows;    // the band's height
};

// Copies `rows` rows of `columns` pixels of one plane (or of every sample, contiguous) from a
// piece `piece_width` pixels wide into the band at column x.
static void tiff_band_put(const TiffLayout *l, u8 *band, const u8 *piece, u64 piece_width, u32 rows, u64 x,
                          u64 columns, u32 plane) {
  u64 pixel = (u64)l->samples * l->sample_bytes;
  u64 unit = l->separate ? l->sample_bytes : pixel;
  for (u32 r = 0; r < rows; r += 1) {
    const u8 *s = piece + r * piece_width * unit;
    u8 *d = band + (r * (u64)l->width + x) * pixel;
    if (!l->separate) {
      memcpy(d, s, columns * pixel);
      continue;
    }
    d += (u64)plane * l->sample_bytes;
    for (u64 c = 0; c < columns; c += 1, s += unit, d += pixel) memcpy(d, s, unit);
  }
}

static bool tiff_band_fill(TIFF *tif, const TiffLayout *l, TiffBand *b, u32 y, u32 rows) {
  u32 planes = l->separate ? l->samples : 1;
  u64 unit = l->separate ? l->sample_bytes : (u64)l->samples * l->sample_bytes;
  for (u32 plane = 0; plane < planes; plane += 1) {
    if (!l->tiled) {
      tmsize_t want = (tmsize_t)((u64)rows * l->width * unit);
      u8 *into = l->separate ? b->piece : b->samples;
      if (TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y, (u16)plane), into, want) != want) return false;
      if (l->separate) tiff_band_put(l, b->samples, b->piece, l->width, rows, 0, l->width, plane);
      continue;
    }
    u32 tile_width = 0;
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tile_width) || tile_width == 0) return false;
    for (u32 x = 0; x < l->width; x += tile_width) {
      tmsize_t got = TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x, y, 0, (u16)plane), b->piece, (tmsize_t)b->piece_size);
      if (got != (tmsize_t)b->piece_size) return false;
      tiff_band_put(l, b->samples, b->piece, tile_width, rows, x, min_of<u64>(tile_width, l->width - x), plane);
    }
  }
  return true;
}

static u32 tiff_sample(const u8 *p, u32 sample_bytes) {
  if (sample_bytes == 1) return *p;
  u16 v;
  memcpy(&v, p, 2); // the library hands samples over in the machine's order
  return v;
}

static u8 tiff_to_8(u32 v, u32 sample_bytes) { return sample_bytes == 1 ? (u8)v : (u8)((v + 128) / 257); }

// 8-bit levels of a 16-bit colour map; old writers stored 8-bit values there.
static void tiff_palette_levels(TIFF *tif, u8 levels[3][256]) {
  u16 *map[3] = {};
  memset(levels, 0, 3 * 256);
  if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &map[0], &map[1], &map[2])) return;
  bool eight = true;
  for (u32 c = 0; c < 3; c += 1) {
    for (u32 i = 0; i < 256; i += 1) eight &= map[c][i] < 256;
  }
  for (u32 c = 0; c < 3; c += 1) {
    for (u32 i = 0; i < 256; i += 1) levels[c][i] = eight ? (u8)map[c][i] : tiff_to_8(map[c][i], 2);
  }
}

// The stored samples of a band's rows to 8-bit pixels of the page's own layout. CMYK goes
// through `profile` when it is a CMYK one, else by its inks.
static void tiff_band_convert(const TiffLayout *l, const u8 *band, u32 rows, u8 *out, const u8 levels[3][256],
                              Str8 profile, u8 *cmyk, u8 *rgb) {
  u64 count = (u64)rows * l->width;
  u32 sb = l->sample_bytes, top = sb == 1 ? 255 : 65535;
  u64 pixel = (u64)l->samples * sb;
  u32 alpha_at = l->colors;
  u32 c[4];
  for (u64 i = 0; i < count; i += 1, out += l->channels) {
    const u8 *p = band + i * pixel;
    u32 a = l->alpha ? tiff_sample(p + alpha_at * sb, sb) : top;
    for (u32 k = 0; k < l->colors; k += 1) {
      c[k] = tiff_sample(p + k * sb, sb);
      // premultiplied colours divided by their alpha, at the samples' own depth
      if (l->premultiplied) c[k] = a ? min_of<u32>(top, (u32)(((u64)c[k] * top + a / 2) / a)) : 0;
    }
    switch (l->color) {
    case TiffColorGrey: out[0] = tiff_to_8(l->min_is_white ? top - c[0] : c[0], sb); break;
    case TiffColorPalette: for (u32 k = 0; k < 3; k += 1) out[k] = levels[k][c[0] & 0xFF]; break;
    case TiffColorRgb: for (u32 k = 0; k < 3; k += 1) out[k] = tiff_to_8(c[k], sb); break;
    case TiffColorCmyk: for (u32 k = 0; k < 4; k += 1) cmyk[i * 4 + k] = tiff_to_8(c[k], sb); break;
    }
    if (l->alpha) out[l->channels - 1] = tiff_to_8(a, sb);
  }
  if (l->color != TiffColorCmyk) return;
  out -= count * l->channels;
  bool profiled = profile.size > 0 && color_cmyk_to_srgb(profile, cmyk, count, false, rgb);
  for (u64 i = 0; i < count; i += 1, out += l->channels) {
    const u8 *k = cmyk + i * 4;
    for (u32 j = 0; j < 3; j += 1) {
      // without a profile, by the inks alone: (255 - c) × (255 - k) / 255
      u32 t = (u32)(255 - k[j]) * (255 - k[3]) + 128;
      out[j] = profiled ? rgb[i * 3 + j] : (u8)((t + (t >> 8)) >> 8);
    }
  }
}

// The page read here, strip by strip or row of tiles by row of tiles, into `out`.
static bool tiff_read_page(TIFF *tif, const TiffLayout *l, Str8 profile, u8 *out, CodecFailure *failure) {
  u32 band_rows = 0;
  if (l->tiled) {
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &band_rows);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &band_rows);
  }
  band_rows = clamp_of<u32>(1, band_rows, l->height);
  u64 pixel = (u64)l->samples * l->sample_bytes;
  TiffBand b = {};
  b.rows = band_rows;
  b.piece_size = l->tiled ? TIFFTileSize64(tif) : l->separate ? (u64)band_rows * l->width * l->sample_bytes : 0;
  u64 band_size = (u64)band_rows * l->width * pixel;
  u64 band_pixels = (u64)band_rows * l->width;
  b.samples = (u8 *)codec_heap_alloc(band_size);
  b.piece = b.piece_size ? (u8 *)codec_heap_alloc(b.piece_size) : nullptr;
  u8 *cmyk = l->color == TiffColorCmyk ? (u8 *)codec_heap_alloc(band_pixels * 7) : nullptr;
  u8 levels[3][256];
  if (l->color == TiffColorPalette) tiff_palette_levels(tif, levels);
  bool ok = b.samples && (b.piece || !b.piece_size) && (cmyk || l->color != TiffColorCmyk);
  if (!ok) codec_failure_set(failure, DecodeRefused, "out of memory");
  for (u32 y = 0; ok && y < l->height; y += band_rows) {
    u32 rows = min_of(band_rows, l->height - y);
    ok = tiff_band_fill(tif, l, &b, y, rows);
    if (ok) {
      tiff_band_convert(l, b.samples, rows, out + (u64)y * l->width * l->channels, levels, profile, cmyk,
                        cmyk ? cmyk + band_pixels * 4 : nullptr);
    }
  }
  if (!ok && failure->kind == DecodeOk) codec_failure_set(failure, DecodeRefused, "the picture's data cannot be decoded");
  codec_heap_release(b.samples);
  codec_heap_release(b.piece);
  codec_heap_release(cmyk);
  return ok;
}

// Odd layouts (fewer than 8 bits a sample, YCbCr, CIE Lab, ...) through the library's RGBA
// reader, which hands over premultiplied colours: divided out again here. The page is read in
// its stored row order; the pipeline turns it by its orientation tag.
static bool tiff_read_rgba(TIFF *tif, const TiffLayout *l, u8 *out, CodecFailure *failure) {
  u64 count = (u64)l->width * l->height;
  u8 *rgba = l->channels == 4 ? out : (u8 *)codec_heap_alloc(count * 4);
  if (!rgba) {
    codec_failure_set(failure, DecodeRefused, "out of memory");
    return false;
  }
  bool ok = TIFFReadRGBAImageOriented(tif, l->width, l->height, (u32 *)rgba, l->orientation, 1) != 0;
  for (u64 i = 0; ok && i < count; i += 1) {
    u32 packed;
    memcpy(&packed, rgba + i * 4, 4);
    u32 a = TIFFGetA(packed);
    u8 *o = out + i * l->channels;
    u32 v[3] = {TIFFGetR(packed), TIFFGetG(packed), TIFFGetB(packed)};
    if (l->alpha) {
      for (u32 k = 0; k < 3; k += 1) v[k] = a ? min_of<u32>(255, (v[k] * 255 + a / 2) / a) : 0;
    }
    if (l->channels <= 2) {
      o[0] = (u8)v[0];
    } else {
      o[0] = (u8)v[0], o[1] = (u8)v[1], o[2] = (u8)v[2];
    }
    if (l->alpha) o[l->channels - 1] = (u8)a;
  }
  if (rgba != out) codec_heap_release(rgba);
  if (!ok && failure->kind == DecodeOk) codec_failure_set(failure, DecodeRefused, "the picture's data cannot be decoded");
  return ok;
}

CodecDecoded tiff_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  TiffSource source;
  TIFF *tif = channels >= 1 && channels <= 4 && tiff_starts_as(bytes) ? tiff_open(&source, bytes) : nullptr;
  if (!tif) {
    result.failure = channels >= 1 && channels <= 4 && tiff_starts_as(bytes) ? source.failure : CodecFailure{};
    if (result.failure.kind == DecodeOk) codec_failure_set(&result.failure, DecodeRefused, nullptr);
    return result;
  }
  TiffLayout l;
  u8 *pixels = nullptr;
  u64 count = width * height;
  if (!tiff_layout(tif, &l, &result.failure)) {
    // said why
  } else if (l.width != width || l.height != height) {
    codec_failure_set(&result.failure, DecodeRefused, "the picture's header changed");
  } else if (!(pixels = (u8 *)codec_heap_alloc(count * l.channels))) {
    codec_failure_set(&result.failure, DecodeRefused, "out of memory");
  } else {
    Str8 profile = l.color == TiffColorCmyk ? tiff_photo_tags(nullptr, bytes).icc_profile : Str8{};
    bool ok = l.color == TiffColorOther ? tiff_read_rgba(tif, &l, pixels, &result.failure)
                                        : tiff_read_page(tif, &l, profile, pixels, &result.failure);
    // the library's own words, where it gave some, say more than ours
    if (!ok && source.failure.kind != DecodeOk) result.failure = source.failure;
    if (!ok) {
      codec_heap_release(pixels);
      pixels = nullptr;
    }
  }
  TIFFClose(tif);
  if (!pixels) return result;
  Str8 taken = codec_relayout_heap(Str8{pixels, count * l.channels}, l.channels, channels, count);
  if (taken.size == 0) {
    codec_failure_set(&result.failure, DecodeRefused, "out of memory");
    return result;
  }
  result.pixels = taken;
  result.width = width;
  result.height = height;
  return result;
}

//~ Entry
// Read, never written. The library's words go to each handle's own handlers: it prints nothing.
const ImageFormat FormatTiff = {
    .file_type = FileTypeTiff, .name = str8_lit("TIFF"), .extension = str8_lit("tif"), .other_extension = str8_lit("tiff"),
    .signature_size = TiffSignatureSize, .signature = str8_lit("II*\0"),
    .keeps_alpha = true, .takes_quality = false, .can_be_lossless = false,
    .starts_as = tiff_starts_as, .complete = tiff_complete, .probe = tiff_probe, .photo_tags = tiff_photo_tags,
    .scan_count = nullptr, .scan_limit = 0, .decode_heap = tiff_decode_heap,
    .encode = nullptr,
    .metadata = nullptr, .holds = 0, .encode_kept = nullptr,
    .library = Str8{},
};
