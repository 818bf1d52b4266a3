// Conversion targets: what one output is to be. The application reads them from the targets
// file (or takes the built-in ones) before the workers start; workers only read them.
#pragma once

#include "base/base.h"
#include "convert/image/image.h"

//~ Targets
// One conversion target. The filter and edge numbers are the resampler's own enumeration
// values, passed to it unchanged.
struct Target {
  i32 image_type; // the FileType of the format it names; FileTypeNone: not named
  u64 width;      // 0: not set
  u64 height;
  u32 bg_color; // packed 0xRRGGBBAA: the lowest byte is the opacity
  u8 quality;   // quality 0..100 of a format that takes one; 0 not set
  bool lossless; // a format that can be lossless is written so (quality then does not apply)
  u64 max_bytes;
  i32 resampling_filter; // 0 default, 1 box, 2 triangle, 3 cubic B-spline, 4 Catmull-Rom, 5 Mitchell, 6 point
  i32 edge_mode;         // 0 clamp, 1 reflect, 2 wrap, 3 zero
  i32 pixel_layout;      // channel count 1..4; 0 not set
  u8 fit;                // TargetFit: how the picture meets the box
  u8 crop;               // TargetCrop: which window of the picture a cover output shows
  bool no_enlarge;       // a picture smaller than the box keeps its size
  u32 keep;              // Keep* bits: the source's metadata written into the output
};

enum TargetFit : u8 {
  FitPad = 0,    // fitted inside the box and centred on a canvas of the box's size
  FitInside = 1, // fitted inside the box, alone
  FitCover = 2,  // covering the box, the overflow cropped
};

enum TargetCrop : u8 {
  CropCenter = 0,
  CropAttention = 1, // the window with the most detail, saturation and skin-like colour
};

// A target's `keep`: the image library's metadata parts, so that the plan hands them on as they are.
enum : u32 {
  KeepIcc = MetaIcc, KeepExif = MetaExif, KeepGps = MetaGps, KeepXmp = MetaXmp, KeepIptc = MetaIptc,
  KeepCopyright = MetaCopyright,
  KeepAll = KeepIcc | KeepExif | KeepGps | KeepXmp | KeepIptc | KeepCopyright,
};

struct TargetNode {
  TargetNode *next;
  Target *target;
};

struct TargetList {
  TargetNode *first;
  TargetNode *last;
  u64 count;
};
