#include "convert/convert_metadata.h"

//~ Record text

Str8 pixel_layout_name(u32 pixel_layout) {
  switch (pixel_layout) {
  case 4: return str8_lit("RGBA");
  case 3: return str8_lit("RGB");
  case 2: return str8_lit("GRAYSCALE_ALPHA");
  case 1: return str8_lit("GRAYSCALE");
  default: return str8_lit("UNKNOWN");
  }
}


// The "%lu" fields print their 64-bit values modulo 2^32: the formatting engine reads "l"
// alone as 32 bits, so each value is cut at the call.
void format_metadata_record(Arena *arena, Str8List *list, OutputRecord *record) {
  static const ImageStats no_image = {};
  const ImageStats *im = record->image ? record->image : &no_image;

  str8_list_addf(arena, list, "[is_original]%u;", record->is_original ? 1u : 0u);
  str8_list_addf(arena, list, "[file_type]%S;", format_name(record->file_type));
  str8_list_addf(arena, list, "[file_path]%S;", record->file_path);
  str8_list_addf(arena, list, "[checksum]%S;", record->checksum);
  str8_list_addf(arena, list, "[file_size]%lu;", (u32)record->file_info.size);
  str8_list_addf(arena, list, "[quality]%d;", (int)record->quality);
  str8_list_addf(arena, list, "[width]%lu;", (u32)im->width);
  str8_list_addf(arena, list, "[height]%lu;", (u32)im->height);
  str8_list_addf(arena, list, "[width_bg]%lu;", (u32)im->width_bg);
  str8_list_addf(arena, list, "[height_bg]%lu;", (u32)im->height_bg);
  str8_list_addf(arena, list, "[aspect_ratio_width]%lu;", (u32)im->aspect_ratio_width);
  str8_list_addf(arena, list, "[aspect_ratio_height]%lu;", (u32)im->aspect_ratio_height);
  str8_list_addf(arena, list, "[aspect_ratio_width_bg]%lu;", (u32)im->aspect_ratio_width_bg);
  str8_list_addf(arena, list, "[aspect_ratio_height_bg]%lu;", (u32)im->aspect_ratio_height_bg);
  str8_list_addf(arena, list, "[x_stride]%lu;", (u32)im->x_stride);
  str8_list_addf(arena, list, "[pixel_layout]%S;", pixel_layout_name(im->pixel_layout));
  str8_list_addf(arena, list, "[bytes_per_pixel]%d;", (int)im->bytes_per_pixel);
  str8_list_addf(arena, list, "[color_ratio_per_small_area]%u;", im->color_ratio_per_small_area);
  str8_list_addf(arena, list, "[approx_unique_colors]%u;", im->approx_unique_colors);
  str8_list_addf(arena, list, "[pixel_count]%lu;", (u32)im->pixel_count);
  str8_list_addf(arena, list, "[pixel_count_bg]%lu;", (u32)im->pixel_count_bg);
  str8_list_addf(arena, list, "[mean_rgba_R]%u;", im->mean_rgba[0]);
  str8_list_addf(arena, list, "[mean_rgba_G]%u;", im->mean_rgba[1]);
  str8_list_addf(arena, list, "[mean_rgba_B]%u;", im->mean_rgba[2]);
  str8_list_addf(arena, list, "[mean_rgba_A]%u;", im->mean_rgba[3]);
  str8_list_addf(arena, list, "[var_r]%f;", im->var[0]);
  str8_list_addf(arena, list, "[var_g]%f;", im->var[1]);
  str8_list_addf(arena, list, "[var_b]%f;", im->var[2]);
  str8_list_addf(arena, list, "[min_r]%u;", (u32)im->min[0]);
  str8_list_addf(arena, list, "[min_g]%u;", (u32)im->min[1]);
  str8_list_addf(arena, list, "[min_b]%u;", (u32)im->min[2]);
  str8_list_addf(arena, list, "[min_a]%u;", (u32)im->min[3]);
  str8_list_addf(arena, list, "[max_r]%u;", (u32)im->max[0]);
  str8_list_addf(arena, list, "[max_g]%u;", (u32)im->max[1]);
  str8_list_addf(arena, list, "[max_b]%u;", (u32)im->max[2]);
  str8_list_addf(arena, list, "[max_a]%u;", (u32)im->max[3]);
  str8_list_addf(arena, list, "[bg_color]%u;", im->bg_color);
  str8_list_add(arena, list, str8_lit("[END_FILE];"));
}

Str8 checksum_text(Arena *arena, U128 digest) {
  return arena_format(arena, "%lu%lu", (u32)digest.u64s[0], (u32)digest.u64s[1]);
}
