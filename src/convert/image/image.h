// Image library: what is inside a picture file and a picture, below the job that converts
// sources. It includes base/ only: no files, no console and no threads of its own; the job
// hands it bytes, buffers and arenas and gets pictures and files back.
//
// Owns: the table of image formats and each format's module (how its files begin and end, its
// probe, the tags a viewer applies, its decoder and encoder, its entry in the table); one
// adapter per library, the only module that calls it: stb's decoder, resampler and writers in
// image_stb (src/third_party compiles them), libdeflate behind the PNG writer's zlib step and
// the iCCP reader in image_png, libjpeg-turbo (the JPEGs stb refuses, CMYK through their
// profile) in image_jpeg_turbo, libwebp in image_webp, libheif in image_heif, libtiff in
// image_tiff, LibRaw in image_raw, giflib in image_gif, lcms2 in image_color; the image libraries' heap; our own
// JPEG writer, stb's bytes written faster; the encoders' sink; and the picture stages of the pipeline: statistics and the pixel
// checksum, colour conversion to sRGB, fitting into a box, turning upright, backgrounds, and
// the attention search that picks a cover output's window.
//
// Where to look: what a format's functions hand back (CodecProbe, CodecPhotoTags, CodecDecoded,
// the DecodeFailure kinds and their reasons) is declared in image_format.h, beside the table
// that names those functions. PNG and JPEG share stb's probe, completeness rule and tags
// reader (image_stb), which use the formats' own readers (image_png, image_jpeg). Each format's
// entry, at the end of its module, names the functions that serve it, wherever they live. The
// sizes a HEIF's or AVIF's coded pictures declare are read in image_heif_sizes, before libheif
// decodes. The pixel checksum (codec_blake2b128) sits in image_stats, with the other facts a
// record gives of a picture.
//
// Threads: any number of conversion workers call it at once. Every call works on the caller's
// buffers and keeps nothing between calls but per-thread state: the heap's kept blocks and
// decode budget, the colour transforms of the last profile met, stb's failure reason. The one
// shared setting, the PNG compression level, is written once at set-up before any worker
// starts; libheif registers its codecs once, on first use, from whichever thread comes first.
//
// Locks: none. The format table is constant; the heap's budget serial is one atomic counter.
//
// Adding a format:
// - a module image_<name>.{h,cpp}: its reading (starts_as, complete, probe, photo_tags,
//   decode_heap), its encoder when it is written, the only calls of its library; and at its
//   end its entry, `const ImageFormat Format<Name> = {.file_type = ..., .name = ..., ...}`, every
//   field named, declared extern in its header (a new FileType number goes in image_format.h);
// - one line `&Format<Name>,` in image_format.cpp's table (the order signatures are tried in
//   and names are listed in), and its header below;
// - its tests, tests/image_<name>_test.cpp: what it reads back from what it writes, damaged and
//   cut-short files failing cleanly (image_format_test.cpp puts them through the table too);
// - the README's formats list: its opening lines, the help's image types (the help itself
//   reads them from the table) and the targets' image_type row. A new library also needs its
//   Debian package in scripts/deps (and its Windows build there), its pkg-config module in
//   CMakeLists.txt and its headers in scripts/check-layers' list.
#pragma once

#include "base/base.h"

#include "convert/image/image_heap.h"
#include "convert/image/image_sink.h"
#include "convert/image/image_metadata.h"
#include "convert/image/image_format.h"
#include "convert/image/image_exif.h"
#include "convert/image/image_png.h"
#include "convert/image/image_jpeg.h"
#include "convert/image/image_jpeg_writer.h"
#include "convert/image/image_stb.h"
#include "convert/image/image_jpeg_turbo.h"
#include "convert/image/image_webp.h"
#include "convert/image/image_heif_sizes.h"
#include "convert/image/image_heif.h"
#include "convert/image/image_gif.h"
#include "convert/image/image_tiff.h"
#include "convert/image/image_jxl.h"
#include "convert/image/image_raw.h"
#include "convert/image/image_stats.h"
#include "convert/image/image_color.h"
#include "convert/image/image_pixels.h"
#include "convert/image/image_attention.h"
