#include <gif_lib.h>

#include "convert/image/image_gif.h"
#include "convert/image/image_heap.h"
#include "convert/image/image_stb.h"

//~ Reading
bool gif_starts_as(Str8 bytes) {
  return bytes.size >= GifSignatureSize && (memcmp(bytes.str, "GIF87a", 6) == 0 || memcmp(bytes.str, "GIF89a", 6) == 0);
}

//- the blocks
// The screen descriptor: signature, width, height, flags, background index, aspect ratio.
static constexpr u64 GifScreenSize = 13;

enum GifEnd : u32 {
  GifEndsShort,   // the bytes end inside a block: still being written, or cut short
  GifEndsTrailer, // the trailer, 0x3B
  GifEndsDamaged, // a byte that begins no block, where one should begin
};

// What the blocks say, without decoding: the screen, the first frame's place and colours, how
// many frames there are.
struct GifLayout {
  u64 screen_width;
  u64 screen_height;
  u64 frames;
  bool framed; // the first frame's descriptor lies inside the bytes
  u64 left;    // the first frame's rectangle on the screen
  u64 top;
  u64 width;
  u64 height;
  bool interlaced;
  bool colour_table; // its own or the global one
  bool transparent;  // the graphics control extension before it names a transparent index
  u32 transparent_index;
};

// Each step moves past a whole block or ends the walk, so the walk costs at most one step per
// sub-block of the file.
static u32 gif_walk(Str8 bytes, GifLayout *out) {
  *out = GifLayout{};
  const u8 *b = bytes.str;
  if (!gif_starts_as(bytes) || bytes.size < GifScreenSize) return GifEndsShort;
  out->screen_width = read_le16(b + 6);
  out->screen_height = read_le16(b + 8);
  bool global_table = (b[10] & 0x80) != 0;
  u64 at = GifScreenSize + (global_table ? 3ull << ((b[10] & 7) + 1) : 0);
  bool transparent = false;
  u32 transparent_index = 0;
  for (;;) {
    if (at >= bytes.size) return GifEndsShort;
    u8 introducer = b[at];
    if (introducer == 0x3B) return GifEndsTrailer;
    if (introducer == 0x21) {
      if (at + 2 > bytes.size) return GifEndsShort;
      u8 label = b[at + 1];
      at += 2;
      // a graphics control extension: its one sub-block of 4 bytes, flags first (bit 0: there
      // is a transparent index), the index last; it applies to the next frame only
      if (label == 0xF9 && at + 5 <= bytes.size && b[at] >= 4) {
        transparent = (b[at + 1] & 1) != 0;
        transparent_index = b[at + 4];
      }
    } else if (introducer == 0x2C) {
      if (at + 10 > bytes.size) return GifEndsShort;
      u8 flags = b[at + 9];
      if (out->frames == 0) {
        out->framed = true;
        out->left = read_le16(b + at + 1);
        out->top = read_le16(b + at + 3);
        out->width = read_le16(b + at + 5);
        out->height = read_le16(b + at + 7);
        out->interlaced = (flags & 0x40) != 0;
        out->colour_table = global_table || (flags & 0x80) != 0;
        out->transparent = transparent;
        out->transparent_index = transparent_index;
      }
      out->frames += 1;
      transparent = false;
      at += 10 + ((flags & 0x80) ? 3ull << ((flags & 7) + 1) : 0) + 1; // its table, the LZW code size
    } else {
      return GifEndsDamaged;
    }
    // the sub-blocks, to the empty one that ends them
    for (;;) {
      if (at >= bytes.size) return GifEndsShort;
      u64 size = b[at];
      at += 1 + size;
      if (size == 0) break;
    }
  }
}

// Browsers take bytes that begin no block as the end of the file and show the frames before
// them; so does the probe, and the decoder reads the first frame only.
bool gif_complete(Str8 bytes) {
  GifLayout layout;
  return gif_starts_as(bytes) && gif_walk(bytes, &layout) != GifEndsShort;
}

// A first frame larger than the screen (on either side, as in files whose writers put a zero
// or stale screen size) makes the picture the frame's size, the frame at its top left, as
// browsers show it; otherwise the picture is the screen and the frame is clipped to it.
static bool gif_enlarged(const GifLayout *layout) {
  return layout->width > layout->screen_width || layout->height > layout->screen_height;
}

bool gif_probe(Str8 bytes, CodecProbe *out) {
  *out = CodecProbe{};
  GifLayout layout;
  u32 end = gif_walk(bytes, &layout);
  out->width = layout.screen_width;
  out->height = layout.screen_height;
  const char *refusal = nullptr;
  if (!gif_starts_as(bytes) || bytes.size < GifScreenSize) {
    refusal = "not a GIF";
  } else if (!layout.framed) {
    refusal = end == GifEndsShort ? "file ends before its first frame" : "no frame";
  } else if (layout.width == 0 || layout.height == 0) {
    refusal = "its first frame has no pixels";
  } else if (!layout.colour_table) {
    refusal = "its first frame has no colour table";
  }
  if (refusal) {
    codec_failure_set(&out->failure, DecodeRefused, refusal);
    return false;
  }
  bool enlarged = gif_enlarged(&layout);
  if (enlarged) {
    out->width = layout.width;
    out->height = layout.height;
  }
  bool covers = enlarged || (layout.left == 0 && layout.top == 0 && layout.width == layout.screen_width &&
                             layout.height == layout.screen_height);
  out->channels = layout.transparent || !covers ? 4 : 3;
  out->bytes_per_channel = 1;
  out->frames = layout.frames;
  if (out->width * out->height * 4 <= CodecIntMax) return true;
  codec_failure_set(&out->failure, DecodeRefused, "picture too large for the decoder");
  return false;
}

CodecPhotoTags gif_photo_tags(Arena *, Str8) { return CodecPhotoTags{1, {}, {}}; }

//- decoding
// The library reads through a callback; this one hands over the caller's bytes.
struct GifSource {
  const u8 *bytes;
  u64 size;
  u64 at;
};

static int gif_read(GifFileType *gif, GifByteType *into, int wanted) {
  GifSource *source = (GifSource *)gif->UserData;
  u64 count = wanted > 0 ? min_of((u64)wanted, source->size - source->at) : 0;
  if (count) memcpy(into, source->bytes + source->at, count);
  source->at += count;
  return (int)count;
}

// The library tells why it failed by a code; its words for it are constant strings.
static const char *gif_error_text(int error) {
  const char *text = GifErrorString(error);
  return text ? text : "the library failed";
}

// Past the extensions before the first frame, to its descriptor.
static bool gif_to_first_frame(GifFileType *gif) {
  for (;;) {
    GifRecordType record = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &record) == GIF_ERROR) return false;
    if (record == IMAGE_DESC_RECORD_TYPE) return DGifGetImageDesc(gif) != GIF_ERROR;
    if (record != EXTENSION_RECORD_TYPE) return false;
    int code = 0;
    GifByteType *data = nullptr;
    if (DGifGetExtension(gif, &code, &data) == GIF_ERROR) return false;
    while (data) {
      if (DGifGetExtensionNext(gif, &data) == GIF_ERROR) return false;
    }
  }
}

// The first frame's rows, decoded by the library, put in place on `pixels` (width × height, 3
// or 4 bytes a pixel, already transparent black). The reason when it fails, else null.
static const char *gif_compose(Str8 bytes, const GifLayout *layout, u8 *pixels, u64 width, u64 height, u32 channels) {
  GifSource source = {bytes.str, bytes.size, 0};
  int error = 0;
  GifFileType *gif = DGifOpen(&source, gif_read, &error);
  if (!gif) return gif_error_text(error);
  const char *reason = nullptr;
  u8 *row = nullptr;
  if (!gif_to_first_frame(gif)) {
    reason = gif_error_text(gif->Error);
  } else if ((u64)gif->Image.Left != layout->left || (u64)gif->Image.Top != layout->top ||
             (u64)gif->Image.Width != layout->width || (u64)gif->Image.Height != layout->height) {
    reason = "its first frame is not the one its blocks describe";
  } else if (!(row = (u8 *)codec_heap_alloc(layout->width))) {
    reason = "out of memory";
  }
  if (reason) {
    DGifCloseFile(gif, &error);
    return reason;
  }

  // the colours of the frame's indexes; indexes past its table are black
  ColorMapObject *table = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
  u8 palette[256][4] = {};
  for (u32 i = 0; i < 256; i += 1) {
    if (table && (int)i < table->ColorCount) {
      palette[i][0] = table->Colors[i].Red;
      palette[i][1] = table->Colors[i].Green;
      palette[i][2] = table->Colors[i].Blue;
    }
    palette[i][3] = 255;
  }
  if (layout->transparent) memset(palette[layout->transparent_index], 0, 4);

  // rows in the order they are stored: an interlaced frame's four passes, every 8th row from
  // 0, every 8th from 4, every 4th from 2, every 2nd from 1
  static const u64 PassStart[4] = {0, 4, 2, 1};
  static const u64 PassStep[4] = {8, 8, 4, 2};
  bool enlarged = gif_enlarged(layout);
  u64 left = enlarged ? 0 : layout->left, top = enlarged ? 0 : layout->top;
  u64 shown = left < width ? min_of(layout->width, width - left) : 0;
  u64 stride = width * channels;
  u64 y = 0, pass = 0;
  for (u64 i = 0; i < layout->height; i += 1) {
    if (DGifGetLine(gif, row, (int)layout->width) == GIF_ERROR) {
      reason = gif_error_text(gif->Error);
      break;
    }
    if (top + y < height) {
      u8 *at = pixels + (top + y) * stride + left * channels;
      for (u64 x = 0; x < shown; x += 1, at += channels) memcpy(at, palette[row[x]], channels);
    } else if (!layout->interlaced) {
      break; // the rows below the picture are not decoded
    }
    if (!layout->interlaced) {
      y += 1;
      continue;
    }
    y += PassStep[pass];
    while (pass < 3 && y >= layout->height) {
      pass += 1;
      y = PassStart[pass];
    }
  }
  codec_heap_release(row);
  DGifCloseFile(gif, &error);
  return reason;
}

CodecDecoded gif_decode_heap(Str8 bytes, u64 width, u64 height, u32 channels) {
  CodecDecoded result = {};
  CodecProbe probe;
  if (channels < 1 || channels > 4 || !gif_probe(bytes, &probe) || probe.width != width || probe.height != height) {
    codec_failure_set(&result.failure, DecodeRefused, probe.failure.reason);
    return result;
  }
  GifLayout layout;
  gif_walk(bytes, &layout);
  // decoded at 4 channels where there is alpha or it is wanted, else at 3, then narrowed
  u32 decoded = probe.channels == 4 || channels == 2 || channels == 4 ? 4 : 3;
  u64 size = width * height * decoded;
  u8 *pixels = (u8 *)codec_heap_alloc(size);
  if (!pixels) {
    codec_failure_set(&result.failure, DecodeRefused, "out of memory");
    return result;
  }
  memset(pixels, 0, size);
  const char *reason = gif_compose(bytes, &layout, pixels, width, height, decoded);
  if (reason) {
    codec_failure_set(&result.failure, DecodeRefused, reason);
    codec_heap_release(pixels);
    return result;
  }
  result.pixels = Str8{pixels, size};
  result.width = width;
  result.height = height;
  if (channels < decoded) result.pixels = codec_narrow_heap(result.pixels, decoded, channels, width * height);
  return result;
}

//~ Entry
// Read, never written. giflib prints nothing: it returns error codes.
const ImageFormat FormatGif = {
    .file_type = FileTypeGif, .name = str8_lit("GIF"), .extension = str8_lit("gif"), .other_extension = Str8{},
    .signature_size = GifSignatureSize, .signature = str8_lit("GIF8?a"),
    .keeps_alpha = true, .takes_quality = false, .can_be_lossless = false,
    .starts_as = gif_starts_as, .complete = gif_complete, .probe = gif_probe, .photo_tags = gif_photo_tags,
    .scan_count = nullptr, .scan_limit = 0, .decode_heap = gif_decode_heap,
    .encode = nullptr,
    .metadata = nullptr, .holds = 0, .encode_kept = nullptr,
    .library = Str8{},
};
