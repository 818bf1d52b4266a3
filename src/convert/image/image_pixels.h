// Pixel helpers of the pipeline: the size a picture takes inside a target's box (or the window
// of it that covers the box), turning a picture as its EXIF orientation says, and the
// background of a letterboxed output. They work
// on the caller's buffers (the compositing's canvas comes from the caller's arena) and keep
// nothing, so any number of threads use them at once.
#pragma once

#include "base/base.h"
#include "convert/image/image_stats.h"

//~ Fitting
struct SizeU64 {
  u64 width;
  u64 height;
};

// The largest size of the source's aspect ratio inside the target, in single precision and
// truncated toward zero (a ratio that is not exact can lose a pixel; that is the rule), but
// never below one pixel a side.
SizeU64 fit_inside(u64 source_width, u64 source_height, u64 target_width, u64 target_height);
u32 gcd_u32(u32 a, u32 b);

struct RectU64 {
  u64 x;
  u64 y;
  u64 width;
  u64 height;
};

// The largest window of the target's proportions inside the source, each side rounded to the
// nearest pixel and kept between one pixel and the source's side: what a picture scaled to
// cover the target shows of the source.
SizeU64 fit_cover_window(u64 source_width, u64 source_height, u64 target_width, u64 target_height);

//~ Turning
// EXIF orientations 5 to 8 show the stored picture with its width and height swapped.
inline bool orientation_swaps(u32 orientation) { return orientation >= 5 && orientation <= 8; }
// Writes the stored picture `in` (width × height pixels of `bpp` bytes, 1 to 4) as a viewer
// shows it under the EXIF `orientation` (1 to 8) to `out`: width × height pixels, or height ×
// width for an orientation that swaps them, rows `out_stride` bytes apart.
void picture_turn(const u8 *in, u64 in_stride, u64 width, u64 height, u32 bpp, u32 orientation, u8 *out,
                  u64 out_stride);
// The rectangle of the stored picture (width × height) that a viewer applying `orientation`
// shows as the rectangle `upright` of the turned picture.
RectU64 orientation_stored_rect(u32 orientation, u64 width, u64 height, RectU64 upright);

//~ Backgrounds
// The background pixel of a packed 0xRRGGBBAA colour for a channel count: (R, G, B, A),
// (R, G, B), (Y, A) or (Y), with Y = (299 R + 587 G + 114 B + 500) / 1000.
void background_pixel(u32 bg_color, u32 channels, u8 out[4]);

// Puts the image's picture on a canvas of width_bg × height_bg filled with its background:
// the odd row goes to the bottom, the odd column to the right.
void compose_background(Arena *arena, ImageStats *image);
// The same for a picture that already lies on its canvas at its place: paints the borders only.
void compose_borders(u8 *canvas, ImageStats *image);
