// The attention search: which window of a picture a cover output shows when its target asks
// for the interesting part rather than the centre. Judged on a reduced copy of the upright
// picture: each pixel scores its edge detail (the Laplacian of its luma), its saturation and
// whether its colour is skin-like, and the window holding the highest score wins; a window no
// better than the centre's is the centre's, so a flat picture crops as the centre crop does.
// Works on the caller's buffers and the thread's scratch arena, keeping nothing: any number of
// threads search at once.
#pragma once

#include "base/base.h"
#include "convert/image/image_pixels.h"

// Side the search works at: the longer side of the reduced copy is at most this many pixels.
constexpr u64 AttentionSide = 256;

// The window of `window`'s size, in the coordinates of the upright picture, that holds the most
// detail, saturation and skin-like colour. `pixels` is the stored picture (width × height,
// `channels` 1 to 4 bytes a pixel, rows `stride` bytes apart) which a viewer turns by the EXIF
// `orientation`. A window larger than the picture is cut to it.
RectU64 attention_window(const u8 *pixels, u64 stride, u64 width, u64 height, u32 channels, u32 orientation,
                         SizeU64 window);
