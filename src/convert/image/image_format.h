// Image formats: one entry per format the image library reads or writes, listed in one table.
// What differs between formats (how its files begin and end, its name in records and targets,
// its extension, what it can hold, its probe, decoder and encoder) is its entry's: the worker
// and the plan go through the table and never name a format. Each entry is defined in its
// format's own module (image_png, image_jpeg, image_webp, image_heif, image_gif) and listed in
// image_format.cpp. What a format's functions hand back (a probe, the tags a viewer applies, a
// decode, why one failed) is declared here, before the table that names them.
//
// The table is constant; any thread reads it.
#pragma once

#include "base/base.h"
#include "convert/image/image_sink.h"
#include "convert/image/image_metadata.h"

//~ What a format's functions give
//- why a probe or a decode failed
// Every probe and decode hands back its own reason with its result: nothing of one decode's
// failure is left behind for the next one to report.
enum DecodeFailure : u32 {
  DecodeOk = 0,
  DecodeRefused,    // the decoder cannot read the data (damaged, or a kind of file it does not read)
  DecodeOverBudget, // the data needs more memory than the picture's size allows
};
constexpr u64 CodecReasonMax = 96;
struct CodecFailure {
  u32 kind;                    // DecodeFailure
  char reason[CodecReasonMax]; // the library's own words, zero-terminated; empty when it gives none
};
// Sets the kind and copies the reason (null: none), cut to fit.
void codec_failure_set(CodecFailure *failure, u32 kind, const char *reason);
// A view of the reason (empty when there is none); it lives as long as *failure.
Str8 codec_failure_reason(const CodecFailure *failure);

//- a probe
struct CodecProbe {
  u64 width;
  u64 height;
  u32 channels;          // as stored in the file, 1 to 4
  u32 bytes_per_channel; // 2 for a 16-bit-per-channel source, else 1
  bool deep;             // stored at more than 8 bits a channel and decoded at 8 (a 10- or 12-bit HEIF)
  u64 frames;            // an animation's frames; 0 or 1: one picture; CodecFramesUncounted: several
  CodecFailure failure;  // why the probe failed, when it did
};

// An animation whose format does not tell its frame count without decoding it.
constexpr u64 CodecFramesUncounted = ~0ull;

//- what a viewer applies
// What a viewer applies to a source's stored pixels before it shows them, read from the bytes
// alone. Every read stays inside its segment, chunk or box; a tag or profile that cannot be
// read whole counts as absent.
// Colour stated by numbers rather than by a profile (an ISO-BMFF `nclx` box): the primaries'
// and the white point's chromaticities, and the transfer characteristics' code of ITU-T H.273.
struct CodecPrimaries {
  f32 xy[8];    // red x, y, green x, y, blue x, y, white x, y; all 0 when not stated
  u32 transfer; // 13 the sRGB curve, 8 linear, 4 gamma 2.2, 5 gamma 2.8, ..., TransferPower
  f32 gamma;    // with TransferPower: the exponent that decodes the numbers (a PNG's 1 / gAMA)
};
// Not one of the codes a HEIF's colour box uses: a power curve of the primaries' own gamma.
constexpr u32 TransferPower = 0x10000;
struct CodecPhotoTags {
  u32 orientation;  // the EXIF orientation, 1 to 8; 1 when absent, damaged or out of range
  Str8 icc_profile; // the embedded profile, its JPEG segments joined in sequence order; empty when absent
  CodecPrimaries primaries; // what the colours are when there is no profile
};
// A profile larger than this is not read: the largest a JPEG's 255 segments can carry.
constexpr u64 CodecProfileMax = 255ull * 65519;

//- a decode
// A decode's pixels, or why there are none. Every decode runs within a budget of what its
// picture needs (its pixels, the decoder's working buffers for that size, a fixed margin): past
// it, the decode fails as DecodeOverBudget.
struct CodecDecoded {
  Str8 pixels;  // packed rows; empty on failure
  u64 width;    // of the picture decoded: the probed size, but where a format's decoder
  u64 height;   // applies a crop or a turn of its own (HEIF's clap and irot)
  CodecFailure failure;
};

//~ Formats
// The numbers records carry; a target's image type uses the same ones.
enum : u32 {
  FileTypeNone = 0,
  FileTypeJpeg = 1,
  FileTypePng = 2,
  FileTypeWebp = 3,
  FileTypeHeif = 4,
  FileTypeAvif = 5,
  FileTypeTiff = 6,
  FileTypeGif = 7,
  FileTypeJxl = 8,
  FileTypeRaw = 9,
};

struct ImageFormat {
  u32 file_type;
  Str8 name;          // a record's [file_type], a target's image_type: "JPEG"
  Str8 extension;     // of the files written: "jpg"
  Str8 other_extension; // a source named with this one keeps it on its copy ("heif"); several
                        // separated by spaces ("dng cr2 nef"); may be empty
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
  // The metadata blocks a source carries (image_metadata.h); null for a format read here for
  // its pixels only.
  ImageMetadata (*metadata)(Arena *arena, Str8 bytes);
  // The blocks its files have a place for (Holds* bits), and its encoder writing them there:
  // the same file as `encode` makes, with the non-empty blocks of `kept` added; a block it has
  // no place or room for is emptied in *kept, which then tells what the file holds. Null: it
  // keeps none.
  u32 holds;
  bool (*encode_kept)(EncodeSink *sink, const u8 *pixels, u64 size, u64 width, u64 height, u32 channels, int quality,
                      bool lossless, ImageMetadata *kept);
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
// The extension of a source's copy: the format's other extension (one of them) when the source
// is named with it (in any letter case), else the format's own.
Str8 format_copy_extension(u32 file_type, Str8 source_name);
// The formats' names for people, in the table's order: every format read, or those written
// ("JPEG, PNG and WEBP").
Str8 format_names(Arena *arena, bool written_only);
// Whether the bytes are shorter than some format's signature and match it as far as they go:
// the start of a picture still being written, not yet a file of no format.
bool format_may_become(Str8 bytes);
