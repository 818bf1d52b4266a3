// Image formats: one entry per format the conversion layer reads or writes, in one table.
// What differs between formats (how its files begin and end, its name in records and targets,
// its extension, what it can hold, its probe, decoder and encoder) is its entry's: the worker
// and the plan go through the table and never name a format.
//
// The table is constant; any thread reads it.
#pragma once

#include "base/base.h"
#include "convert/convert_codec.h"
#include "convert/convert_webp.h"
#include "convert/convert_heif.h"

//~ Formats
// The numbers records carry; a target's image type uses the same ones.
enum : u32 {
  FileTypeNone = 0,
  FileTypeJpeg = 1,
  FileTypePng = 2,
  FileTypeWebp = 3,
  FileTypeHeif = 4,
  FileTypeAvif = 5,
};

struct ImageFormat {
  u32 file_type;
  Str8 name;          // a record's [file_type], a target's image_type: "JPEG"
  Str8 extension;     // of the files written: "jpg"
  Str8 other_extension; // a source named with this one keeps it on its copy ("heif"); may be empty
  u64 signature_size; // the fewest bytes that tell a file of this format
  Str8 signature;     // what those bytes are, '?' standing for any byte
  bool keeps_alpha;   // holds transparency: a picture on a see-through canvas stays in this format
  bool takes_quality; // its encoder takes the target's quality, which its records then give
  bool can_be_lossless; // its encoder writes the pixels exactly when a target asks
  bool (*starts_as)(Str8 bytes);
  bool (*complete)(Str8 bytes); // see codec_complete
  bool (*probe)(Str8 bytes, CodecProbe *out);
  // What a viewer applies to the decoded pixels: the orientation tag and the colour profile
  // (see codec_photo_tags).
  CodecPhotoTags (*photo_tags)(Arena *arena, Str8 bytes);
  u64 (*scan_count)(Str8 bytes); // the passes a decode makes over the picture; null: one
  u64 scan_limit;                // more passes than this are refused before decoding
  // The picture at `channels` 8-bit channels in a buffer of the image libraries' heap (see
  // codec_decode_8_heap), or why there is none. Its size is the probe's, but where the
  // format's decoder crops or turns the picture itself.
  CodecDecoded (*decode_heap)(Str8 bytes, u64 width, u64 height, u32 channels);
  // Packed rows of `channels` channels; quality 1..100 where the format takes one. Null for
  // a format that is read only.
  bool (*encode)(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                 bool lossless);
  // The library behind the probe, decoder and encoder when it (or a codec inside it) may print
  // on standard error during their calls ("libheif"); empty when none does.
  Str8 library;
};

// The format whose signature the bytes begin with (a signature needs all of its bytes), or
// null.
const ImageFormat *format_of_bytes(Str8 bytes);
// The format a targets file names ("JPEG", any letter case); null for another name.
const ImageFormat *format_of_name(Str8 name);
// The entry of a file type; null for FileTypeNone and unknown numbers.
const ImageFormat *format_of_type(u32 file_type);
// The format of an output whose target names none, and the one that holds a picture on a
// see-through canvas in place of a format that cannot.
const ImageFormat *format_default_output();
const ImageFormat *format_with_alpha();
// A record's [file_type] and its file's extension; a record without a file (its encoding
// failed) is named as a PNG, as it always was.
Str8 format_name(u32 file_type);
Str8 format_extension(u32 file_type);
// The extension of a source's copy: the format's other extension when the source is named
// with it (in any letter case), else the format's own.
Str8 format_copy_extension(u32 file_type, Str8 source_name);
// The formats' names for people, in the table's order: every format read, or those written
// ("JPEG, PNG and WEBP").
Str8 format_names(Arena *arena, bool written_only);
// Whether the bytes are shorter than some format's signature and match it as far as they go:
// the start of a picture still being written, not yet a file of no format.
bool format_may_become(Str8 bytes);
