#include "convert/image/image_attention.h"

//~ Attention
// The stored picture averaged over blocks of factor × factor pixels into RGB, grey spread to
// the three channels and a see-through pixel weighted by its opacity (a cut-out's empty
// surroundings count as flat black).
static u8 *attention_reduce(Arena *arena, const u8 *pixels, u64 stride, u64 width, u64 height, u32 channels,
                            u64 factor, u64 rw, u64 rh) {
  u8 *reduced = arena_push_uninit<u8>(arena, rw * rh * 3);
  u64 *sums = arena_push<u64>(arena, rw * 4); // r, g, b and the count of each block of one row
  for (u64 by = 0; by < rh; by += 1) {
    memset(sums, 0, rw * 4 * sizeof(u64));
    u64 y_end = min_of((by + 1) * factor, height);
    for (u64 y = by * factor; y < y_end; y += 1) {
      const u8 *row = pixels + y * stride;
      for (u64 x = 0; x < width; x += 1) {
        const u8 *p = row + x * channels;
        u32 r = p[0], g = p[0], b = p[0], a = 255;
        if (channels >= 3) g = p[1], b = p[2];
        if (channels == 2) a = p[1];
        if (channels == 4) a = p[3];
        u64 *s = sums + (x / factor) * 4;
        s[0] += r * a, s[1] += g * a, s[2] += b * a, s[3] += 1;
      }
    }
    for (u64 bx = 0; bx < rw; bx += 1) {
      u64 *s = sums + bx * 4;
      u64 n = s[3] * 255;
      for (int c = 0; c < 3; c += 1) reduced[(by * rw + bx) * 3 + c] = (u8)((s[c] + n / 2) / n);
    }
  }
  return reduced;
}

// A pixel's interest: edge detail, saturation and skin-like colour. The skin rule is the usual
// daylight one on RGB: reddish, neither too dark nor grey.
static u32 attention_score(const u8 *p, u32 laplacian) {
  u32 r = p[0], g = p[1], b = p[2];
  u32 hi = max_of(r, max_of(g, b)), lo = min_of(r, min_of(g, b));
  bool skin = r > 95 && g > 40 && b > 20 && hi - lo > 15 && r > g + 15 && r > b;
  return laplacian + (hi - lo) / 2 + (skin ? 48 : 0);
}

RectU64 attention_window(const u8 *pixels, u64 stride, u64 width, u64 height, u32 channels, u32 orientation,
                         SizeU64 window) {
  bool swap = orientation_swaps(orientation);
  u64 uw = swap ? height : width, uh = swap ? width : height;
  window.width = clamp_of<u64>(1, window.width, uw);
  window.height = clamp_of<u64>(1, window.height, uh);
  RectU64 centre = {(uw - window.width) / 2, (uh - window.height) / 2, window.width, window.height};
  if (!pixels || channels < 1 || channels > 4 || (window.width == uw && window.height == uh)) return centre;

  // reduce, then turn the reduced copy upright
  Scratch scratch = scratch_begin(nullptr);
  u64 factor = max_of<u64>(1, (max_of(width, height) + AttentionSide - 1) / AttentionSide);
  u64 rw = (width + factor - 1) / factor, rh = (height + factor - 1) / factor;
  u8 *reduced = attention_reduce(scratch.arena, pixels, stride, width, height, channels, factor, rw, rh);
  u64 ruw = swap ? rh : rw, ruh = swap ? rw : rh;
  u8 *upright = arena_push_uninit<u8>(scratch.arena, ruw * ruh * 3);
  picture_turn(reduced, rw * 3, rw, rh, 3, orientation, upright, ruw * 3);

  // each pixel's score, summed over the rectangle above and left of it
  u8 *luma = arena_push_uninit<u8>(scratch.arena, ruw * ruh);
  for (u64 i = 0; i < ruw * ruh; i += 1) {
    const u8 *p = upright + i * 3;
    luma[i] = (u8)((77u * p[0] + 150u * p[1] + 29u * p[2] + 128u) >> 8);
  }
  u64 *sum = arena_push<u64>(scratch.arena, (ruw + 1) * (ruh + 1));
  for (u64 y = 0; y < ruh; y += 1) {
    u64 up = y > 0 ? y - 1 : 0, down = y + 1 < ruh ? y + 1 : y;
    u64 line = 0;
    for (u64 x = 0; x < ruw; x += 1) {
      u64 left = x > 0 ? x - 1 : 0, right = x + 1 < ruw ? x + 1 : x;
      i32 l = luma[y * ruw + x];
      i32 lap = 4 * l - luma[y * ruw + left] - luma[y * ruw + right] - luma[up * ruw + x] - luma[down * ruw + x];
      line += attention_score(upright + (y * ruw + x) * 3, (u32)(lap < 0 ? -lap : lap));
      sum[(y + 1) * (ruw + 1) + x + 1] = sum[y * (ruw + 1) + x + 1] + line;
    }
  }

  // the window's place in the reduced copy: the best one, the centre's unless another beats it
  u64 ww = clamp_of<u64>(1, (u64)((f64)window.width * ruw / uw + 0.5), ruw);
  u64 wh = clamp_of<u64>(1, (u64)((f64)window.height * ruh / uh + 0.5), ruh);
  auto window_sum = [&](u64 x, u64 y) {
    u64 w = ruw + 1;
    return sum[(y + wh) * w + x + ww] - sum[y * w + x + ww] - sum[(y + wh) * w + x] + sum[y * w + x];
  };
  u64 best_x = (ruw - ww) / 2, best_y = (ruh - wh) / 2;
  u64 best = window_sum(best_x, best_y);
  bool moved = false;
  for (u64 y = 0; y + wh <= ruh; y += 1) {
    for (u64 x = 0; x + ww <= ruw; x += 1) {
      u64 s = window_sum(x, y);
      if (s > best) best = s, best_x = x, best_y = y, moved = true;
    }
  }
  scratch_restore(scratch);
  if (!moved) return centre;

  // back to the upright picture: the same centre, the window kept inside
  f64 cx = ((f64)best_x + (f64)ww / 2) * uw / ruw, cy = ((f64)best_y + (f64)wh / 2) * uh / ruh;
  f64 x = cx - (f64)window.width / 2, y = cy - (f64)window.height / 2;
  RectU64 found = centre;
  found.x = (u64)clamp_of<f64>(0, x + 0.5, (f64)(uw - window.width));
  found.y = (u64)clamp_of<f64>(0, y + 0.5, (f64)(uh - window.height));
  return found;
}
