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
