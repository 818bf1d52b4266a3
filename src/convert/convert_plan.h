// Output planning of one conversion attempt; convert_pipeline carries the plan out.
//
// A plan belongs to the worker that holds its source: the records and texts live in the
// worker's scratch arena, the decoded layouts in the worker's layout arena, every other pixel
// and encoded buffer in the source's own arena (reset after the attempt). The steps run in order, each only while plan->ok holds: targets,
// geometry, decoding, resampling, statistics and background, checksums and encoding.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "convert/image/image.h"
#include "convert/convert_target.h"
#include "convert/convert_metadata.h"

//~ Plan
// A record and the effective target it is paired with: every output with the target that
// created it, the source record with the first identity target (or an implicit one).
struct PlanPair {
  OutputRecord *record;
  Target target;
  u8 *canvas; // a letterboxed output's canvas, its picture resampled in place; null otherwise
  bool one_side; // the target gave one side, the other was taken from the picture's proportions
  // The record's pixel checksum, taken with its statistics in one pass (once the background is
  // composed: the checksum covers the canvas).
  bool digest_taken;
  U128 digest;
};

struct ConvertPlan {
  Arena *arena;      // records, texts
  Arena *file_arena;   // resampled pixels, canvases and encoded outputs
  Arena *layout_arena; // the decoded layouts at the source's size, released before encoding
  u64 layout_mark;
  Str8 out_folder;
  Str8 source_bytes;
  const ImageFormat *format; // the source's, null for bytes of no format known here
  CodecProbe probe;
  OutputRecord *first_record; // the source record, then the outputs in target order
  OutputRecord *last_record;
  u64 record_count;
  PlanPair *pairs; // pairs[0] is the source record's pair
  u64 pair_count;
  ImageStats slots[4]; // slot k: the source decoded to k + 1 channels of 8 bits
  bool needed[4];      // needed[k]: the layout of k + 1 channels is needed
  Str8 heap_layout;    // a slot held in the decoder's own buffer, freed with the layouts
  // The source record's statistics and checksum, taken before its layout was widened in place.
  bool source_done;
  U128 source_digest;
  // How every output differs from the stored picture: turned by its EXIF orientation (1: not
  // at all) and converted to sRGB (null: its numbers kept). The source record never is.
  u32 orientation;
  ColorConversion *color;
  // What an output keeping the source's metadata needs: the source's profile, the orientation
  // its kept EXIF states (1 when its pixels are upright), and the source's blocks, read once
  // by the first output that keeps any.
  Str8 source_icc;
  u32 kept_orientation;
  bool metadata_read;
  ImageMetadata source_metadata;
  const TargetList *targets; // of plan_targets, for a picture that decodes at another size
  CodecFailure failure; // why the decode failed, when it did
  u64 library_notes;    // notes made of what the format's library printed, at most PlanLibraryNotes
  bool ok;
};

// What the format's library prints on standard error during its calls becomes notes of the
// record the call was for (the source's, or the output's for its encoder): one per distinct
// line, named after the library, without control characters, cut at PlanLibraryLineMax bytes,
// and no more than PlanLibraryNotes for one source. A line printed while other files' calls
// were in flight too may be about one of them, and its note says so.
constexpr u64 PlanLibraryNotes = 8;
constexpr u64 PlanLibraryLineMax = 200;
// Notes of `record` made of what `library` printed during a call for it; `shared` when other
// files' calls were in flight too.
void plan_library_notes(ConvertPlan *plan, OutputRecord *record, Str8 library, Str8 printed, bool shared);
// Around a call of the format's own functions for `record`: what its library prints meanwhile
// becomes the record's notes. Nothing is taken for a format whose library never prints.
void plan_library_begin(const ImageFormat *format, StderrCapture *capture);
void plan_library_end(ConvertPlan *plan, OutputRecord *record, const ImageFormat *format, StderrCapture *capture);

// The source record, first in the record list; its format and file type come from the
// signature (FileTypeNone when the bytes are of no format known here).
void plan_begin(ConvertPlan *plan, Arena *arena, Arena *file_arena, Arena *layout_arena, Str8 out_folder,
                Str8 source_bytes);
u32 plan_file_type_of(Str8 bytes);
OutputRecord *plan_source_record(ConvertPlan *plan);

// The source's probe by its format (plan->format, which must be known).
bool plan_probe(ConvertPlan *plan, CodecProbe *out);
// Fills the source record's image from a successful probe.
void plan_set_source(ConvertPlan *plan, CodecProbe probe);

// What a viewer applies to the source (its orientation, its colour profile), for the outputs:
// each turned to show upright unless `keep_orientation`, converted to sRGB unless
// `keep_color`. Read from the source's bytes, after plan_set_source.
void plan_photo(ConvertPlan *plan, bool keep_orientation, bool keep_color);
// Effective targets (defaults, skip rules, identity targets), output records and pairs.
void plan_targets(ConvertPlan *plan, const TargetList *targets);
// Sizes, backgrounds, formats and channel counts, aspect ratios, needed layouts.
void plan_geometry(ConvertPlan *plan);
