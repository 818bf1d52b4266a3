#include <libraw/libraw.h>

#include "convert/image/image_raw.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_stb.h"
#include "convert/image/image_tiff.h"

//~ Telling a raw file
static bool raw_begins(Str8 bytes, u64 at, const char *text, u64 size) {
  return bytes.size >= at + size && memcmp(bytes.str + at, text, size) == 0;
}

static u64 raw_read_be(Str8 bytes, u64 at, u32 size) {
  u64 v = 0;
  for (u32 i = 0; i < size; i += 1) v = v << 8 | bytes.str[at + i];
  return v;
}

static bool raw_is_raf(Str8 bytes) { return raw_begins(bytes, 0, "FUJIFILMCCD-RAW", 15); }
static bool raw_is_cr3(Str8 bytes) { return raw_begins(bytes, 4, "ftypcrx ", 8); }

bool raw_starts_as(Str8 bytes) {
  return tiff_starts_as_camera_raw(bytes) || raw_is_raf(bytes) || raw_begins(bytes, 0, "IIRO", 4) ||
         raw_begins(bytes, 0, "IIRS", 4) || raw_begins(bytes, 0, "MMOR", 4) || raw_begins(bytes, 0, "IIU\0", 4) ||
         raw_is_cr3(bytes);
}

//~ The library
// One LibRaw object per call, on the caller's bytes. Its data and memory complaints are kept as
// the failure's reason: a data error while unpacking means raw data missing or damaged, which
// the library would otherwise fill with zeros.
struct RawCall {
  libraw_data_t *raw;
  CodecFailure failure;
  bool data_error;
};

// Sensors of more pixels than this are refused before anything is unpacked.
static constexpr u64 RawPixelsMax = 1ull << 29;
// LibRaw's own ceiling on the raw data unpacked, in MiB, whatever the sensor's size.
static constexpr u32 RawMemoryMaxMb = 2048;

static void raw_on_data_error(void *user, const char *, const int offset) {
  RawCall *c = (RawCall *)user;
  c->data_error = true;
  if (c->failure.kind == DecodeOk) {
    codec_failure_set(&c->failure, DecodeRefused, offset < 0 ? "unexpected end of the raw data" : "the raw data is corrupt");
  }
}

static void raw_on_memory_error(void *user, const char *, const char *) {
  RawCall *c = (RawCall *)user;
  if (c->failure.kind == DecodeOk) codec_failure_set(&c->failure, DecodeOverBudget, "out of memory");
}

static void raw_fail(RawCall *c, int code) {
  if (c->failure.kind == DecodeOk) codec_failure_set(&c->failure, DecodeRefused, libraw_strerror(code));
}

// Opens the bytes and reads what the file declares; false, with the reason, when the library
// cannot, or the sensor's size is absurd. The object is freed by raw_close either way.
static bool raw_open(RawCall *c, Str8 bytes) {
  *c = RawCall{};
  c->raw = libraw_init(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
  if (!c->raw) {
    codec_failure_set(&c->failure, DecodeRefused, "out of memory");
    return false;
  }
  libraw_set_dataerror_handler(c->raw, raw_on_data_error, c);
  libraw_set_memerror_handler(c->raw, raw_on_memory_error, c);
  libraw_output_params_t *p = &c->raw->params;
  p->use_camera_wb = 1;
  p->use_camera_matrix = 1;
  p->output_color = 1; // sRGB
  p->output_bps = 8;
  p->gamm[0] = 1 / 2.4; // the sRGB curve, not the library's BT.709 one
  p->gamm[1] = 12.92;
  // the exposure as the camera made it: the library's automatic brightening would scale each
  // file by its own histogram (1% of its pixels made white)
  p->no_auto_bright = 1;
  p->user_flip = 0;    // stored as the sensor saw it: our own turn applies the camera's orientation
  p->max_raw_memory_mb = RawMemoryMaxMb;
  int code = libraw_open_buffer(c->raw, (void *)bytes.str, bytes.size);
  if (code != LIBRAW_SUCCESS) {
    raw_fail(c, code);
    return false;
  }
  const libraw_image_sizes_t *s = &c->raw->sizes;
  if (s->raw_width == 0 || s->raw_height == 0 || s->width == 0 || s->height == 0 ||
      (u64)s->raw_width * s->raw_height > RawPixelsMax) {
    codec_failure_set(&c->failure, DecodeRefused, "the sensor's size is out of range");
    return false;
  }
  // the raw data unpacked takes at most four 16-bit samples a photosite (a linear DNG's): any
  // more is refused by the library as over its limit
  u64 need_mb = ((u64)s->raw_width * (s->raw_height + 8) * 8 >> 20) + 16;
  p->max_raw_memory_mb = (unsigned)min_of<u64>(need_mb, RawMemoryMaxMb);
  return true;
}

static void raw_close(RawCall *c) {
  if (c->raw) libraw_close(c->raw);
  c->raw = nullptr;
}

//~ Completeness
// The blocks a RAF's header points at (its preview, its CFA header and its CFA data).
static bool raw_raf_complete(Str8 bytes) {
  if (bytes.size < 108) return false;
  for (u64 at = 84; at < 108; at += 8) {
    u64 offset = raw_read_be(bytes, at, 4), size = raw_read_be(bytes, at + 4, 4);
    if (offset > bytes.size || size > bytes.size - offset) return false;
  }
  return true;
}

// An ISO BMFF file's top-level boxes end exactly where the file does.
static bool raw_boxes_complete(Str8 bytes) {
  u64 at = 0;
  for (u64 boxes = 0; at < bytes.size && boxes < 4096; boxes += 1) {
    if (bytes.size - at < 8) return false;
    u64 size = raw_read_be(bytes, at, 4);
    if (size == 1) {
      if (bytes.size - at < 16) return false;
      size = raw_read_be(bytes, at + 8, 8);
    } else if (size == 0) {
      size = bytes.size - at; // to the end of the file
    }
    if (size < 8 || size > bytes.size - at) return false;
    at += size;
  }
  return at == bytes.size;
}

bool raw_complete(Str8 bytes) {
  if (tiff_starts_as_camera_raw(bytes) && !tiff_raw_complete(bytes)) return false;
  if (raw_is_raf(bytes) && !raw_raf_complete(bytes)) return false;
  if (raw_is_cr3(bytes) && !raw_boxes_complete(bytes)) return false;
  // then where the library itself finds the raw data
  RawCall c;
  bool whole = raw_open(&c, bytes);
  if (whole) {
    // Only its start: the size it keeps is not the data's for every kind of file (a DNG's is
    // not). Data missing past it shows as a data error when unpacking, which fails the decode.
    const unpacker_data_t *u = &((LibRaw *)c.raw->parent_class)->get_internal_data_pointer()->unpacker_data;
    whole = u->data_offset >= 0 && (u64)u->data_offset < bytes.size && !c.data_error;
  } else {
    // a file the library cannot read at all is whole as far as we can tell: the decode says why
    whole = c.failure.kind != DecodeOk && !c.data_error;
  }
  raw_close(&c);
  return whole;
}

//~ Reading
bool raw_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  RawCall c;
  bool ok = raw_open(&c, bytes) && libraw_adjust_sizes_info_only(c.raw) == LIBRAW_SUCCESS;
  if (ok) {
    out->width = c.raw->sizes.iwidth;
    out->height = c.raw->sizes.iheight;
    out->channels = 3;
    out->bytes_per_channel = 1;
    out->deep = true; // a sensor's 10 to 16 bits, developed at 8
  } else {
    out->failure = c.failure;
    if (out->failure.kind == DecodeOk) codec_failure_set(&out->failure, DecodeRefused, nullptr);
  }
  raw_close(&c);
  return ok;
}

// LibRaw's flip (bit 0 mirrors the rows, bit 1 the columns, bit 2 swaps the axes first) as an
// EXIF orientation.
static u32 raw_orientation(int flip) {
  static const u32 orientations[8] = {1, 2, 4, 3, 5, 8, 6, 7};
  return flip >= 0 && flip < 8 ? orientations[flip] : 1;
}

CodecPhotoTags raw_photo_tags(Arena *, Str8 bytes) {
  CodecPhotoTags tags = {1, {}, {}};
  RawCall c;
  if (raw_open(&c, bytes)) tags.orientation = raw_orientation(c.raw->sizes.flip);
  raw_close(&c);
  return tags;
}

CodecDecoded raw_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  RawCall c;
  libraw_processed_image_t *image = nullptr;
  int code = LIBRAW_SUCCESS;
  if (channels < 1 || channels > 4 || !raw_open(&c, bytes)) {
    // said why
  } else if ((code = libraw_unpack(c.raw)) != LIBRAW_SUCCESS || c.data_error) {
    raw_fail(&c, code);
  } else if ((code = libraw_dcraw_process(c.raw)) != LIBRAW_SUCCESS || c.data_error) {
    raw_fail(&c, code);
  } else if (!(image = libraw_dcraw_make_mem_image(c.raw, &code))) {
    raw_fail(&c, code);
  } else if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 8 ||
             (u64)image->data_size < (u64)image->width * image->height * 3) {
    codec_failure_set(&c.failure, DecodeRefused, "the developed picture is not 8-bit RGB");
  } else if (image->width != width || image->height != height) {
    codec_failure_set(&c.failure, DecodeRefused, "the picture's header changed");
  } else {
    u64 count = (u64)image->width * image->height;
    u8 *pixels = (u8 *)codec_heap_alloc(count * 3);
    Str8 taken = {};
    if (pixels) {
      memcpy(pixels, image->data, count * 3);
      taken = codec_relayout_heap(Str8{pixels, count * 3}, 3, channels, count);
    }
    if (taken.size == 0) {
      codec_failure_set(&c.failure, DecodeRefused, "out of memory");
    } else {
      result.pixels = taken;
      result.width = image->width;
      result.height = image->height;
    }
  }
  if (image) libraw_dcraw_clear_mem(image);
  raw_close(&c);
  if (result.pixels.size == 0) {
    result.failure = c.failure;
    if (result.failure.kind == DecodeOk) codec_failure_set(&result.failure, DecodeRefused, nullptr);
  }
  return result;
}

const char *raw_library_version() { return libraw_version(); }

//~ Entry
// Read, never written; the copy of a source keeps its own extension (see
// format_copy_extension). The library's complaints go to each object's own handlers.
const ImageFormat FormatRaw = {
    .file_type = FileTypeRaw, .name = str8_lit("RAW"), .extension = str8_lit("raw"),
    .other_extension = str8_lit("dng cr2 cr3 crw nef nrw arw srf sr2 raf orf rw2 rwl pef srw 3fr iiq erf mef mos kdc dcr x3f"),
    .signature_size = 4, .signature = str8_lit("II*\0"),
    .keeps_alpha = false, .takes_quality = false, .can_be_lossless = false,
    .starts_as = raw_starts_as, .complete = raw_complete, .probe = raw_probe, .photo_tags = raw_photo_tags,
    .scan_count = nullptr, .scan_limit = 0, .decode_heap = raw_decode_heap,
    .encode = nullptr,
    .metadata = nullptr, .holds = 0, .encode_kept = nullptr,
    .library = Str8{},
};
