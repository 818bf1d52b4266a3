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
  // only where it means something, so that every other record keeps its fields
  if (record->crop.width != 0) {
    str8_list_addf(arena, list, "[crop_x]%lu;", (u32)record->crop.x);
    str8_list_addf(arena, list, "[crop_y]%lu;", (u32)record->crop.y);
    str8_list_addf(arena, list, "[crop_width]%lu;", (u32)record->crop.width);
    str8_list_addf(arena, list, "[crop_height]%lu;", (u32)record->crop.height);
  }
  if (record->metadata_kept.size) str8_list_addf(arena, list, "[metadata_kept]%S;", record->metadata_kept);
  str8_list_add(arena, list, str8_lit("[END_FILE];"));
}

Str8 checksum_text(Arena *arena, U128 digest) {
  return arena_format(arena, "%lu%lu", (u32)digest.u64s[0], (u32)digest.u64s[1]);
}

//~ Where a source's files go
// Paths come from the scan, which builds them from the input folder as given.
Str8 source_below_input(Str8 in_folder, Str8 path) {
  Str8 in = in_folder;
  bool rooted = in.size > 0 && char_is_slash(in.str[in.size - 1]);
  u64 skip = in.size + (rooted ? 0 : 1);
  bool below = path.size > skip && str8_starts_with(path, in, 0) && (rooted || char_is_slash(path.str[in.size]));
  return below ? str8_drop_front(path, skip) : str8_file_name(path);
}

Str8 metadata_path_of(Arena *arena, Str8 in_folder, Str8 metadatas_folder, Str8 path) {
  Str8 below = source_below_input(in_folder, path);
  Str8 name = str8_file_name(below);
  Str8 stem = str8_drop_extension(name);
  if (name.size == below.size) return arena_format(arena, "%S/%S.metadatas", metadatas_folder, stem);
  Str8 folders = str8_keep_front(below, below.size - name.size - 1);
  return arena_format(arena, "%S/%S/%S.metadatas", metadatas_folder, folders, stem);
}

//~ Metadata names
// Names and owners are kept as 64-bit path digests, 24 bytes a name; the lock is held for the
// file queries, which only a name not given in this run costs.
struct RecordName {
  RecordName *next;
  u64 name;
  u64 owner;
};

struct RecordNames {
  OsObject *lock;
  Arena *arena;
  RecordName **buckets;
};
static constexpr u64 RecordNameBuckets = u64(1) << 16;

static RecordNames *record_names() {
  static RecordNames *names = [] {
    Arena *arena = arena_create(mib(64), kib(64));
    RecordNames *made = arena_push<RecordNames>(arena);
    made->lock = cs_create();
    made->arena = arena;
    made->buckets = arena_push<RecordName *>(arena, RecordNameBuckets);
    return made;
  }();
  return names;
}

static u64 path_word(Str8 path) { return blake2b_128(path.str, path.size).u64s[0]; }

// True when a file there holds a record that does not begin as this source's would. Anything
// else in the way (a folder, a file that cannot be read) is not another source's record: the
// write fails there and says so.
static bool record_of_another_source(Str8 path, Str8 mark) {
  FileProps props = file_props_from_path(path);
  if (!(props.flags & FilePropsExists) || (props.flags & FilePropsFolder)) return false;
  FileHandle file = file_open(FileOpenRead | FileShareRead | FileShareWriteDelete, path);
  if (!file) return false;
  Scratch scratch = scratch_begin(nullptr);
  u8 *head = arena_push_uninit<u8>(scratch.arena, mark.size);
  bool same = file_read_range(file, RangeU64{0, mark.size}, head) == mark.size && memcmp(head, mark.str, mark.size) == 0;
  scratch_restore(scratch);
  file_close(file);
  return !same;
}

Str8 metadata_name_take(Arena *arena, Str8 planned, Str8 source, Str8 mark) {
  RecordNames *t = record_names();
  u64 owner = path_word(source);
  Str8 chosen = {};
  cs_enter(t->lock);
  for (u64 number = 0; chosen.size == 0; number += 1) {
    Str8 candidate = number == 0 ? planned : file_numbered_name(arena, planned, number);
    u64 key = path_word(candidate);
    RecordName **bucket = &t->buckets[key % RecordNameBuckets];
    RecordName *n = *bucket;
    while (n && n->name != key) n = n->next;
    if (n) {
      if (n->owner == owner) chosen = candidate;
      continue;
    }
    if (!record_of_another_source(candidate, mark)) {
      n = arena_push<RecordName>(t->arena);
      n->name = key;
      n->owner = owner;
      sll_stack_push(*bucket, n);
      chosen = candidate;
    }
  }
  cs_leave(t->lock);
  return chosen;
}
