#include "test_images.h"

#include <gif_lib.h>
#include <libdeflate.h>
#include <tiffio.h>

#include <algorithm>

#include <cmath>
#include <cstdio>

#include <jpeglib.h>
#include <lcms2.h>

Bytes noise(u64 count, u64 seed) {
  TestRng rng{seed};
  Bytes out(count);
  for (u8 &b : out) b = (u8)rng.next();
  return out;
}

Bytes gradient(u64 width, u64 height, u32 channels) {
  Bytes out(width * height * channels);
  for (u64 y = 0; y < height; y += 1) {
    for (u64 x = 0; x < width; x += 1) {
      for (u32 c = 0; c < channels; c += 1) {
        out[(y * width + x) * channels + c] = (u8)(x * 7 + y * 3 + c * 50 + ((x ^ y) & 8));
      }
    }
  }
  return out;
}

static void put_be32(Bytes &out, u32 v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((u8)(v >> shift));
}

static void put_chunk(Bytes &png, const char *type, const Bytes &data) {
  put_be32(png, (u32)data.size());
  u32 crc = libdeflate_crc32(0, type, 4);
  crc = libdeflate_crc32(crc, data.data(), data.size());
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  put_be32(png, crc);
}

Bytes zlib_of(const Bytes &raw) {
  libdeflate_compressor *c = libdeflate_alloc_compressor(6);
  Bytes z(libdeflate_zlib_compress_bound(c, raw.size()));
  z.resize(libdeflate_zlib_compress(c, raw.data(), raw.size(), z.data(), z.size()));
  libdeflate_free_compressor(c);
  return z;
}

Bytes png_of_idats(u32 width, u32 height, u8 depth, u8 colour_type, u8 interlace, const std::vector<Bytes> &idats) {
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes ihdr;
  put_be32(ihdr, width);
  put_be32(ihdr, height);
  ihdr.insert(ihdr.end(), {depth, colour_type, 0, 0, interlace});
  put_chunk(png, "IHDR", ihdr);
  for (const Bytes &idat : idats) put_chunk(png, "IDAT", idat);
  put_chunk(png, "IEND", {});
  return png;
}

Bytes make_png(u32 width, u32 height, u8 depth, u8 colour_type, const Bytes &rows) {
  return png_of_idats(width, height, depth, colour_type, 0, {zlib_of(rows)});
}

Bytes adam7_rows(const Bytes &pixels, u32 width, u32 height, u32 channels) {
  static const u32 x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
  static const u32 dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
  Bytes rows;
  for (int pass = 0; pass < 7; pass += 1) {
    if (x0[pass] >= width) continue;
    for (u32 y = y0[pass]; y < height; y += dy[pass]) {
      rows.push_back(0);
      for (u32 x = x0[pass]; x < width; x += dx[pass]) {
        const u8 *p = &pixels[((u64)y * width + x) * channels];
        rows.insert(rows.end(), p, p + channels);
      }
    }
  }
  return rows;
}

//~ Hand-made JPEGs of one grey
// Huffman tables of one code each ('0'): the DC difference 0, and the AC end-of-block.
// Every block of every progressive scan is then one 0 bit; a baseline block is two.
static void put_jpeg_segment(Bytes &jpeg, u8 marker, const Bytes &body) {
  jpeg.insert(jpeg.end(), {0xFF, marker, (u8)((body.size() + 2) >> 8), (u8)(body.size() + 2)});
  jpeg.insert(jpeg.end(), body.begin(), body.end());
}

static void put_zero_bits(Bytes &jpeg, u64 bits) {
  jpeg.insert(jpeg.end(), bits / 8, 0);
  if (bits % 8) jpeg.push_back((u8)(0xFF >> (bits % 8))); // padded with 1 bits
}

// The start of a three-component JPEG whose only codes are a 1-bit 0 (DC and AC alike): its
// quantisation table of ones, its frame (`sof` marker, the first component sampled `luma`) and
// both Huffman tables.
static Bytes grey_jpeg_head(u8 sof, u8 luma, u32 width, u32 height) {
  Bytes jpeg = {0xFF, 0xD8};
  Bytes dqt(65, 1);
  dqt[0] = 0;
  put_jpeg_segment(jpeg, 0xDB, dqt);
  put_jpeg_segment(jpeg, sof, {8, (u8)(height >> 8), (u8)height, (u8)(width >> 8), (u8)width, 3, 1, luma, 0, 2, 0x11, 0,
                               3, 0x11, 0});
  for (u8 table_class : {0x00, 0x10}) {
    Bytes dht = {table_class, 1};
    dht.insert(dht.end(), 15, 0);
    dht.push_back(0);
    put_jpeg_segment(jpeg, 0xC4, dht);
  }
  return jpeg;
}

Bytes make_progressive_grey_jpeg(u32 width, u32 height, u32 ac_rounds) {
  Bytes jpeg = grey_jpeg_head(0xC2, 0x11, width, height);
  u64 blocks = (u64)((width + 7) / 8) * ((height + 7) / 8);
  put_jpeg_segment(jpeg, 0xDA, {3, 1, 0, 2, 0, 3, 0, 0, 0, 0});
  put_zero_bits(jpeg, 3 * blocks);
  for (u32 round = 0; round < ac_rounds; round += 1) {
    for (u8 component = 1; component <= 3; component += 1) {
      put_jpeg_segment(jpeg, 0xDA, {1, component, 0, 1, 63, 0});
      put_zero_bits(jpeg, blocks);
    }
  }
  jpeg.insert(jpeg.end(), {0xFF, 0xD9});
  return jpeg;
}

Bytes make_restart_grey_jpeg(u32 width, u32 height, u32 interval) {
  Bytes jpeg = grey_jpeg_head(0xC0, 0x22, width, height);
  put_jpeg_segment(jpeg, 0xDD, {(u8)(interval >> 8), (u8)interval});
  put_jpeg_segment(jpeg, 0xDA, {3, 1, 0, 2, 0, 3, 0, 0, 63, 0});
  u64 mcus = (u64)((width + 15) / 16) * ((height + 15) / 16);
  for (u64 done = 0; done < mcus; done += interval) {
    if (done) jpeg.insert(jpeg.end(), {0xFF, (u8)(0xD0 + (done / interval - 1) % 8)}); // RST0 first
    put_zero_bits(jpeg, 12 * min_of<u64>(interval, mcus - done)); // six blocks of a DC and an end-of-block code
  }
  jpeg.insert(jpeg.end(), {0xFF, 0xD9});
  return jpeg;
}

Bytes make_png16(u32 width, u32 height, u32 channels) {
  static const u8 colour_types[5] = {0, 0, 4, 2, 6};
  Bytes rows;
  for (u32 y = 0; y < height; y += 1) {
    rows.push_back(0);
    for (u32 x = 0; x < width; x += 1) {
      for (u32 c = 0; c < channels; c += 1) {
        u32 v = (x * 997 + y * 1499 + c * 20000) & 0xFFFF;
        rows.push_back((u8)(v >> 8));
        rows.push_back((u8)v);
      }
    }
  }
  return make_png(width, height, 16, colour_types[channels], rows);
}

static Bytes encode_file(const Bytes &pixels, u64 width, u64 height, u32 channels, int quality) {
  Arena *arena = arena_create(mib(64), mib(1));
  Str8 out = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &out, pixels.size());
  bool ok = quality > 0 ? codec_encode_jpeg(&sink, pixels.data(), pixels.size(), width, height, channels, quality)
                        : codec_encode_png(&sink, pixels.data(), pixels.size(), width, height, channels);
  Bytes result = ok ? bytes_of(out) : Bytes();
  arena_destroy(arena);
  return result;
}

Bytes png_file(const Bytes &pixels, u64 width, u64 height, u32 channels) {
  return encode_file(pixels, width, height, channels, 0);
}

Bytes jpeg_file(const Bytes &pixels, u64 width, u64 height, u32 channels, int quality) {
  return encode_file(pixels, width, height, channels, quality);
}

bool write_file(const std::string &path, const Bytes &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

Bytes read_file(const std::string &path) {
  Bytes out;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return out;
  u8 buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) out.insert(out.end(), buffer, buffer + n);
  fclose(f);
  return out;
}

Bytes png_with_chunk(const Bytes &png, const char *type, const Bytes &data) {
  // the signature and the IHDR chunk come first
  constexpr size_t AfterHeader = 8 + 4 + 4 + 13 + 4;
  Bytes chunk;
  put_chunk(chunk, type, data);
  Bytes out;
  out.reserve(png.size() + chunk.size());
  out.insert(out.end(), png.begin(), png.begin() + AfterHeader);
  out.insert(out.end(), chunk.begin(), chunk.end());
  out.insert(out.end(), png.begin() + AfterHeader, png.end());
  return out;
}

Bytes exif_block(u32 orientation, bool little_endian, u32 entries, u32 keep_entries) {
  Bytes out = {'E', 'x', 'i', 'f', 0, 0};
  auto put16 = [&](u32 v) {
    if (little_endian) out.insert(out.end(), {(u8)v, (u8)(v >> 8)});
    else out.insert(out.end(), {(u8)(v >> 8), (u8)v});
  };
  auto put32 = [&](u32 v) {
    if (little_endian) out.insert(out.end(), {(u8)v, (u8)(v >> 8), (u8)(v >> 16), (u8)(v >> 24)});
    else out.insert(out.end(), {(u8)(v >> 24), (u8)(v >> 16), (u8)(v >> 8), (u8)v});
  };
  out.insert(out.end(), {little_endian ? (u8)'I' : (u8)'M', little_endian ? (u8)'I' : (u8)'M'});
  put16(42);
  put32(8);
  put16(entries);
  u32 tags[2][2] = {{0x0100, 640}, {0x0112, orientation}};
  for (u32 i = 0; i < keep_entries; i += 1) {
    if (i < 2) {
      put16(tags[i][0]), put16(3), put32(1), put16(tags[i][1]), put16(0);
    } else {
      out.insert(out.end(), 12, 0);
    }
  }
  if (keep_entries == entries) put32(0); // no next IFD
  return out;
}

Bytes jpeg_with_segment(const Bytes &jpeg, u8 marker, const Bytes &data) {
  Bytes out;
  out.reserve(jpeg.size() + data.size() + 4);
  out.insert(out.end(), jpeg.begin(), jpeg.begin() + 2);
  size_t length = data.size() + 2;
  out.insert(out.end(), {0xFF, marker, (u8)(length >> 8), (u8)length});
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

Bytes webp_chunk(const char *tag, const Bytes &data) {
  Bytes c(tag, tag + 4);
  u32 n = (u32)data.size();
  c.insert(c.end(), {(u8)n, (u8)(n >> 8), (u8)(n >> 16), (u8)(n >> 24)});
  c.insert(c.end(), data.begin(), data.end());
  if (n & 1) c.push_back(0);
  return c;
}

Bytes libjpeg_file(const Bytes &pixels, u32 width, u32 height, u32 channels, const LibjpegOptions &options) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = (int)channels;
  info.in_color_space = channels == 1 ? JCS_GRAYSCALE : channels == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&info);
  if (options.ycck) jpeg_set_colorspace(&info, JCS_YCCK);
  jpeg_set_quality(&info, 90, TRUE);
  info.arith_code = options.arithmetic ? TRUE : FALSE;
  if (options.progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  if (!options.icc.empty()) jpeg_write_icc_profile(&info, options.icc.data(), (unsigned)options.icc.size());
  while (info.next_scanline < height) {
    JSAMPROW row = (JSAMPROW)pixels.data() + (u64)info.next_scanline * width * channels;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Bytes out(buffer, buffer + size);
  free(buffer);
  return out;
}

// The inks' colour, in Lab, for the profile's table: each ink absorbs its own primary with a
// tint of the others, black a little less than fully.
static cmsInt32Number cmyk_to_lab_sample(const cmsUInt16Number in[], cmsUInt16Number out[], void *cargo) {
  f64 c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
  f64 rgb[3] = {(1 - 0.92 * c) * (1 - 0.08 * m) * (1 - 0.9 * k), (1 - 0.1 * c) * (1 - 0.88 * m) * (1 - 0.9 * k),
                (1 - 0.15 * m) * (1 - 0.95 * y) * (1 - 0.9 * k)};
  cmsUInt16Number rgb16[3];
  for (int i = 0; i < 3; i += 1) rgb16[i] = (cmsUInt16Number)(rgb[i] * 65535.0 + 0.5);
  cmsDoTransform((cmsHTRANSFORM)cargo, rgb16, out, 1);
  return TRUE;
}

static cmsInt32Number lab_to_cmyk_sample(const cmsUInt16Number in[], cmsUInt16Number out[], void *cargo) {
  cmsUInt16Number rgb[3];
  cmsDoTransform((cmsHTRANSFORM)cargo, in, rgb, 1);
  u32 k = 65535 - std::max({rgb[0], rgb[1], rgb[2]});
  for (int i = 0; i < 3; i += 1) out[i] = k == 65535 ? 0 : (cmsUInt16Number)((65535 - rgb[i] - k) * 65535.0 / (65535 - k));
  out[3] = (cmsUInt16Number)k;
  return TRUE;
}

Bytes cmyk_test_profile() {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM to_lab = cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_PERCEPTUAL, 0);
  cmsHTRANSFORM to_rgb = cmsCreateTransform(lab, TYPE_Lab_16, srgb, TYPE_RGB_16, INTENT_PERCEPTUAL, 0);
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(profile, 4.3);
  cmsSetDeviceClass(profile, cmsSigOutputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsPipeline *a2b = cmsPipelineAlloc(nullptr, 4, 3), *b2a = cmsPipelineAlloc(nullptr, 3, 4);
  cmsStage *forward = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  cmsStage *backward = cmsStageAllocCLut16bit(nullptr, 17, 3, 4, nullptr);
  cmsStageSampleCLut16bit(forward, cmyk_to_lab_sample, to_lab, 0);
  cmsStageSampleCLut16bit(backward, lab_to_cmyk_sample, to_rgb, 0);
  // a v4 table is curves, a grid, curves: the curves are straight lines
  cmsPipelineInsertStage(a2b, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
  cmsPipelineInsertStage(a2b, cmsAT_END, forward);
  cmsPipelineInsertStage(a2b, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsPipelineInsertStage(b2a, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
  cmsPipelineInsertStage(b2a, cmsAT_END, backward);
  cmsPipelineInsertStage(b2a, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
  cmsWriteTag(profile, cmsSigAToB0Tag, a2b);
  cmsWriteTag(profile, cmsSigBToA0Tag, b2a);
  cmsCIEXYZ white = {0.9642, 1.0, 0.8249};
  cmsWriteTag(profile, cmsSigMediaWhitePointTag, &white);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  Bytes out(size);
  cmsSaveProfileToMem(profile, out.data(), &size);
  cmsPipelineFree(a2b);
  cmsPipelineFree(b2a);
  cmsCloseProfile(profile);
  cmsDeleteTransform(to_lab);
  cmsDeleteTransform(to_rgb);
  cmsCloseProfile(srgb);
  cmsCloseProfile(lab);
  return out;
}

static int gif_append(GifFileType *gif, const GifByteType *data, int size) {
  Bytes *out = (Bytes *)gif->UserData;
  out->insert(out->end(), data, data + size);
  return size;
}

static ColorMapObject *gif_table(const Bytes &palette) {
  if (palette.empty()) return nullptr;
  return GifMakeMapObject((int)(palette.size() / 3), (const GifColorType *)palette.data());
}

Bytes make_gif(u32 screen_width, u32 screen_height, const Bytes &palette, const std::vector<GifFrame> &frames) {
  Bytes out;
  int error = 0;
  GifFileType *gif = EGifOpen(&out, gif_append, &error);
  if (!gif) return {};
  EGifSetGifVersion(gif, true);
  ColorMapObject *global = gif_table(palette);
  bool ok = EGifPutScreenDesc(gif, (int)screen_width, (int)screen_height, 8, 0, global) != GIF_ERROR;
  GifFreeMapObject(global);
  for (const GifFrame &frame : frames) {
    if (!ok) break;
    GraphicsControlBlock control = {DISPOSAL_UNSPECIFIED, false, 10, frame.transparent};
    GifByteType extension[4];
    size_t size = EGifGCBToExtension(&control, extension);
    ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, (int)size, extension) != GIF_ERROR;
    ColorMapObject *local = gif_table(frame.palette);
    ok = ok && EGifPutImageDesc(gif, (int)frame.left, (int)frame.top, (int)frame.width, (int)frame.height,
                                frame.interlaced, local) != GIF_ERROR;
    GifFreeMapObject(local);
    // the rows in the order they are stored: four passes when interlaced
    std::vector<u32> order;
    if (frame.interlaced) {
      const u32 start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
      for (u32 pass = 0; pass < 4; pass += 1) {
        for (u32 y = start[pass]; y < frame.height; y += step[pass]) order.push_back(y);
      }
    } else {
      for (u32 y = 0; y < frame.height; y += 1) order.push_back(y);
    }
    for (u32 y : order) {
      Bytes row(frame.indexes.begin() + (u64)y * frame.width, frame.indexes.begin() + (u64)(y + 1) * frame.width);
      ok = ok && EGifPutLine(gif, row.data(), (int)frame.width) != GIF_ERROR;
    }
  }
  ok = EGifCloseFile(gif, &error) != GIF_ERROR && ok;
  return ok ? out : Bytes{};
}
//~ TIFF
namespace {
struct TiffSink {
  Bytes data;
  u64 at = 0;
};
tmsize_t sink_read(thandle_t h, void *buf, tmsize_t n) {
  TiffSink *s = (TiffSink *)h;
  u64 got = s->at < s->data.size() ? std::min<u64>((u64)n, s->data.size() - s->at) : 0;
  memcpy(buf, s->data.data() + s->at, got);
  s->at += got;
  return (tmsize_t)got;
}
tmsize_t sink_write(thandle_t h, void *buf, tmsize_t n) {
  TiffSink *s = (TiffSink *)h;
  if (s->at + n > s->data.size()) s->data.resize(s->at + n);
  memcpy(s->data.data() + s->at, buf, (size_t)n);
  s->at += n;
  return n;
}
toff_t sink_seek(thandle_t h, toff_t off, int whence) {
  TiffSink *s = (TiffSink *)h;
  s->at = (whence == SEEK_CUR ? s->at : whence == SEEK_END ? s->data.size() : 0) + off;
  return s->at;
}
int sink_close(thandle_t) { return 0; }
toff_t sink_size(thandle_t h) { return ((TiffSink *)h)->data.size(); }
int sink_map(thandle_t, void **, toff_t *) { return 0; }
void sink_unmap(thandle_t, void *, toff_t) {}
} // namespace

Bytes tiff_file(const std::vector<TiffPage> &pages) {
  TiffSink sink;
  TIFF *tif = TIFFClientOpen("test", pages.empty() ? "w" : pages[0].big ? (pages[0].big_endian ? "w8b" : "w8") : (pages[0].big_endian ? "wb" : "w"), (thandle_t)&sink, sink_read, sink_write,
                             sink_seek, sink_close, sink_size, sink_map, sink_unmap);
  if (!tif) return {};
  for (const TiffPage &p : pages) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.samples);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, p.bits);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, p.compression);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, p.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (p.extra) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &p.extra);
    if (p.orientation) TIFFSetField(tif, TIFFTAG_ORIENTATION, p.orientation);
    if (!p.icc.empty()) TIFFSetField(tif, TIFFTAG_ICCPROFILE, (u32)p.icc.size(), p.icc.data());
    if (!p.colormap.empty()) {
      u64 n = p.colormap.size() / 3;
      TIFFSetField(tif, TIFFTAG_COLORMAP, p.colormap.data(), p.colormap.data() + n, p.colormap.data() + 2 * n);
    }
    if (p.dng) TIFFSetField(tif, TIFFTAG_DNGVERSION, "\x01\x04\x00\x00");
    if (p.compression == COMPRESSION_JPEG && p.photometric == PHOTOMETRIC_YCBCR) {
      TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
      TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 90);
    }
    u32 planes = p.separate ? p.samples : 1;
    u64 sample = p.bits / 8;
    u64 unit = p.separate ? sample : p.samples * sample; // bytes of a pixel in one plane
    u64 pixel = p.samples * sample;
    auto plane_rows = [&](u32 plane, u32 y, u32 rows, u32 x, u32 columns, u32 stride, Bytes &out) {
      out.assign((u64)rows * stride * unit, 0);
      for (u32 r = 0; r < rows && y + r < p.height; r += 1) {
        for (u32 c = 0; c < columns && x + c < p.width; c += 1) {
          const u8 *s = p.pixels.data() + ((u64)(y + r) * p.width + x + c) * pixel + (p.separate ? plane * sample : 0);
          memcpy(out.data() + ((u64)r * stride + c) * unit, s, unit);
        }
      }
    };
    Bytes piece;
    if (p.bits < 8) {
      u64 row = ((u64)p.width * p.samples * p.bits + 7) / 8;
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, p.height);
      if (TIFFWriteEncodedStrip(tif, 0, (void *)p.pixels.data(), (tmsize_t)(row * p.height)) < 0) {
        TIFFClose(tif);
        return {};
      }
    } else if (p.tile) {
      TIFFSetField(tif, TIFFTAG_TILEWIDTH, p.tile);
      TIFFSetField(tif, TIFFTAG_TILELENGTH, p.tile);
      for (u32 plane = 0; plane < planes; plane += 1) {
        for (u32 y = 0; y < p.height; y += p.tile) {
          for (u32 x = 0; x < p.width; x += p.tile) {
            plane_rows(plane, y, p.tile, x, p.tile, p.tile, piece);
            if (TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, x, y, 0, (u16)plane), piece.data(), (tmsize_t)piece.size()) < 0) {
              TIFFClose(tif);
              return {};
            }
          }
        }
      }
    } else {
      u32 rows = p.rows_per_strip ? p.rows_per_strip : 8;
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
      for (u32 plane = 0; plane < planes; plane += 1) {
        for (u32 y = 0; y < p.height; y += rows) {
          u32 n = std::min(rows, p.height - y);
          plane_rows(plane, y, n, 0, p.width, p.width, piece);
          if (TIFFWriteEncodedStrip(tif, TIFFComputeStrip(tif, y, (u16)plane), piece.data(), (tmsize_t)piece.size()) < 0) {
            TIFFClose(tif);
            return {};
          }
        }
      }
    }
    if (!TIFFWriteDirectory(tif)) {
      TIFFClose(tif);
      return {};
    }
  }
  TIFFClose(tif);
  return sink.data;
}

Bytes tiff_samples16(const std::vector<u16> &samples) {
  Bytes b(samples.size() * 2);
  memcpy(b.data(), samples.data(), b.size());
  return b;
}


//~ DNG
// The sRGB curve undone: a sensor counts light linearly.
static double srgb_linear(u8 v) {
  double c = v / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

Bytes dng_file(const Bytes &rgb, u32 width, u32 height, u16 orientation) {
  TiffSink sink;
  TIFF *tif = TIFFClientOpen("test", "w", (thandle_t)&sink, sink_read, sink_write, sink_seek, sink_close, sink_size,
                             sink_map, sink_unmap);
  if (!tif) return {};
  // the first page: a small preview, as cameras write, pointing at the raw data in a sub-image
  const u32 preview_width = 4, preview_height = 4;
  Bytes preview(preview_width * preview_height * 3, 128);
  toff_t sub_offset = 0;
  // camera RGB is linear sRGB seen through the sensor's own response to each colour: the
  // matrix from XYZ (for daylight) is sRGB's times that response. The scene was lit by a warm
  // light, so white as shot is the response times that light: only the camera's white
  // balance, not daylight's, takes its cast away.
  const float response[3] = {0.45f, 1.0f, 0.7f}, light[3] = {1.25f, 1.0f, 0.65f};
  float xyz_to_camera[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f, 0.0415f, 0.0557f, -0.2040f, 1.0570f};
  for (u32 i = 0; i < 9; i += 1) xyz_to_camera[i] *= response[i / 3];
  float neutral[3] = {response[0] * light[0], response[1] * light[1], response[2] * light[2]};
  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, preview_width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, preview_height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, preview_height);
  TIFFSetField(tif, TIFFTAG_MAKE, "Vantor");
  TIFFSetField(tif, TIFFTAG_MODEL, "Test Camera");
  TIFFSetField(tif, TIFFTAG_ORIENTATION, orientation);
  TIFFSetField(tif, TIFFTAG_DNGVERSION, "\x01\x04\x00\x00");
  TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, "\x01\x01\x00\x00");
  TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Vantor Test Camera");
  TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, xyz_to_camera);
  TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
  TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21); // D65
  TIFFSetField(tif, TIFFTAG_SUBIFD, 1, &sub_offset);
  if (TIFFWriteEncodedStrip(tif, 0, preview.data(), (tmsize_t)preview.size()) < 0 || !TIFFWriteDirectory(tif)) {
    TIFFClose(tif);
    return {};
  }
  // the raw data: an RGGB mosaic of 16-bit samples between the black and white levels
  const u32 black = 512, white = 16383;
  std::vector<u16> mosaic((u64)width * height);
  for (u32 y = 0; y < height; y += 1) {
    for (u32 x = 0; x < width; x += 1) {
      u32 channel = (y & 1) + (x & 1); // R G / G B
      double seen = srgb_linear(rgb[((u64)y * width + x) * 3 + channel]) * neutral[channel];
      mosaic[(u64)y * width + x] = (u16)(black + seen * (white - black) + 0.5);
    }
  }
  u16 pattern_dim[2] = {2, 2};
  u8 pattern[4] = {0, 1, 1, 2};
  float black_level[1] = {black};
  u32 white_level[1] = {white};
  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
  TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, pattern_dim);
  TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, pattern);
  TIFFSetField(tif, TIFFTAG_BLACKLEVEL, 1, black_level);
  TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, white_level);
  for (u32 y = 0; y < height; y += 16) {
    u32 rows = std::min(16u, height - y);
    if (TIFFWriteEncodedStrip(tif, y / 16, mosaic.data() + (u64)y * width, (tmsize_t)rows * width * 2) < 0) {
      TIFFClose(tif);
      return {};
    }
  }
  if (!TIFFWriteDirectory(tif)) {
    TIFFClose(tif);
    return {};
  }
  TIFFClose(tif);
  return sink.data;
}
