// Images made by the tests themselves: deterministic pixels and the files that hold them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/image/image.h"

typedef std::vector<u8> Bytes;

struct TestRng {
  u64 state;
  u64 next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  u64 below(u64 n) { return next() % n; }
};

Bytes noise(u64 count, u64 seed);
// Smooth content with some detail, so that both encoders have something to work on.
Bytes gradient(u64 width, u64 height, u32 channels);

inline Str8 view(const Bytes &b) { return str8(b.data(), b.size()); }
inline Bytes bytes_of(Str8 s) { return Bytes(s.str, s.str + s.size); }

// A hand-made PNG for depths and sizes our encoder never produces: `rows` holds the filtered
// scanlines (a filter byte before each row), compressed as one IDAT.
Bytes make_png(u32 width, u32 height, u8 depth, u8 colour_type, const Bytes &rows);
// A 16-bit PNG of `channels` channels (1 to 4) with a smooth gradient.
Bytes make_png16(u32 width, u32 height, u32 channels);
// The zlib stream of `raw`.
Bytes zlib_of(const Bytes &raw);
// A PNG with one IDAT chunk per payload, in order (empty ones too), every chunk checksummed.
Bytes png_of_idats(u32 width, u32 height, u8 depth, u8 colour_type, u8 interlace, const std::vector<Bytes> &idats);
// The scanlines of an 8-bit picture in Adam7 order: each pass's rows, a filter byte 0 before each.
Bytes adam7_rows(const Bytes &pixels, u32 width, u32 height, u32 channels);

// A progressive JPEG of three components whose coefficients are all zero, so it decodes to
// 128 in every sample: one DC scan of all three, then `ac_rounds` rounds of one AC scan per
// component (1 + 3 × ac_rounds scans).
Bytes make_progressive_grey_jpeg(u32 width, u32 height, u32 ac_rounds);
// A baseline JPEG of the same grey, 4:2:0, with a restart marker after every `interval` MCUs.
Bytes make_restart_grey_jpeg(u32 width, u32 height, u32 interval);

// A JPEG through libjpeg-turbo's own writer, at quality 90: `channels` 1 (grey), 3 (RGB, stored
// as YCbCr) or 4 (CMYK as Photoshop stores it, 255 no ink, with an Adobe marker; `ycck` stores
// it as YCCK); arithmetic-coded, progressive, with an ICC profile, as asked.
struct LibjpegOptions {
  bool arithmetic;
  bool progressive;
  bool ycck;
  Bytes icc;
};
Bytes libjpeg_file(const Bytes &pixels, u32 width, u32 height, u32 channels, const LibjpegOptions &options);
// A CMYK output profile made with lcms2 (Lab tables both ways), its inks' colours unlike the
// naive c * k conversion.
Bytes cmyk_test_profile();

// Files through our own encoders.
Bytes png_file(const Bytes &pixels, u64 width, u64 height, u32 channels);
Bytes jpeg_file(const Bytes &pixels, u64 width, u64 height, u32 channels, int quality);

// The same pixels in other bytes: a chunk put after a PNG's header, a segment after a JPEG's
// start-of-image marker (a comment 0xFE, an application segment 0xE0..0xEF).
Bytes png_with_chunk(const Bytes &png, const char *type, const Bytes &data);
Bytes jpeg_with_segment(const Bytes &jpeg, u8 marker, const Bytes &data);

// An EXIF block as a JPEG's APP1 segment holds it ("Exif", two zero bytes, then a TIFF
// structure in either byte order): IFD0 declares `entries` entries, a width tag then the
// orientation tag, then zeros; the block ends after `keep_entries` of them (a cut-short block).
Bytes exif_block(u32 orientation, bool little_endian, u32 entries = 2, u32 keep_entries = 2);

// A chunk of a WebP (RIFF) file: its tag, its size, its data and the padding to an even size.
Bytes webp_chunk(const char *tag, const Bytes &data);

// A GIF written by giflib's encoder: a logical screen with a global colour table (RGB triples,
// a power of two of them from 2 to 256; none when empty) and frames, each a rectangle of
// colour indexes given in row order (written in the interlaced order when asked), with its own
// table when `palette` is not empty and a graphics control extension naming `transparent`
// (-1: none). Empty when giflib refuses.
struct GifFrame {
  u32 left, top, width, height;
  Bytes indexes;
  Bytes palette;
  int transparent = -1;
  bool interlaced = false;
};
Bytes make_gif(u32 screen_width, u32 screen_height, const Bytes &palette, const std::vector<GifFrame> &frames);
// A TIFF written by libtiff's own writer, in memory: one page each, strips of `rows_per_strip`
// rows (8 when 0) or square tiles of `tile` pixels.
// One page: its samples packed as stored (16-bit ones in the machine's order).
struct TiffPage {
  u32 width, height;
  u16 samples, bits, photometric;
  u16 compression = 1; // none
  u16 extra = 0; // the kind of a fifth (or second) sample; 0: none declared
  u16 orientation = 0;
  bool separate = false;
  u32 tile = 0;
  u32 rows_per_strip = 0;
  bool big = false;
  bool big_endian = false; // "MM", as Macs and many scanners write
  bool dng = false;
  Bytes icc = {};
  std::vector<u16> colormap = {};
  Bytes pixels = {}; // rows of fewer than 8 bits a sample packed, each starting on a byte
};

Bytes tiff_file(const std::vector<TiffPage> &pages);
// A DNG written by libtiff: a small preview as its first page, and in its sub-image an RGGB
// mosaic of 16-bit samples sampled from `rgb` (packed rows of three channels) as linear light
// through a sensor that answers each colour with its own strength under a warm light, with
// black and white levels, the colour matrix and white balance as shot that undo both, and the
// orientation tag.
Bytes dng_file(const Bytes &rgb, u32 width, u32 height, u16 orientation);
// 16-bit samples as a TiffPage holds them.
Bytes tiff_samples16(const std::vector<u16> &samples);

bool write_file(const std::string &path, const Bytes &bytes);
Bytes read_file(const std::string &path);

// The image library's tests: a fresh arena each, the strongest PNG compression, and the files
// of our own encoders, every encoding expected to succeed.
struct CodecFixture : testing::Test {
  Arena *arena = nullptr;
  void SetUp() override {
    arena = arena_create(mib(64), mib(1));
    codec_set_png_compression_level(12);
  }
  void TearDown() override { arena_destroy(arena); }

  Str8 encode_png(const Bytes &px, u64 w, u64 h, u32 comps) {
    Str8 out = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &out, px.size());
    EXPECT_TRUE(codec_encode_png(&sink, px.data(), px.size(), w, h, comps));
    return out;
  }
  Str8 encode_as(u32 file_type, const Bytes &px, u64 w, u64 h, u32 comps, int quality, bool lossless) {
    Str8 out = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &out, px.size());
    EXPECT_TRUE(format_of_type(file_type)->encode(&sink, px.data(), px.size(), w, h, comps, quality, lossless));
    return out;
  }
  Str8 encode_jpeg(const Bytes &px, u64 w, u64 h, u32 comps, int quality) {
    Str8 out = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &out, px.size());
    EXPECT_TRUE(codec_encode_jpeg(&sink, px.data(), px.size(), w, h, comps, quality));
    return out;
  }
};
using ConvertCodec = CodecFixture;
