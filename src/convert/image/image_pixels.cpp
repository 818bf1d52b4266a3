#include "convert/image/image_pixels.h"

//~ Fitting
SizeU64 fit_inside(u64 source_width, u64 source_height, u64 target_width, u64 target_height) {
  if (target_width == source_width && target_height == source_height) return SizeU64{source_width, source_height};
  if (source_width == 0 || source_height == 0) return SizeU64{0, 0};
  f32 ratio_w = (f32)target_width / (f32)source_width;
  f32 ratio_h = (f32)target_height / (f32)source_height;
  f32 a = ratio_w < ratio_h ? ratio_w : ratio_h;
  f32 w = (f32)source_width * a;
  f32 h = (f32)source_height * a;
  // A side that rounds below one pixel (a 1 x 60000 strip in a square box) keeps one: every
  // output has a picture to resample, encode and letterbox.
  return SizeU64{max_of((u64)w, (u64)1), max_of((u64)h, (u64)1)};
}

SizeU64 fit_cover_window(u64 source_width, u64 source_height, u64 target_width, u64 target_height) {
  if (source_width == 0 || source_height == 0 || target_width == 0 || target_height == 0) return SizeU64{0, 0};
  // in double precision: a target side read from a file may be any 64-bit number
  f64 target_ratio = (f64)target_width / (f64)target_height;
  f64 w = (f64)source_width, h = (f64)source_height;
  if (w / h > target_ratio) {
    w = h * target_ratio;
  } else {
    h = w / target_ratio;
  }
  u64 width = clamp_of<u64>(1, (u64)(w + 0.5), source_width);
  u64 height = clamp_of<u64>(1, (u64)(h + 0.5), source_height);
  return SizeU64{width, height};
}

u32 gcd_u32(u32 a, u32 b) {
  while (b != 0) {
    u32 r = a % b;
    a = b;
    b = r;
  }
  return a;
}

//~ Turning
// Each orientation as the stored pixel a viewer shows at (x, y): the address of the one at
// (0, 0) and the steps to the next column and the next row, in the stored picture.
struct TurnWalk {
  i64 origin;
  i64 step_x;
  i64 step_y;
};

static TurnWalk turn_walk(u32 orientation, u64 width, u64 height, i64 stride, i64 bpp) {
  i64 right = (i64)(width - 1) * bpp, bottom = (i64)(height - 1) * stride;
  switch (orientation) {
    case 2: return TurnWalk{right, -bpp, stride};           // mirrored left to right
    case 3: return TurnWalk{bottom + right, -bpp, -stride}; // a half turn
    case 4: return TurnWalk{bottom, bpp, -stride};          // mirrored top to bottom
    case 5: return TurnWalk{0, stride, bpp};                // mirrored along the main diagonal
    case 6: return TurnWalk{bottom, -stride, bpp};          // a quarter turn clockwise
    case 7: return TurnWalk{bottom + right, -stride, -bpp}; // mirrored along the other diagonal
    case 8: return TurnWalk{right, stride, -bpp};           // a quarter turn counter-clockwise
    default: return TurnWalk{0, bpp, stride};
  }
}

template <u32 Bpp>
static void turn_tiles(const u8 *in, TurnWalk walk, u64 out_width, u64 out_height, u8 *out, u64 out_stride) {
  // in tiles, so that the column walk of a quarter turn stays within rows still cached
  constexpr u64 Tile = 32;
  for (u64 ty = 0; ty < out_height; ty += Tile) {
    u64 y_end = min_of(ty + Tile, out_height);
    for (u64 tx = 0; tx < out_width; tx += Tile) {
      u64 x_end = min_of(tx + Tile, out_width);
      for (u64 y = ty; y < y_end; y += 1) {
        // an offset, not a pointer, walks backwards: it never points before the picture
        i64 from = walk.origin + (i64)y * walk.step_y + (i64)tx * walk.step_x;
        u8 *to = out + y * out_stride + tx * Bpp;
        for (u64 x = tx; x < x_end; x += 1, from += walk.step_x, to += Bpp) memcpy(to, in + from, Bpp);
      }
    }
  }
}

void picture_turn(const u8 *in, u64 in_stride, u64 width, u64 height, u32 bpp, u32 orientation, u8 *out,
                  u64 out_stride) {
  if (width == 0 || height == 0) return;
  TurnWalk walk = turn_walk(orientation, width, height, (i64)in_stride, (i64)bpp);
  bool swap = orientation_swaps(orientation);
  u64 out_width = swap ? height : width, out_height = swap ? width : height;
  switch (bpp) {
    case 1: turn_tiles<1>(in, walk, out_width, out_height, out, out_stride); break;
    case 2: turn_tiles<2>(in, walk, out_width, out_height, out, out_stride); break;
    case 3: turn_tiles<3>(in, walk, out_width, out_height, out, out_stride); break;
    case 4: turn_tiles<4>(in, walk, out_width, out_height, out, out_stride); break;
    default: break;
  }
}

RectU64 orientation_stored_rect(u32 orientation, u64 width, u64 height, RectU64 upright) {
  if (upright.width == 0 || upright.height == 0) return RectU64{};
  // both corners taken back to the stored picture, by the walks picture_turn follows
  u64 corners[2][2] = {{upright.x, upright.y}, {upright.x + upright.width - 1, upright.y + upright.height - 1}};
  u64 sx[2], sy[2];
  for (int i = 0; i < 2; i += 1) {
    u64 x = corners[i][0], y = corners[i][1];
    switch (orientation) {
      case 2: sx[i] = width - 1 - x, sy[i] = y; break;
      case 3: sx[i] = width - 1 - x, sy[i] = height - 1 - y; break;
      case 4: sx[i] = x, sy[i] = height - 1 - y; break;
      case 5: sx[i] = y, sy[i] = x; break;
      case 6: sx[i] = y, sy[i] = height - 1 - x; break;
      case 7: sx[i] = width - 1 - y, sy[i] = height - 1 - x; break;
      case 8: sx[i] = width - 1 - y, sy[i] = x; break;
      default: sx[i] = x, sy[i] = y; break;
    }
  }
  u64 x0 = min_of(sx[0], sx[1]), y0 = min_of(sy[0], sy[1]);
  return RectU64{x0, y0, max_of(sx[0], sx[1]) - x0 + 1, max_of(sy[0], sy[1]) - y0 + 1};
}

//~ Backgrounds
void background_pixel(u32 bg_color, u32 channels, u8 out[4]) {
  u32 r = (bg_color >> 24) & 0xFF;
  u32 g = (bg_color >> 16) & 0xFF;
  u32 b = (bg_color >> 8) & 0xFF;
  u32 a = bg_color & 0xFF;
  u32 y = (299 * r + 587 * g + 114 * b + 500) / 1000;
  memset(out, 0, 4);
  switch (channels) {
    case 4: out[0] = (u8)r, out[1] = (u8)g, out[2] = (u8)b, out[3] = (u8)a; break;
    case 3: out[0] = (u8)r, out[1] = (u8)g, out[2] = (u8)b; break;
    case 2: out[0] = (u8)y, out[1] = (u8)a; break;
    case 1: out[0] = (u8)y; break;
    default: break;
  }
}

// The top rows, each row's left and right stretches and the bottom rows of the canvas, in the
// background pixel; the picture's own rows are left as they are.
static void paint_borders(u8 *canvas, u64 bpp, u64 w, u64 h, u64 canvas_w, u64 canvas_h, u32 bg_color) {
  u64 row = bpp * canvas_w;
  u64 dw = canvas_w - w, dh = canvas_h - h;
  u64 top = dh / 2, bottom = dh - top;
  u64 left = dw / 2, right = dw - left;
  u8 pixel[4];
  background_pixel(bg_color, (u32)bpp, pixel);

  // A run of background pixels as long as the longest stretch written below.
  u64 run_size = max_of(max_of(top * row, bottom * row), max_of(left * bpp, right * bpp));
  Scratch scratch = scratch_begin(nullptr);
  u8 *run = (u8 *)arena_alloc(scratch.arena, max_of<u64>(run_size, 1), 8);
  for (u64 i = 0; i + bpp <= run_size; i += bpp) memcpy(run + i, pixel, bpp);

  memcpy(canvas, run, top * row);
  for (u64 y = 0; y < h; y += 1) {
    u8 *line = canvas + (top + y) * row;
    memcpy(line, run, left * bpp);
    memcpy(line + (left + w) * bpp, run, right * bpp);
  }
  memcpy(canvas + (top + h) * row, run, bottom * row);
  scratch_restore(scratch);
}

static bool canvas_fits(ImageStats *image) {
  return image->width_bg >= image->width && image->height_bg >= image->height && image->bytes_per_pixel != 0 &&
         image->bytes_per_pixel <= 4;
}

void compose_borders(u8 *canvas, ImageStats *image) {
  if (!canvas_fits(image)) return;
  u64 bpp = image->bytes_per_pixel;
  paint_borders(canvas, bpp, image->width, image->height, image->width_bg, image->height_bg, image->bg_color);
  image->pixels = canvas;
  image->x_stride = bpp * image->width_bg;
  image->pixel_size = image->x_stride * image->height_bg;
}

void compose_background(Arena *arena, ImageStats *image) {
  if (!canvas_fits(image)) return;
  u64 bpp = image->bytes_per_pixel;
  u64 row = bpp * image->width_bg;
  u64 w = image->width, h = image->height;
  u64 top = (image->height_bg - h) / 2, left = (image->width_bg - w) / 2;
  u8 *canvas = (u8 *)arena_alloc(arena, row * image->height_bg, 8);
  for (u64 y = 0; y < h; y += 1) {
    memcpy(canvas + (top + y) * row + left * bpp, image->pixels + y * image->x_stride, w * bpp);
  }
  compose_borders(canvas, image);
}
