// Writes the benchmark corpora: photo-like JPEGs and PNGs in the mix a photo drop sees, phone
// photos with and without their Exif and ICC segments, phone photos as HEIC, WebP pictures, GIFs,
// TIFFs, JPEG XL pictures,
// and the sets the many-files and idle runs drain or leave in place.
//
//   bench_corpus [--quick] [--large | --flood | --backlog | --stuck | --phone | --phone-untagged |
//                --heic | --webp | --odd-jpeg | --gif | --tiff | --jxl | --dng] <folder>
//
//   (none)     about 60 photos, scans and cut-outs, 300 megapixels (--quick: 8 files, 16 MP)
//   --large    six 20-megapixel camera photos
//   --flood    3000 distinct 640x480 JPEG photos in the folder itself (--quick: 300)
//   --backlog  20000 distinct 64x48 PNGs spread over the sub-folders d00..d19 (--quick: 2000)
//   --stuck    60 distinct 2600x1700 RGB PNGs of noise, about 13 MB each (--quick: 6)
//   --phone    16 phone photos, 4000x3000 JPEGs: Exif orientations 1 to 8, each once with a
//              Display P3 and once with an Adobe RGB (1998) profile (--quick: 4)
//   --phone-untagged  the same scenes as a camera without those segments stores them: upright,
//              to compare with (the outputs of both have the same sizes)
//   --heic     100 phone photos of 12 megapixels as HEIC (HEVC through libheif and x265): 80
//              4032x3024 and 20 portrait 3024x4032, stored upright (--quick: 5 and 1)
//   --webp     300 WebP pictures in the sizes of the photo corpus: lossy photos, frames and
//              thumbnails, lossy and lossless cut-outs with alpha, lossless scans (--quick: 20)
//   --odd-jpeg six JPEGs through libjpeg-turbo's writer that stb does not read, or not in their
//              colours: arithmetic-coded (sequential and progressive), stray bytes before a
//              marker, a short APP14 segment, CMYK and YCCK with a CMYK profile (--quick: the
//              same six at 64 x 48)
//   --gif      300 GIFs as the web serves them: logos with transparency, banners, animations
//              of 6 to 12 frames with and without it, small photos; 256 colours, dithered
//              (--quick: 20)
//   --tiff     78 TIFFs through libtiff, about 350 MB: A4 scans at 300 dpi (8-bit RGB, LZW,
//              strips), 16-bit RGB (Deflate), grey scans, tiled pictures, frames and thumbnails,
//              and three-page files (--quick: 10 smaller ones)
//   --jxl      100 JPEG XL pictures through libjxl in the sizes of the photo corpus: lossy photos,
//              frames and thumbnails at distance 1 (quality 90), lossy cut-outs with alpha,
//              lossless cut-outs with alpha, scans and thumbnails (--quick: 10)
//   --dng      30 DNGs of a 12-megapixel sensor, about 720 MB: an RGGB mosaic of 16-bit samples
//              with its colour matrix and white balance, 6 of them turned (--quick: 3 of 3 MP)
//
// The folder is generated once and reused: a stamp naming the corpus version and mode is
// written last, and a folder whose stamp matches is left as it is. Otherwise every file in
// the folder and its sub-folders is removed and the corpus is written again. Same version,
// same bytes. The pictures are written without syncing each one (20000 syncs would take
// longer than drawing them); only the stamp is durable.
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <gif_lib.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <tiffio.h>

#include "convert/image/image.h"
#include "os/os.h"

#include "bench_image.h"

//~ Corpus plan
enum CorpusKind : u32 {
  CorpusJpeg,
  CorpusPng,
  CorpusPng16,
  CorpusPngNoise,  // every byte from the generator: deflate cannot shrink it
  CorpusPhoneJpeg, // stored turned, with Exif and ICC segments (see "Phone photos")
  CorpusHeic,      // HEVC at the group's quality
  CorpusWebp,      // lossy at the group's quality
  CorpusWebpLossless,
  CorpusJxl,         // lossy, at the distance of the group's quality
  CorpusJxlLossless,
  // libjpeg-turbo's writer (see "Odd JPEGs")
  CorpusJpegArithmetic,
  CorpusJpegArithmeticProgressive,
  CorpusJpegStray,     // three bytes that are no marker before the start of scan
  CorpusJpegShortApp14, // an APP14 whose length field is 0, after the start of image
  CorpusJpegCmyk,      // inks stored inverted with an Adobe marker, and a CMYK profile
  CorpusJpegYcck,
  CorpusGif, // 256 colours, ordered dithering; its frames after the first move over it
  CorpusTiffLzw,     // 8 bits, LZW with horizontal differencing, strips
  CorpusTiff16,      // 16-bit RGB, Deflate with horizontal differencing, strips
  CorpusTiffTiled,   // 8 bits, Deflate, 256x256 tiles
  CorpusTiffPages,   // three pages, LZW: the picture, then two at half its size
  CorpusDng,         // a camera's raw file: an RGGB mosaic of 16-bit samples (see "DNG")
};

// The colour spaces phones tag their photos with.
enum CorpusProfile : u32 {
  ProfileNone,
  ProfileDisplayP3,
  ProfileAdobeRgb,
};

struct CorpusGroup {
  const char *stem;
  u32 count;
  u32 width;
  u32 height;
  u32 channels;
  CorpusKind kind;
  int quality; // JPEG, lossy WebP and JPEG XL, and HEIC
  u32 orientation = 0;                 // phone photos and DNGs: the Exif orientation, 1 to 8
  CorpusProfile profile = ProfileNone; // phone photos
  u32 frames = 1;                      // GIFs
};

// Bump when a picture or the plan changes, so that stale corpora are regenerated.
static const char CorpusVersion[] = "1";

// About 60 files and 300 megapixels: camera photos dominate the pixels, full-HD frames and
// thumbnails the file count, and cut-outs, greys and one 16-bit file exercise the other paths.
static const CorpusGroup CorpusFull[] = {
    {"photo", 13, 4000, 3000, 3, CorpusJpeg, 90},
    {"portrait", 2, 3000, 4000, 3, CorpusJpeg, 90},
    {"hd", 17, 1920, 1080, 3, CorpusJpeg, 85},
    {"cutout_square", 5, 2048, 2048, 4, CorpusPng, 0},
    {"cutout_portrait", 5, 1600, 2400, 4, CorpusPng, 0},
    {"scan", 2, 2400, 1600, 3, CorpusPng, 0},
    {"grey", 4, 2560, 1920, 1, CorpusPng, 0},
    {"grey_alpha", 1, 2560, 1920, 2, CorpusPng, 0},
    {"thumb", 3, 200, 200, 3, CorpusJpeg, 80},
    {"thumb", 2, 240, 180, 3, CorpusJpeg, 80},
    {"thumb", 3, 200, 200, 4, CorpusPng, 0},
    {"thumb", 2, 180, 240, 3, CorpusPng, 0},
    {"deep16", 1, 3000, 2000, 3, CorpusPng16, 0},
};

// Six 20-megapixel camera photos: what peak memory is measured on.
static const CorpusGroup CorpusLarge[] = {
    {"camera20", 6, 5472, 3648, 3, CorpusJpeg, 90},
};

// Eight files, about 16 megapixels: one of each kind.
static const CorpusGroup CorpusQuick[] = {
    {"photo", 1, 4000, 3000, 3, CorpusJpeg, 90},
    {"hd", 1, 1920, 1080, 3, CorpusJpeg, 85},
    {"cutout_square", 1, 800, 800, 4, CorpusPng, 0},
    {"cutout_portrait", 1, 600, 900, 4, CorpusPng, 0},
    {"grey", 1, 640, 480, 1, CorpusPng, 0},
    {"thumb", 1, 200, 200, 3, CorpusJpeg, 80},
    {"thumb", 1, 240, 180, 4, CorpusPng, 0},
    {"deep16", 1, 640, 480, 3, CorpusPng16, 0},
};

// Many small files: what a camera card or a sync client drops at once.
static const CorpusGroup CorpusFlood[] = {
    {"flood", 3000, 640, 480, 3, CorpusJpeg, 90},
};
static const CorpusGroup CorpusFloodQuick[] = {
    {"flood", 300, 640, 480, 3, CorpusJpeg, 90},
};
static const CorpusGroup CorpusBacklog[] = {
    {"backlog", 20000, 64, 48, 3, CorpusPng, 0},
};
static const CorpusGroup CorpusBacklogQuick[] = {
    {"backlog", 2000, 64, 48, 3, CorpusPng, 0},
};
// Large files whose bytes are mostly pixels: memory while they wait, refused, in the folder.
static const CorpusGroup CorpusStuck[] = {
    {"stuck", 60, 2600, 1700, 3, CorpusPngNoise, 0},
};
static const CorpusGroup CorpusStuckQuick[] = {
    {"stuck", 6, 2600, 1700, 3, CorpusPngNoise, 0},
};

// Phone photos: the sensor's 4000x3000 picture stored as it was taken, with the orientation
// that turns it upright, and every orientation once with each of the profiles phones embed.
static const CorpusGroup CorpusPhone[] = {
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 1, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 1, ProfileAdobeRgb},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 2, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 2, ProfileAdobeRgb},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 3, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 3, ProfileAdobeRgb},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 4, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 4, ProfileAdobeRgb},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 5, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 5, ProfileAdobeRgb},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 6, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 6, ProfileAdobeRgb},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 7, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 7, ProfileAdobeRgb},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 8, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 8, ProfileAdobeRgb},
};
// Upright, upside down and both quarter turns; each profile twice.
static const CorpusGroup CorpusPhoneQuick[] = {
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 1, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 3, ProfileAdobeRgb},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 6, ProfileDisplayP3},
    {"phone", 1, 4000, 3000, 3, CorpusPhoneJpeg, 90, 8, ProfileAdobeRgb},
};

// Phone photos as current phones store them: 12 megapixels, HEVC in a HEIF file. libheif
// cannot write the rotation a phone adds to a portrait photo, so those are stored upright.
// A phone's own files are a grid of 512x512 tiles; these are one picture each.
static const CorpusGroup CorpusHeicSet[] = {
    {"heic", 80, 4032, 3024, 3, CorpusHeic, 50},
    {"heic_portrait", 20, 3024, 4032, 3, CorpusHeic, 50},
};
static const CorpusGroup CorpusHeicQuick[] = {
    {"heic", 5, 4032, 3024, 3, CorpusHeic, 50},
    {"heic_portrait", 1, 3024, 4032, 3, CorpusHeic, 50},
};

// WebP as the web serves it, in the photo corpus's sizes: lossy photos, frames and thumbnails,
// cut-outs with alpha both lossy and lossless, lossless scans. About 456 megapixels.
static const CorpusGroup CorpusWebpSet[] = {
    {"photo", 12, 4000, 3000, 3, CorpusWebp, 80},
    {"portrait", 3, 3000, 4000, 3, CorpusWebp, 80},
    {"hd", 60, 1920, 1080, 3, CorpusWebp, 80},
    {"cutout_square", 15, 2048, 2048, 4, CorpusWebp, 85},
    {"cutout_portrait", 15, 1600, 2400, 4, CorpusWebpLossless, 0},
    {"scan", 6, 2400, 1600, 3, CorpusWebpLossless, 0},
    {"thumb", 100, 200, 200, 3, CorpusWebp, 80},
    {"thumb", 60, 240, 180, 3, CorpusWebp, 80},
    {"thumb", 29, 180, 240, 4, CorpusWebpLossless, 0},
};
static const CorpusGroup CorpusWebpQuick[] = {
    {"photo", 1, 4000, 3000, 3, CorpusWebp, 80},
    {"hd", 3, 1920, 1080, 3, CorpusWebp, 80},
    {"cutout_square", 1, 800, 800, 4, CorpusWebp, 85},
    {"cutout_portrait", 1, 600, 900, 4, CorpusWebpLossless, 0},
    {"scan", 1, 1200, 800, 3, CorpusWebpLossless, 0},
    {"thumb", 7, 200, 200, 3, CorpusWebp, 80},
    {"thumb", 4, 240, 180, 3, CorpusWebp, 80},
    {"thumb", 2, 180, 240, 4, CorpusWebpLossless, 0},
};

// JPEG XL as archives and web pipelines store it: lossy photos at distance 1 (quality 90), cut-outs
// with alpha, lossy and lossless, lossless scans. About 200 megapixels.
static const CorpusGroup CorpusJxlSet[] = {
    {"photo", 10, 4000, 3000, 3, CorpusJxl, 90},
    {"portrait", 2, 3000, 4000, 3, CorpusJxl, 90},
    {"hd", 30, 1920, 1080, 3, CorpusJxl, 90},
    {"cutout_square", 6, 2048, 2048, 4, CorpusJxl, 90},
    {"cutout_portrait", 4, 1600, 2400, 4, CorpusJxlLossless, 0},
    {"scan", 3, 2400, 1600, 3, CorpusJxlLossless, 0},
    {"thumb", 30, 200, 200, 3, CorpusJxl, 90},
    {"thumb", 15, 180, 240, 4, CorpusJxlLossless, 0},
};
static const CorpusGroup CorpusJxlQuick[] = {
    {"photo", 1, 4000, 3000, 3, CorpusJxl, 90},
    {"hd", 3, 1920, 1080, 3, CorpusJxl, 90},
    {"cutout_square", 1, 800, 800, 4, CorpusJxl, 90},
    {"cutout_portrait", 1, 600, 900, 4, CorpusJxlLossless, 0},
    {"scan", 1, 1200, 800, 3, CorpusJxlLossless, 0},
    {"thumb", 2, 200, 200, 3, CorpusJxl, 90},
    {"thumb", 1, 180, 240, 4, CorpusJxlLossless, 0},
};

// JPEGs that other tools read and stb does not, or not in their colours: the second decoder's
// and the CMYK conversion's work, and the same bytes on every system.
static const CorpusGroup CorpusOddJpeg[] = {
    {"arithmetic", 1, 1600, 1200, 3, CorpusJpegArithmetic, 90},
    {"arithmetic_progressive", 1, 1600, 1200, 3, CorpusJpegArithmeticProgressive, 90},
    {"stray", 1, 1600, 1200, 3, CorpusJpegStray, 90},
    {"short_app14", 1, 1600, 1200, 3, CorpusJpegShortApp14, 90},
    {"cmyk", 1, 1200, 1600, 3, CorpusJpegCmyk, 90},
    {"ycck", 1, 1200, 1600, 3, CorpusJpegYcck, 90},
};
// The same six at the size of the Windows build's check, 64 x 48.
static const CorpusGroup CorpusOddJpegQuick[] = {
    {"arithmetic", 1, 64, 48, 3, CorpusJpegArithmetic, 90},
    {"arithmetic_progressive", 1, 64, 48, 3, CorpusJpegArithmeticProgressive, 90},
    {"stray", 1, 64, 48, 3, CorpusJpegStray, 90},
    {"short_app14", 1, 64, 48, 3, CorpusJpegShortApp14, 90},
    {"cmyk", 1, 64, 48, 3, CorpusJpegCmyk, 90},
    {"ycck", 1, 64, 48, 3, CorpusJpegYcck, 90},
};

// GIFs as the web serves them: logos and stickers with a transparent colour, banners, short
// animations of sub-rectangles over a first frame, small photos. About 36 megapixels of first
// frames.
static const CorpusGroup CorpusGifSet[] = {
    {"logo", 100, 256, 256, 4, CorpusGif, 0},
    {"logo_wide", 40, 400, 120, 4, CorpusGif, 0},
    {"banner", 40, 728, 90, 3, CorpusGif, 0},
    {"anim", 60, 480, 270, 3, CorpusGif, 0, 0, ProfileNone, 12},
    {"sticker", 30, 320, 320, 4, CorpusGif, 0, 0, ProfileNone, 6},
    {"photo", 30, 800, 600, 3, CorpusGif, 0},
};
static const CorpusGroup CorpusGifQuick[] = {
    {"logo", 6, 256, 256, 4, CorpusGif, 0},
    {"logo_wide", 3, 400, 120, 4, CorpusGif, 0},
    {"banner", 3, 728, 90, 3, CorpusGif, 0},
    {"anim", 4, 480, 270, 3, CorpusGif, 0, 0, ProfileNone, 12},
    {"sticker", 2, 320, 320, 4, CorpusGif, 0, 0, ProfileNone, 6},
    {"photo", 2, 800, 600, 3, CorpusGif, 0},
};

// TIFF as scanners, print and archives deliver it. About 350 MB.
static const CorpusGroup CorpusTiffSet[] = {
    {"scan_a4", 6, 2480, 3508, 3, CorpusTiffLzw, 0},
    {"deep16", 3, 2400, 1600, 3, CorpusTiff16, 0},
    {"grey_a4", 8, 2480, 3508, 1, CorpusTiffLzw, 0},
    {"tiled", 8, 2048, 2048, 3, CorpusTiffTiled, 0},
    {"hd", 16, 1920, 1080, 3, CorpusTiffLzw, 0},
    {"pages", 4, 1600, 1200, 3, CorpusTiffPages, 0},
    {"thumb", 33, 200, 200, 3, CorpusTiffLzw, 0},
};
static const CorpusGroup CorpusTiffQuick[] = {
    {"scan_a4", 1, 1240, 1754, 3, CorpusTiffLzw, 0},
    {"deep16", 1, 640, 480, 3, CorpusTiff16, 0},
    {"grey_a4", 1, 1240, 1754, 1, CorpusTiffLzw, 0},
    {"tiled", 1, 800, 800, 3, CorpusTiffTiled, 0},
    {"hd", 2, 1920, 1080, 3, CorpusTiffLzw, 0},
    {"pages", 1, 640, 480, 3, CorpusTiffPages, 0},
    {"thumb", 3, 200, 200, 3, CorpusTiffLzw, 0},
};

// Camera raw files as a photographer's card holds them, DNGs of a 12-megapixel sensor: the
// picture developed by LibRaw is the sensor's size. About 720 MB.
static const CorpusGroup CorpusDngSet[] = {
    {"dng", 24, 4000, 3000, 3, CorpusDng, 0, 1},
    {"dng_portrait", 6, 4000, 3000, 3, CorpusDng, 0, 6},
};
static const CorpusGroup CorpusDngQuick[] = {
    {"dng", 2, 2000, 1500, 3, CorpusDng, 0, 1},
    {"dng_portrait", 1, 2000, 1500, 3, CorpusDng, 0, 6},
};

// Photos a camera uploads one at a time into a watched folder: the photo corpus's 12-megapixel
// kind, each of its own scene, so that no two share an output's name.
static const CorpusGroup CorpusLatency[] = {
    {"photo", 30, 4000, 3000, 3, CorpusJpeg, 90},
};
static const CorpusGroup CorpusLatencyQuick[] = {
    {"photo", 6, 4000, 3000, 3, CorpusJpeg, 90},
};

#define CORPUS_GROUPS(groups) groups, sizeof(groups) / sizeof(groups[0])

struct CorpusPlan {
  const char *option; // the mode's option, without the dashes
  const char *stamp;  // the mode's name in the stamp
  const CorpusGroup *groups;
  u64 group_count;
  u32 folders; // 0: every file in the top folder; otherwise round-robin over d00, d01, ...
  u64 seed_base;
  bool untagged = false; // phone photos stored upright, without their Exif and ICC segments
};

// The first mode of each option is the full one and the second the quick one. The seeds of
// the photo corpora are those they always had, so their bytes did not change. Both phone sets
// share their plan and seeds: the untagged files hold the tagged files' scenes, stored upright.
static const CorpusPlan CorpusPlans[] = {
    {"", "full", CORPUS_GROUPS(CorpusFull), 0, 0},
    {"", "quick", CORPUS_GROUPS(CorpusQuick), 0, 1000},
    {"large", "large", CORPUS_GROUPS(CorpusLarge), 0, 0},
    {"flood", "flood", CORPUS_GROUPS(CorpusFlood), 0, 100000},
    {"flood", "flood quick", CORPUS_GROUPS(CorpusFloodQuick), 0, 100000},
    {"backlog", "backlog", CORPUS_GROUPS(CorpusBacklog), 20, 200000},
    {"backlog", "backlog quick", CORPUS_GROUPS(CorpusBacklogQuick), 20, 200000},
    {"stuck", "stuck", CORPUS_GROUPS(CorpusStuck), 0, 300000},
    {"stuck", "stuck quick", CORPUS_GROUPS(CorpusStuckQuick), 0, 300000},
    {"phone", "phone", CORPUS_GROUPS(CorpusPhone), 0, 400000},
    {"phone", "phone quick", CORPUS_GROUPS(CorpusPhoneQuick), 0, 400000},
    {"phone-untagged", "phone upright", CORPUS_GROUPS(CorpusPhone), 0, 400000, true},
    {"phone-untagged", "phone upright quick", CORPUS_GROUPS(CorpusPhoneQuick), 0, 400000, true},
    {"heic", "heic", CORPUS_GROUPS(CorpusHeicSet), 0, 500000},
    {"heic", "heic quick", CORPUS_GROUPS(CorpusHeicQuick), 0, 500000},
    {"webp", "webp", CORPUS_GROUPS(CorpusWebpSet), 0, 600000},
    {"webp", "webp quick", CORPUS_GROUPS(CorpusWebpQuick), 0, 600000},
    {"odd-jpeg", "odd jpeg", CORPUS_GROUPS(CorpusOddJpeg), 0, 700000},
    {"odd-jpeg", "odd jpeg quick", CORPUS_GROUPS(CorpusOddJpegQuick), 0, 700000},
    {"gif", "gif", CORPUS_GROUPS(CorpusGifSet), 0, 700000},
    {"gif", "gif quick", CORPUS_GROUPS(CorpusGifQuick), 0, 700000},
    {"tiff", "tiff", CORPUS_GROUPS(CorpusTiffSet), 0, 700000},
    {"tiff", "tiff quick", CORPUS_GROUPS(CorpusTiffQuick), 0, 700000},
    {"jxl", "jxl", CORPUS_GROUPS(CorpusJxlSet), 0, 800000},
    {"jxl", "jxl quick", CORPUS_GROUPS(CorpusJxlQuick), 0, 800000},
    {"dng", "dng", CORPUS_GROUPS(CorpusDngSet), 0, 800000},
    {"dng", "dng quick", CORPUS_GROUPS(CorpusDngQuick), 0, 800000},
    {"latency", "latency", CORPUS_GROUPS(CorpusLatency), 0, 900000},
    {"latency", "latency quick", CORPUS_GROUPS(CorpusLatencyQuick), 0, 900000},
};

//~ Phone photos
// A phone stores the sensor's picture as it was read out and records in Exif how to turn it
// upright. The scene is drawn upright here and stored the way the phone would have stored it,
// so a converter that honours the orientation makes every output stand with its sky on top,
// and one that ignores it shows the turn.

// Which stored pixel shows at display position (dx, dy), for a stored picture of
// width x height (orientations 5 to 8 swap the display's sides).
static void phone_stored_at(u32 orientation, u64 width, u64 height, u64 dx, u64 dy, u64 *sx, u64 *sy) {
  switch (orientation) {
  case 2: *sx = width - 1 - dx; *sy = dy; break;
  case 3: *sx = width - 1 - dx; *sy = height - 1 - dy; break;
  case 4: *sx = dx; *sy = height - 1 - dy; break;
  case 5: *sx = dy; *sy = dx; break;
  case 6: *sx = dy; *sy = height - 1 - dx; break;
  case 7: *sx = width - 1 - dy; *sy = height - 1 - dx; break;
  case 8: *sx = width - 1 - dy; *sy = dx; break;
  default: *sx = dx; *sy = dy; break;
  }
}

// Fills the stored width x height RGB picture of an upright scene.
static void phone_photo(Arena *arena, u8 *pixels, u64 width, u64 height, u32 orientation, u64 seed) {
  bool sideways = orientation >= 5 && orientation <= 8;
  u64 display_w = sideways ? height : width, display_h = sideways ? width : height;
  Scratch scratch = scratch_begin(arena);
  u8 *upright = arena_push_uninit<u8>(scratch.arena, display_w * display_h * 3);
  bench_photo(upright, display_w, display_h, 3, seed);
  for (u64 dy = 0; dy < display_h; dy += 1) {
    const u8 *src = upright + dy * display_w * 3;
    for (u64 dx = 0; dx < display_w; dx += 1) {
      u64 sx, sy;
      phone_stored_at(orientation, width, height, dx, dy, &sx, &sy);
      memcpy(pixels + (sy * width + sx) * 3, src + dx * 3, 3);
    }
  }
  scratch_restore(scratch);
}

//- ICC profiles
// Display P3 (v4, the sRGB curve) and Adobe RGB (1998) (v2, gamma 563/256, which curv's 8.8
// fixed point holds exactly), as the profiles phones embed are made. lcms2 dates a profile
// when it is made; the date is fixed so that the corpus keeps its bytes, and the v4 profile's
// ID is computed over the fixed date.
static Str8 phone_profile_bytes(Arena *arena, cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0) return Str8{};
  u8 *bytes = arena_push_uninit<u8>(arena, size);
  if (!cmsSaveProfileToMem(profile, bytes, &size)) return Str8{};
  return Str8{bytes, size};
}

// Empty when lcms2 fails.
static Str8 phone_profile(Arena *arena, CorpusProfile which) {
  cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
  cmsCIExyYTRIPLE primaries;
  cmsToneCurve *curve;
  const char *description;
  if (which == ProfileDisplayP3) {
    primaries = {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
    const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
    description = "Display P3";
  } else {
    primaries = {{0.640, 0.330, 1.0}, {0.210, 0.710, 1.0}, {0.150, 0.060, 1.0}};
    curve = cmsBuildGamma(nullptr, 563.0 / 256.0);
    description = "Adobe RGB (1998)";
  }
  if (!curve) return Str8{};
  cmsToneCurve *curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&d65, &primaries, curves);
  cmsFreeToneCurve(curve);
  if (!profile) return Str8{};
  cmsMLU *text = cmsMLUalloc(nullptr, 1);
  bool ok = text && cmsMLUsetASCII(text, "en", "US", description) &&
            cmsWriteTag(profile, cmsSigProfileDescriptionTag, text);
  if (text) cmsMLUfree(text);
  if (which == ProfileAdobeRgb) cmsSetProfileVersion(profile, 2.1);
  Str8 bytes = ok ? phone_profile_bytes(arena, profile) : Str8{};
  cmsCloseProfile(profile);
  if (bytes.size < 128) return Str8{};

  //- fixed date (header bytes 24-35: year, month, day, hours, minutes, seconds), then the ID
  static const u16 date[6] = {2024, 1, 1, 12, 0, 0};
  for (u32 i = 0; i < 6; i += 1) {
    bytes.str[24 + 2 * i] = (u8)(date[i] >> 8);
    bytes.str[25 + 2 * i] = (u8)date[i];
  }
  if (which == ProfileDisplayP3) {
    profile = cmsOpenProfileFromMem(bytes.str, (cmsUInt32Number)bytes.size);
    if (!profile) return Str8{};
    bytes = cmsMD5computeID(profile) ? phone_profile_bytes(arena, profile) : Str8{};
    cmsCloseProfile(profile);
  }
  return bytes;
}

//- segments
static void phone_put16(u8 *p, u32 v, bool big_endian) {
  p[big_endian ? 0 : 1] = (u8)(v >> 8);
  p[big_endian ? 1 : 0] = (u8)v;
}
static void phone_put32(u8 *p, u32 v, bool big_endian) {
  phone_put16(p + (big_endian ? 0 : 2), v >> 16, big_endian);
  phone_put16(p + (big_endian ? 2 : 0), v & 0xFFFF, big_endian);
}

// APP1 "Exif\0\0" with a TIFF header and IFD0 holding Make, Model and Orientation. The
// strings are longer than four bytes so that a reader has to follow their offsets, and the
// orientation is not the first entry.
static Str8 phone_exif(Arena *arena, u32 orientation, bool big_endian) {
  static const char make[] = "Bench", model[] = "Phone";
  const u32 entries = 3, ifd = 8;
  u32 strings = ifd + 2 + entries * 12 + 4;
  u32 tiff_size = strings + sizeof(make) + sizeof(model);
  u32 segment_size = 2 + 6 + tiff_size; // the length field counts itself
  u8 *p = arena_push<u8>(arena, 2 + segment_size);
  p[0] = 0xFF;
  p[1] = 0xE1;
  phone_put16(p + 2, segment_size, true);
  memcpy(p + 4, "Exif\0\0", 6);
  u8 *tiff = p + 10;
  memcpy(tiff, big_endian ? "MM" : "II", 2);
  phone_put16(tiff + 2, 42, big_endian);
  phone_put32(tiff + 4, ifd, big_endian);
  phone_put16(tiff + ifd, entries, big_endian);
  u8 *entry = tiff + ifd + 2;
  // tag, type (2 ASCII, 3 SHORT), count, value or offset; a SHORT sits in the first two bytes
  phone_put16(entry, 0x010F, big_endian);
  phone_put16(entry + 2, 2, big_endian);
  phone_put32(entry + 4, sizeof(make), big_endian);
  phone_put32(entry + 8, strings, big_endian);
  entry += 12;
  phone_put16(entry, 0x0110, big_endian);
  phone_put16(entry + 2, 2, big_endian);
  phone_put32(entry + 4, sizeof(model), big_endian);
  phone_put32(entry + 8, strings + sizeof(make), big_endian);
  entry += 12;
  phone_put16(entry, 0x0112, big_endian);
  phone_put16(entry + 2, 3, big_endian);
  phone_put32(entry + 4, 1, big_endian);
  phone_put16(entry + 8, orientation, big_endian);
  // the next IFD's offset stays 0: there is none
  memcpy(tiff + strings, make, sizeof(make));
  memcpy(tiff + strings + sizeof(make), model, sizeof(model));
  return Str8{p, 2 + (u64)segment_size};
}

// APP2 "ICC_PROFILE\0", sequence number and count, then the profile in pieces of at most
// what a segment's 16-bit length leaves.
static Str8 phone_icc(Arena *arena, Str8 profile) {
  const u64 header = 2 + 12 + 2, piece_max = 0xFFFF - header;
  u64 count = (profile.size + piece_max - 1) / piece_max;
  if (count == 0 || count > 255) return Str8{};
  u8 *out = arena_push_uninit<u8>(arena, profile.size + count * (2 + header));
  u8 *p = out;
  for (u64 i = 0; i < count; i += 1) {
    u64 at = i * piece_max, piece = min_of(piece_max, profile.size - at);
    p[0] = 0xFF;
    p[1] = 0xE2;
    phone_put16(p + 2, (u32)(header + piece), true);
    memcpy(p + 4, "ICC_PROFILE\0", 12);
    p[16] = (u8)(i + 1);
    p[17] = (u8)count;
    memcpy(p + 18, profile.str + at, piece);
    p += 18 + piece;
  }
  return Str8{out, (u64)(p - out)};
}

// The encoder's file from its first segment that is not an APPn on: its JFIF APP0 is left
// out, as in a phone's file, whose Exif segment comes first. Empty when the file is not a
// JPEG laid out that way.
static Str8 phone_jpeg_body(Str8 jpeg) {
  if (jpeg.size < 4 || jpeg.str[0] != 0xFF || jpeg.str[1] != 0xD8) return Str8{};
  u64 at = 2;
  while (at + 4 <= jpeg.size && jpeg.str[at] == 0xFF && (jpeg.str[at + 1] & 0xF0) == 0xE0) {
    at += 2 + read_be16(jpeg.str + at + 2);
  }
  if (at + 2 > jpeg.size || jpeg.str[at] != 0xFF) return Str8{};
  return Str8{jpeg.str + at, jpeg.size - at};
}

// SOI, Exif, ICC profile, then the encoder's segments; without `profile`, SOI and the
// encoder's segments alone. Empty on failure.
static Str8 phone_file(Arena *arena, Str8 jpeg, const CorpusGroup *group, const Str8 *profile) {
  Str8 body = phone_jpeg_body(jpeg);
  if (body.size == 0) return Str8{};
  Str8 exif = {}, icc = {};
  if (profile) {
    // phones write either byte order: the P3 files big-endian, the Adobe RGB ones little-endian
    exif = phone_exif(arena, group->orientation, group->profile == ProfileDisplayP3);
    icc = phone_icc(arena, *profile);
    if (icc.size == 0) return Str8{};
  }
  u64 size = 2 + exif.size + icc.size + body.size;
  u8 *out = arena_push_uninit<u8>(arena, size);
  out[0] = 0xFF;
  out[1] = 0xD8;
  u8 *p = out + 2;
  if (exif.size) memcpy(p, exif.str, exif.size);
  p += exif.size;
  if (icc.size) memcpy(p, icc.str, icc.size);
  p += icc.size;
  memcpy(p, body.str, body.size);
  return Str8{out, size};
}

//~ HEIC
// The picture as one HEVC image in a HEIF file. x265's fastest preset keeps 100 photos to a
// few minutes; the SAO filter that preset leaves out is turned back on, so that decoding runs
// it as it does for a file encoded with more care.
static heif_error corpus_heif_write(heif_context *, const void *data, size_t size, void *sink) {
  encode_sink_write(sink, (void *)data, (int)size);
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

static bool corpus_encode_heic(EncodeSink *sink, const u8 *rgb, u64 width, u64 height, int quality) {
  heif_context *context = heif_context_alloc();
  heif_encoder *encoder = nullptr;
  heif_image *image = nullptr;
  bool ok = context &&
            heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok &&
            heif_image_create((int)width, (int)height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image)
                    .code == heif_error_Ok &&
            heif_image_add_plane(image, heif_channel_interleaved, (int)width, (int)height, 8).code == heif_error_Ok;
  if (ok) {
    int stride = 0;
    u8 *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    ok = plane != nullptr;
    for (u64 y = 0; ok && y < height; y += 1) memcpy(plane + y * (u64)stride, rgb + y * width * 3, width * 3);
  }
  if (ok) {
    heif_encoder_set_lossy_quality(encoder, quality);
    ok = heif_encoder_set_parameter_string(encoder, "preset", "ultrafast").code == heif_error_Ok &&
         heif_encoder_set_parameter_string(encoder, "x265:sao", "1").code == heif_error_Ok;
  }
  if (ok) {
    heif_writer writer = {1, corpus_heif_write};
    ok = heif_context_encode_image(context, image, encoder, nullptr, nullptr).code == heif_error_Ok &&
         heif_context_write(context, &writer, sink).code == heif_error_Ok;
  }
  if (image) heif_image_release(image);
  if (encoder) heif_encoder_release(encoder);
  if (context) heif_context_free(context);
  return encode_sink_finish(sink, ok);
}

//~ GIFs
// A fixed palette of 6 levels of red, 7 of green and 6 of blue (252 colours), reached through
// a 4 x 4 ordered dither, as simple writers quantise; the last index is the transparent one,
// for pixels less than half opaque.
static constexpr u32 GifLevels[3] = {6, 7, 6};
static constexpr int GifTransparent = 255;

static void corpus_gif_palette(GifColorType *colors) {
  memset(colors, 0, 256 * sizeof(GifColorType));
  for (u32 r = 0; r < GifLevels[0]; r += 1) {
    for (u32 g = 0; g < GifLevels[1]; g += 1) {
      for (u32 b = 0; b < GifLevels[2]; b += 1) {
        GifColorType *c = &colors[(r * GifLevels[1] + g) * GifLevels[2] + b];
        c->Red = (u8)(r * 255 / (GifLevels[0] - 1));
        c->Green = (u8)(g * 255 / (GifLevels[1] - 1));
        c->Blue = (u8)(b * 255 / (GifLevels[2] - 1));
      }
    }
  }
}

static void corpus_gif_quantise(const u8 *pixels, u64 width, u64 height, u32 channels, u8 *indexes) {
  static const int Bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  for (u64 y = 0; y < height; y += 1) {
    for (u64 x = 0; x < width; x += 1) {
      const u8 *p = pixels + (y * width + x) * channels;
      if (channels == 4 && p[3] < 128) {
        indexes[y * width + x] = GifTransparent;
        continue;
      }
      // a level step is 255 units; the threshold moves the rounding by -15/32 to +15/32 of a step
      int offset = (Bayer[y & 3][x & 3] * 2 + 1 - 16) * 255 / 32;
      u32 index = 0;
      for (u32 c = 0; c < 3; c += 1) {
        int top = (int)GifLevels[c] - 1;
        int level = clamp_of(0, ((int)p[c] * top + 127 + offset) / 255, top);
        index = index * GifLevels[c] + (u32)level;
      }
      indexes[y * width + x] = (u8)index;
    }
  }
}

static int corpus_gif_write(GifFileType *gif, const GifByteType *data, int size) {
  encode_sink_write(gif->UserData, (void *)data, size);
  return size;
}

// One frame: its graphics control extension (a tenth of a second, the transparent index where
// the group has alpha) and its rows.
static bool corpus_gif_frame(GifFileType *gif, const u8 *indexes, u64 left, u64 top, u64 width, u64 height,
                             bool transparent) {
  GraphicsControlBlock control = {transparent ? DISPOSE_BACKGROUND : DISPOSE_DO_NOT, false, 10,
                                  transparent ? GifTransparent : NO_TRANSPARENT_COLOR};
  GifByteType extension[4];
  size_t size = EGifGCBToExtension(&control, extension);
  bool ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, (int)size, extension) != GIF_ERROR &&
            EGifPutImageDesc(gif, (int)left, (int)top, (int)width, (int)height, false, nullptr) != GIF_ERROR;
  for (u64 y = 0; ok && y < height; y += 1) {
    ok = EGifPutLine(gif, (GifPixelType *)indexes + y * width, (int)width) != GIF_ERROR;
  }
  return ok;
}

// The first frame is the group's picture; each later one a picture of half its sides, moving
// across it, as animations update a part of their screen.
static bool corpus_encode_gif(EncodeSink *sink, const CorpusGroup *group, const u8 *pixels, u64 seed) {
  u64 width = group->width, height = group->height;
  bool alpha = group->channels == 4;
  // beside the sink's arena, so that its buffer keeps growing in place
  Scratch scratch = scratch_begin(sink->arena);
  u8 *indexes = arena_push_uninit<u8>(scratch.arena, width * height);
  corpus_gif_quantise(pixels, width, height, group->channels, indexes);
  GifColorType colors[256];
  corpus_gif_palette(colors);
  int error = 0;
  GifFileType *gif = EGifOpen(sink, corpus_gif_write, &error);
  ColorMapObject *palette = gif ? GifMakeMapObject(256, colors) : nullptr;
  bool ok = palette != nullptr;
  if (ok) EGifSetGifVersion(gif, true);
  ok = ok && EGifPutScreenDesc(gif, (int)width, (int)height, 8, 0, palette) != GIF_ERROR;
  GifFreeMapObject(palette);
  if (ok && group->frames > 1) { // loop for ever
    static const GifByteType Loop[3] = {1, 0, 0};
    ok = EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) != GIF_ERROR &&
         EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0") != GIF_ERROR && EGifPutExtensionBlock(gif, 3, Loop) != GIF_ERROR &&
         EGifPutExtensionTrailer(gif) != GIF_ERROR;
  }
  ok = ok && corpus_gif_frame(gif, indexes, 0, 0, width, height, alpha);
  u64 part_w = width / 2, part_h = height / 2;
  u8 *part = arena_push_uninit<u8>(scratch.arena, part_w * part_h * group->channels);
  for (u32 f = 1; ok && f < group->frames; f += 1) {
    bench_photo(part, part_w, part_h, group->channels, seed * 31 + f);
    corpus_gif_quantise(part, part_w, part_h, group->channels, indexes);
    u64 left = (width - part_w) * f / group->frames, top = (height - part_h) * (group->frames - f) / group->frames;
    ok = corpus_gif_frame(gif, indexes, left, top, part_w, part_h, alpha);
  }
  if (gif) ok = EGifCloseFile(gif, &error) != GIF_ERROR && ok;
  scratch_restore(scratch);
  return encode_sink_finish(sink, ok);
}

//~ TIFF
// Written by libtiff straight into the file, as a scanner's driver writes it: strips of about
// 8 KB (the library's default), or tiles. 16-bit samples are the picture's widened with noise
// in their low bits, as bench_png16_from_rgb makes them. A page's bytes stay the same for the
// same library version: no date or software tag is written.
static bool corpus_tiff_page(TIFF *tif, Arena *arena, const CorpusGroup *group, u64 width, u64 height, u64 seed,
                             u32 page) {
  Scratch scratch = scratch_begin(arena);
  u32 channels = group->channels;
  bool deep = group->kind == CorpusTiff16;
  u64 sample = deep ? 2 : 1;
  u8 *pixels = arena_push_uninit<u8>(scratch.arena, width * height * channels);
  bench_photo(pixels, width, height, channels, seed + page * 7919);
  u8 *samples = pixels;
  if (deep) {
    BenchRng rng = {seed ^ 0x5EED16ull};
    u16 *wide = arena_push_uninit<u16>(scratch.arena, width * height * channels);
    for (u64 i = 0; i < width * height * channels; i += 1) {
      i32 v = (i32)pixels[i] * 257 + (i32)(bench_rng_next(&rng) & 0x1FF) - 256;
      wide[i] = (u16)(v < 0 ? 0 : v > 65535 ? 65535 : v);
    }
    samples = (u8 *)wide;
  }
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, (u32)width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, (u32)height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, (u16)channels);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, (u16)(sample * 8));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, group->kind == CorpusTiffLzw || group->kind == CorpusTiffPages
                                             ? COMPRESSION_LZW : COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(tif, TIFFTAG_PREDICTOR, group->kind == CorpusTiffTiled ? PREDICTOR_NONE : PREDICTOR_HORIZONTAL);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, 300.0);
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, 300.0);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  u64 row = width * channels * sample;
  bool ok = true;
  if (group->kind == CorpusTiffTiled) {
    const u32 tile = 256;
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, tile);
    u64 tile_row = (u64)tile * channels * sample;
    u8 *piece = arena_push<u8>(scratch.arena, tile_row * tile);
    for (u64 y = 0; ok && y < height; y += tile) {
      for (u64 x = 0; ok && x < width; x += tile) {
        memset(piece, 0, tile_row * tile);
        u64 columns = min_of<u64>(tile, width - x) * channels * sample;
        for (u64 r = 0; r < tile && y + r < height; r += 1) {
          memcpy(piece + r * tile_row, samples + (y + r) * row + x * channels * sample, columns);
        }
        ok = TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, (u32)x, (u32)y, 0, 0), piece, (tmsize_t)(tile_row * tile)) >= 0;
      }
    }
  } else {
    u32 rows = TIFFDefaultStripSize(tif, 0);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
    for (u64 y = 0; ok && y < height; y += rows) {
      u64 n = min_of<u64>(rows, height - y);
      ok = TIFFWriteEncodedStrip(tif, TIFFComputeStrip(tif, (u32)y, 0), samples + y * row, (tmsize_t)(n * row)) >= 0;
    }
  }
  scratch_restore(scratch);
  return ok && TIFFWriteDirectory(tif);
}

// The file's size, or 0 when it could not be written.
static u64 corpus_write_tiff(Arena *arena, Str8 path, const CorpusGroup *group, u64 seed) {
  Scratch scratch = scratch_begin(arena);
  const char *name = (const char *)str8_copy(scratch.arena, path).str; // zero-terminated
  TIFF *tif = TIFFOpen(name, "w");
  bool ok = tif != nullptr;
  u32 pages = group->kind == CorpusTiffPages ? 3 : 1;
  for (u32 page = 0; ok && page < pages; page += 1) {
    u64 shrink = page ? 2 : 1;
    ok = corpus_tiff_page(tif, arena, group, group->width / shrink, group->height / shrink, seed, page);
  }
  if (tif) TIFFClose(tif);
  FileProps props = file_props_from_path(path);
  scratch_restore(scratch);
  return ok ? props.size : 0;
}

//~ DNG
// What a camera's sensor would have counted for the picture: its sRGB curve undone, each
// photosite keeping the one colour its filter passes (R G / G B), scaled between a black level
// of 512 and a 14-bit white, with the sensor's own response to each colour. Its colour matrix
// is then sRGB's from XYZ times that response, and the white balance as shot the response to
// white: a developer undoes both and finds the picture again. Written by libtiff straight
// into the file as a camera writes a DNG: a small preview as the first page, the raw data
// uncompressed in its sub-image. The same bytes for the same library version.
static bool corpus_write_dng_file(TIFF *tif, Arena *arena, const u8 *rgb, u64 width, u64 height, u32 orientation) {
  static const f32 response[3] = {0.45f, 1.0f, 0.7f};
  static const f32 xyz_to_srgb[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f, 0.0415f, 0.0557f, -0.2040f, 1.0570f};
  f32 matrix[9];
  for (u32 i = 0; i < 9; i += 1) matrix[i] = xyz_to_srgb[i] * response[i / 3];
  f32 neutral[3] = {response[0], response[1], response[2]};
  f32 linear[256];
  for (u32 v = 0; v < 256; v += 1) {
    f64 c = v / 255.0;
    linear[v] = (f32)(c <= 0.04045 ? c / 12.92 : pow((c + 0.055) / 1.055, 2.4));
  }
  const u32 black = 512, white = 16383;
  // the preview: every 16th pixel
  u64 preview_w = width / 16, preview_h = height / 16;
  u8 *preview = arena_push_uninit<u8>(arena, preview_w * preview_h * 3);
  u16 *row = arena_push_uninit<u16>(arena, width);
  for (u64 y = 0; y < preview_h; y += 1) {
    for (u64 x = 0; x < preview_w; x += 1) memcpy(preview + (y * preview_w + x) * 3, rgb + (y * 16 * width + x * 16) * 3, 3);
  }
  toff_t sub_offset = 0;
  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, (u32)preview_w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, (u32)preview_h);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, (u32)preview_h);
  TIFFSetField(tif, TIFFTAG_MAKE, "Vantor");
  TIFFSetField(tif, TIFFTAG_MODEL, "Bench Camera");
  TIFFSetField(tif, TIFFTAG_ORIENTATION, (u16)orientation);
  TIFFSetField(tif, TIFFTAG_DNGVERSION, "\x01\x04\x00\x00");
  TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, "\x01\x01\x00\x00");
  TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Vantor Bench Camera");
  TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, matrix);
  TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
  TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21); // D65
  TIFFSetField(tif, TIFFTAG_SUBIFD, 1, &sub_offset);
  bool ok = TIFFWriteEncodedStrip(tif, 0, preview, (tmsize_t)(preview_w * preview_h * 3)) >= 0 && TIFFWriteDirectory(tif);
  u16 pattern_dim[2] = {2, 2};
  u8 pattern[4] = {0, 1, 1, 2};
  f32 black_level[1] = {(f32)black};
  u32 white_level[1] = {white};
  TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, (u32)width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, (u32)height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1);
  TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, pattern_dim);
  TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, pattern);
  TIFFSetField(tif, TIFFTAG_BLACKLEVEL, 1, black_level);
  TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, white_level);
  for (u64 y = 0; ok && y < height; y += 1) {
    for (u64 x = 0; x < width; x += 1) {
      u32 channel = (u32)((y & 1) + (x & 1));
      f32 light = linear[rgb[(y * width + x) * 3 + channel]] * response[channel];
      row[x] = (u16)(black + light * (white - black) + 0.5f);
    }
    ok = TIFFWriteEncodedStrip(tif, (u32)y, row, (tmsize_t)(width * 2)) >= 0;
  }
  return ok && TIFFWriteDirectory(tif);
}

// The file's size, or 0 when it could not be written.
static u64 corpus_write_dng(Arena *arena, Str8 path, const CorpusGroup *group, u64 seed) {
  Scratch scratch = scratch_begin(arena);
  const char *name = (const char *)str8_copy(scratch.arena, path).str; // zero-terminated
  u8 *rgb = arena_push_uninit<u8>(scratch.arena, (u64)group->width * group->height * 3);
  phone_photo(scratch.arena, rgb, group->width, group->height, group->orientation, seed);
  TIFF *tif = TIFFOpen(name, "w");
  bool ok = tif && corpus_write_dng_file(tif, scratch.arena, rgb, group->width, group->height, group->orientation);
  if (tif) TIFFClose(tif);
  FileProps props = file_props_from_path(path);
  scratch_restore(scratch);
  return ok ? props.size : 0;
}

//~ Writing

// The size a file of the group is stored at: an untagged phone photo is stored upright.
//~ Odd JPEGs
// A CMYK output profile made with lcms2: tables from inks to Lab and back, the inks' colours
// those of a print whose inks absorb a little of the others' primaries. Empty on failure.
static cmsInt32Number odd_inks_to_lab(const cmsUInt16Number in[], cmsUInt16Number out[], void *to_lab) {
  f64 c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
  f64 rgb[3] = {(1 - 0.92 * c) * (1 - 0.08 * m) * (1 - 0.9 * k), (1 - 0.1 * c) * (1 - 0.88 * m) * (1 - 0.9 * k),
                (1 - 0.15 * m) * (1 - 0.95 * y) * (1 - 0.9 * k)};
  cmsUInt16Number rgb16[3];
  for (int i = 0; i < 3; i += 1) rgb16[i] = (cmsUInt16Number)(rgb[i] * 65535.0 + 0.5);
  cmsDoTransform((cmsHTRANSFORM)to_lab, rgb16, out, 1);
  return TRUE;
}

static cmsInt32Number odd_lab_to_inks(const cmsUInt16Number in[], cmsUInt16Number out[], void *to_rgb) {
  cmsUInt16Number rgb[3];
  cmsDoTransform((cmsHTRANSFORM)to_rgb, in, rgb, 1);
  u32 most = max_of<u32>(rgb[0], max_of<u32>(rgb[1], rgb[2])), k = 65535 - most;
  for (int i = 0; i < 3; i += 1) out[i] = most ? (cmsUInt16Number)((most - rgb[i]) * 65535ull / most) : 0;
  out[3] = (cmsUInt16Number)k;
  return TRUE;
}

static Str8 odd_cmyk_profile(Arena *arena) {
  cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
  cmsHTRANSFORM to_lab = cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_PERCEPTUAL, 0);
  cmsHTRANSFORM to_rgb = cmsCreateTransform(lab, TYPE_Lab_16, srgb, TYPE_RGB_16, INTENT_PERCEPTUAL, 0);
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetProfileVersion(profile, 4.3);
  cmsSetDeviceClass(profile, cmsSigOutputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  // a v4 table is curves, a grid, curves: the curves are straight lines
  cmsPipeline *a2b = cmsPipelineAlloc(nullptr, 4, 3), *b2a = cmsPipelineAlloc(nullptr, 3, 4);
  cmsStage *forward = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  cmsStage *backward = cmsStageAllocCLut16bit(nullptr, 17, 3, 4, nullptr);
  cmsStageSampleCLut16bit(forward, odd_inks_to_lab, to_lab, 0);
  cmsStageSampleCLut16bit(backward, odd_lab_to_inks, to_rgb, 0);
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
  // no date, platform or ID, so that every run on every system writes the same bytes
  cmsUInt32Number size = 0;
  Str8 result = {};
  if (cmsSaveProfileToMem(profile, nullptr, &size) && size >= 128) {
    result = Str8{arena_push_uninit<u8>(arena, size), size};
    if (!cmsSaveProfileToMem(profile, result.str, &size)) result = Str8{};
    if (result.size) memset(result.str + 24, 0, 12), memset(result.str + 40, 0, 4), memset(result.str + 84, 0, 16);
  }
  cmsPipelineFree(a2b);
  cmsPipelineFree(b2a);
  cmsCloseProfile(profile);
  cmsDeleteTransform(to_lab);
  cmsDeleteTransform(to_rgb);
  cmsCloseProfile(srgb);
  cmsCloseProfile(lab);
  return result;
}

static Str8 corpus_cmyk_profile; // made once, before any CMYK file

// The picture through libjpeg-turbo's writer at the group's quality, then edited as its kind
// says; the CMYK kinds store the photo's inks (255 - the colour's grey component removed)
// inverted, as Photoshop does.
static Str8 odd_jpeg(Arena *arena, const CorpusGroup *group, const u8 *rgb, u64 width, u64 height) {
  bool inks = group->kind == CorpusJpegCmyk || group->kind == CorpusJpegYcck;
  const u8 *rows = rgb;
  if (inks) {
    u8 *cmyk = arena_push_uninit<u8>(arena, width * height * 4);
    for (u64 i = 0; i < width * height; i += 1) {
      const u8 *p = rgb + i * 3;
      u32 most = max_of<u32>(p[0], max_of<u32>(p[1], p[2]));
      for (int c = 0; c < 3; c += 1) cmyk[i * 4 + c] = (u8)(255 - (most ? (most - p[c]) * 255 / most : 0));
      cmyk[i * 4 + 3] = (u8)most;
    }
    rows = cmyk;
  }
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = (JDIMENSION)width;
  info.image_height = (JDIMENSION)height;
  info.input_components = inks ? 4 : 3;
  info.in_color_space = inks ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&info);
  if (group->kind == CorpusJpegYcck) jpeg_set_colorspace(&info, JCS_YCCK);
  jpeg_set_quality(&info, group->quality, TRUE);
  info.arith_code = group->kind == CorpusJpegArithmetic || group->kind == CorpusJpegArithmeticProgressive;
  if (group->kind == CorpusJpegArithmeticProgressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  if (inks) jpeg_write_icc_profile(&info, corpus_cmyk_profile.str, (unsigned)corpus_cmyk_profile.size);
  u64 stride = width * (inks ? 4 : 3);
  while (info.next_scanline < height) {
    JSAMPROW row = (JSAMPROW)rows + info.next_scanline * stride;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);

  // the edits: bytes put in before the first start of scan, or after the start of image
  u64 at = 2, extra = 0;
  const u8 *insert = nullptr;
  static const u8 stray[3] = {0x00, 0x17, 0x2A}, short_app14[4] = {0xFF, 0xEE, 0x00, 0x00};
  if (group->kind == CorpusJpegStray) {
    while (at + 1 < size && !(buffer[at] == 0xFF && buffer[at + 1] == 0xDA)) at += 1;
    insert = stray, extra = sizeof(stray);
  } else if (group->kind == CorpusJpegShortApp14) {
    insert = short_app14, extra = sizeof(short_app14);
  }
  Str8 file = {arena_push_uninit<u8>(arena, size + extra), size + extra};
  memcpy(file.str, buffer, at);
  if (extra) memcpy(file.str + at, insert, extra);
  memcpy(file.str + at + extra, buffer + at, size - at);
  free(buffer);
  return file;
}

static void corpus_stored_size(const CorpusGroup *group, bool untagged, u64 *width, u64 *height) {
  bool upright = untagged && group->kind == CorpusPhoneJpeg && group->orientation >= 5;
  *width = upright ? group->height : group->width;
  *height = upright ? group->width : group->height;
}

// The file's bytes in the arena, as the encoder wrote them; empty when it failed.
static Str8 corpus_encode(Arena *arena, const CorpusGroup *group, u64 seed, bool untagged) {
  u64 width, height;
  corpus_stored_size(group, untagged, &width, &height);
  u64 pixel_size = width * height * group->channels;
  u8 *pixels = arena_push_uninit<u8>(arena, pixel_size);
  if (group->kind == CorpusPngNoise) {
    BenchRng rng = {seed * 0x2545F4914F6CDD1Dull + 0x9E3779B9ull};
    u64 i = 0;
    for (; i + 8 <= pixel_size; i += 8) {
      u64 r = bench_rng_next(&rng);
      memcpy(pixels + i, &r, 8);
    }
    for (; i < pixel_size; i += 1) pixels[i] = (u8)bench_rng_next(&rng);
  } else if (group->kind == CorpusPhoneJpeg) {
    phone_photo(arena, pixels, width, height, untagged ? 1 : group->orientation, seed);
  } else {
    bench_photo(pixels, width, height, group->channels, seed);
  }
  if (group->kind == CorpusPng16) return bench_png16_from_rgb(arena, pixels, width, height, seed);
  if (group->kind >= CorpusJpegArithmetic && group->kind <= CorpusJpegYcck) return odd_jpeg(arena, group, pixels, width, height);

  Str8 buffer = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &buffer, pixel_size / 4 + kib(64));
  bool ok;
  switch (group->kind) {
  case CorpusJpeg:
  case CorpusPhoneJpeg:
    ok = codec_encode_jpeg(&sink, pixels, pixel_size, width, height, group->channels, group->quality);
    break;
  case CorpusHeic: ok = corpus_encode_heic(&sink, pixels, width, height, group->quality); break;
  case CorpusWebp:
  case CorpusWebpLossless:
    ok = webp_encode(&sink, pixels, pixel_size, width, height, group->channels, group->quality,
                     group->kind == CorpusWebpLossless);
    break;
  case CorpusGif: ok = corpus_encode_gif(&sink, group, pixels, seed); break;
  case CorpusJxl:
  case CorpusJxlLossless:
    ok = jxl_encode(&sink, pixels, pixel_size, width, height, group->channels, group->quality,
                    group->kind == CorpusJxlLossless);
    break;
  default: ok = codec_encode_png(&sink, pixels, pixel_size, width, height, group->channels); break;
  }
  return ok ? buffer : Str8{};
}

// The files of the folder and of its sub-folders (the folders themselves stay).
static void corpus_clear(Arena *arena, Str8 folder) {
  DirIter *iter = dir_iter_open(arena, folder, 0);
  if (!iter) return;
  DirEntry entry;
  while (dir_iter_next(arena, iter, &entry)) {
    Str8 path = arena_format(arena, "%S/%S", folder, entry.name);
    if (entry.flags & FilePropsFolder) {
      corpus_clear(arena, path);
    } else {
      file_delete(path);
    }
  }
  dir_iter_close(iter);
}

// Whole and in place, without a sync: a stale corpus is rewritten before its stamp is.
static bool corpus_write(Str8 path, Str8 data) {
  FileHandle file = file_open(FileOpenWrite, path);
  if (!file) return false;
  bool ok = file_write_range(file, RangeU64{0, data.size}, data.str) == data.size;
  return file_close(file) && ok;
}

int main(int argc, char **argv) {
  process_init(argc, argv);
  Arena *arena = arena_create(mib(64), kib(64));

  //- options
  bool quick = false;
  Str8 mode = {};
  Str8 folder = {};
  bool usage = false;
  for (int i = 1; i < process_argc(); i += 1) {
    Str8 arg = str8_cstring(process_argv()[i]);
    if (str8_equals(arg, str8_lit("--quick"), 0)) {
      quick = true;
    } else if (mode.size == 0 && arg.size > 2 && arg.str[0] == '-' && arg.str[1] == '-') {
      mode = str8_drop_front(arg, 2);
    } else if (folder.size == 0 && arg.size > 0 && arg.str[0] != '-') {
      folder = path_normalize(arena, arg);
    } else {
      usage = true;
    }
  }
  const CorpusPlan *plan = nullptr;
  u64 plan_count = sizeof(CorpusPlans) / sizeof(CorpusPlans[0]);
  for (u64 p = 0; p < plan_count && !plan; p += 1) {
    if (!str8_equals(str8_cstring(CorpusPlans[p].option), mode, 0)) continue;
    // the quick mode follows the full one; a mode without a quick one takes no --quick
    if (!quick) {
      plan = &CorpusPlans[p];
    } else if (p + 1 < plan_count && str8_equals(str8_cstring(CorpusPlans[p + 1].option), mode, 0)) {
      plan = &CorpusPlans[p + 1];
    }
    break;
  }
  if (usage || folder.size == 0 || !plan) {
    fprintf(stderr, "usage: bench_corpus [--quick] [--large | --flood | --backlog | --stuck | --phone | "
                    "--phone-untagged | --heic | --webp | --odd-jpeg | --gif | --tiff | --jxl | "
                    "--dng | --latency] <folder>\n");
    return 2;
  }

  //- reuse the corpus when its stamp matches
  Str8 stamp_path = arena_format(arena, "%S/.corpus-stamp", folder);
  Str8 stamp = arena_format(arena, "vantor bench corpus %s %s\n", CorpusVersion, plan->stamp);
  if (str8_equals(file_read_all(arena, stamp_path), stamp, 0)) {
    printf("corpus: %.*s is up to date\n", (int)folder.size, (const char *)folder.str);
    return 0;
  }
  if (!folder_make_chain(folder)) {
    fprintf(stderr, "corpus: cannot make %.*s\n", (int)folder.size, (const char *)folder.str);
    return 1;
  }
  corpus_clear(arena, folder);
  for (u32 d = 0; d < plan->folders; d += 1) {
    Str8 sub = arena_format(arena, "%S/d%02u", folder, d);
    if (!folder_make_chain(sub)) {
      fprintf(stderr, "corpus: cannot make %.*s\n", (int)sub.size, (const char *)sub.str);
      return 1;
    }
  }

  //- generate
  // Input PNGs come from ordinary tools, which mostly deflate at zlib's default level.
  codec_set_png_compression_level(6);
  Arena *image_arena = arena_create(gib(1), mib(4));
  Str8 profiles[3] = {}; // by CorpusProfile
  if (!plan->untagged) {
    for (u64 g = 0; g < plan->group_count; g += 1) {
      CorpusProfile which = plan->groups[g].profile;
      if (which == ProfileNone || profiles[which].size) continue;
      profiles[which] = phone_profile(arena, which);
      if (profiles[which].size == 0) {
        fprintf(stderr, "corpus: lcms2 cannot make the ICC profiles\n");
        return 1;
      }
    }
  }
  for (u64 g = 0; g < plan->group_count && !corpus_cmyk_profile.size; g += 1) {
    if (plan->groups[g].kind != CorpusJpegCmyk && plan->groups[g].kind != CorpusJpegYcck) continue;
    corpus_cmyk_profile = odd_cmyk_profile(arena);
    if (corpus_cmyk_profile.size == 0) {
      fprintf(stderr, "corpus: lcms2 cannot make the CMYK profile\n");
      return 1;
    }
  }
  for (u64 g = 0; g < plan->group_count; g += 1) {
    if (plan->groups[g].kind == CorpusHeic && heif_init(nullptr).code != heif_error_Ok) {
      fprintf(stderr, "corpus: libheif cannot start\n");
      return 1;
    }
  }
  u64 start_us = clock_now_us();
  u64 files = 0, pixels = 0, bytes = 0;
  for (u64 g = 0; g < plan->group_count; g += 1) {
    const CorpusGroup *group = &plan->groups[g];
    for (u32 i = 0; i < group->count; i += 1) {
      u64 seed = plan->seed_base + files + 1;
      bool phone = group->kind == CorpusPhoneJpeg;
      bool tiff = group->kind >= CorpusTiffLzw && group->kind <= CorpusTiffPages;
      bool dng = group->kind == CorpusDng;
      bool odd_jpeg = group->kind >= CorpusJpegArithmetic && group->kind <= CorpusJpegYcck;
      const char *extension = dng                                        ? "dng"
                              : tiff                                     ? "tif"
                              : group->kind == CorpusJpeg || phone || odd_jpeg ? "jpg"
                              : group->kind == CorpusHeic                ? "heic"
                              : group->kind == CorpusWebp || group->kind == CorpusWebpLossless ? "webp"
                              : group->kind == CorpusGif                                       ? "gif"
                              : group->kind == CorpusJxl || group->kind == CorpusJxlLossless   ? "jxl"
                                                                                              : "png";
      u64 mark = arena_offset(arena);
      Str8 parent = plan->folders ? arena_format(arena, "%S/d%02u", folder, (u32)(files % plan->folders)) : folder;
      Str8 stem = str8_cstring(group->stem);
      if (phone) {
        stem = plan->untagged ? arena_format(arena, "%s_untagged", group->stem)
                              : arena_format(arena, "%s_o%u_%s", group->stem, group->orientation,
                                             group->profile == ProfileDisplayP3 ? "p3" : "adobe");
      }
      u64 stored_w, stored_h;
      corpus_stored_size(group, plan->untagged, &stored_w, &stored_h);
      Str8 path = arena_format(arena, "%S/%02u_%S_%ux%u.%s", parent, (u32)(files + 1), stem, (u32)stored_w,
                               (u32)stored_h, extension);
      u64 image_mark = arena_offset(image_arena);
      if (tiff || dng) {
        u64 size = dng ? corpus_write_dng(image_arena, path, group, seed) : corpus_write_tiff(image_arena, path, group, seed);
        if (size == 0) {
          fprintf(stderr, "corpus: cannot write %.*s\n", (int)path.size, (const char *)path.str);
          return 1;
        }
        files += 1;
        pixels += (u64)group->width * group->height;
        bytes += size;
        arena_rewind(image_arena, image_mark);
        arena_rewind(arena, mark);
        continue;
      }
      Str8 data = corpus_encode(image_arena, group, seed, plan->untagged);
      if (phone && data.size) {
        data = phone_file(image_arena, data, group, plan->untagged ? nullptr : &profiles[group->profile]);
      }
      if (data.size == 0 || !corpus_write(path, data)) {
        fprintf(stderr, "corpus: cannot write %.*s\n", (int)path.size, (const char *)path.str);
        return 1;
      }
      files += 1;
      pixels += (u64)group->width * group->height;
      bytes += data.size;
      arena_rewind(image_arena, image_mark);
      arena_rewind(arena, mark);
    }
  }
  if (!file_write_all(stamp_path, stamp, 0)) {
    fprintf(stderr, "corpus: cannot write %.*s\n", (int)stamp_path.size, (const char *)stamp_path.str);
    return 1;
  }
  printf("corpus: %llu files, %.1f megapixels, %.1f MB in %.*s (%.1f s)\n", (unsigned long long)files,
         (f64)pixels / 1e6, (f64)bytes / 1e6, (int)folder.size, (const char *)folder.str,
         (f64)(clock_now_us() - start_us) / 1e6);
  return 0;
}
