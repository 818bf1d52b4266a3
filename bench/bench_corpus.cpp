// Writes the benchmark corpora: photo-like JPEGs and PNGs in the mix a photo drop sees, and
// the sets the many-files and idle runs drain or leave in place.
//
//   bench_corpus [--quick] [--large | --flood | --backlog | --stuck] <folder>
//
//   (none)     about 60 photos, scans and cut-outs, 300 megapixels (--quick: 8 files, 16 MP)
//   --large    six 20-megapixel camera photos
//   --flood    3000 distinct 640x480 JPEG photos in the folder itself (--quick: 300)
//   --backlog  20000 distinct 64x48 PNGs spread over the sub-folders d00..d19 (--quick: 2000)
//   --stuck    60 distinct 2600x1700 RGB PNGs of noise, about 13 MB each (--quick: 6)
//
// The folder is generated once and reused: a stamp naming the corpus version and mode is
// written last, and a folder whose stamp matches is left as it is. Otherwise every file in
// the folder and its sub-folders is removed and the corpus is written again. Same version,
// same bytes. The pictures are written without syncing each one (20000 syncs would take
// longer than drawing them); only the stamp is durable.
#include <cstdio>

#include "convert/convert_codec.h"
#include "os/os.h"

#include "bench_image.h"

//~ Corpus plan
enum CorpusKind : u32 {
  CorpusJpeg,
  CorpusPng,
  CorpusPng16,
  CorpusPngNoise, // every byte from the generator: deflate cannot shrink it
};

struct CorpusGroup {
  const char *stem;
  u32 count;
  u32 width;
  u32 height;
  u32 channels;
  CorpusKind kind;
  int quality; // JPEG only
};

// Bump when a picture or the plan changes, so that stale corpora are regenerated.
static const char CorpusVersion[] = "1";

// About 60 files and 300 megapixels: camera photos dominate the pixels, full-HD frames and
// thumbnails the file count, and cut-outs, greys and one 16-bit file exercise the other paths.
static const CorpusGroup CorpusFull[] = {
    {"photo", 13, 4000, 3000, 3, CorpusJpeg, 90},
    {"portrait", 2, 3000, 4000, 3, CorpusJpeg, 90},
    {"hd", 17, 1920, 1080, 3, CorpusJpeg, 85},
    {"cutout_square", 5, 2048, 2048, 4, CorpusPng, 0},
    {"cutout_portrait", 5, 1600, 2400, 4, CorpusPng, 0},
    {"scan", 2, 2400, 1600, 3, CorpusPng, 0},
    {"grey", 4, 2560, 1920, 1, CorpusPng, 0},
    {"grey_alpha", 1, 2560, 1920, 2, CorpusPng, 0},
    {"thumb", 3, 200, 200, 3, CorpusJpeg, 80},
    {"thumb", 2, 240, 180, 3, CorpusJpeg, 80},
    {"thumb", 3, 200, 200, 4, CorpusPng, 0},
    {"thumb", 2, 180, 240, 3, CorpusPng, 0},
    {"deep16", 1, 3000, 2000, 3, CorpusPng16, 0},
};

// Six 20-megapixel camera photos: what peak memory is measured on.
static const CorpusGroup CorpusLarge[] = {
    {"camera20", 6, 5472, 3648, 3, CorpusJpeg, 90},
};

// Eight files, about 16 megapixels: one of each kind.
static const CorpusGroup CorpusQuick[] = {
    {"photo", 1, 4000, 3000, 3, CorpusJpeg, 90},
    {"hd", 1, 1920, 1080, 3, CorpusJpeg, 85},
    {"cutout_square", 1, 800, 800, 4, CorpusPng, 0},
    {"cutout_portrait", 1, 600, 900, 4, CorpusPng, 0},
    {"grey", 1, 640, 480, 1, CorpusPng, 0},
    {"thumb", 1, 200, 200, 3, CorpusJpeg, 80},
    {"thumb", 1, 240, 180, 4, CorpusPng, 0},
    {"deep16", 1, 640, 480, 3, CorpusPng16, 0},
};

// Many small files: what a camera card or a sync client drops at once.
static const CorpusGroup CorpusFlood[] = {
    {"flood", 3000, 640, 480, 3, CorpusJpeg, 90},
};
static const CorpusGroup CorpusFloodQuick[] = {
    {"flood", 300, 640, 480, 3, CorpusJpeg, 90},
};
static const CorpusGroup CorpusBacklog[] = {
    {"backlog", 20000, 64, 48, 3, CorpusPng, 0},
};
static const CorpusGroup CorpusBacklogQuick[] = {
    {"backlog", 2000, 64, 48, 3, CorpusPng, 0},
};
// Large files whose bytes are mostly pixels: memory while they wait, refused, in the folder.
static const CorpusGroup CorpusStuck[] = {
    {"stuck", 60, 2600, 1700, 3, CorpusPngNoise, 0},
};
static const CorpusGroup CorpusStuckQuick[] = {
    {"stuck", 6, 2600, 1700, 3, CorpusPngNoise, 0},
};

#define CORPUS_GROUPS(groups) groups, sizeof(groups) / sizeof(groups[0])

struct CorpusPlan {
  const char *option; // the mode's option, without the dashes
  const char *stamp;  // the mode's name in the stamp
  const CorpusGroup *groups;
  u64 group_count;
  u32 folders; // 0: every file in the top folder; otherwise round-robin over d00, d01, ...
  u64 seed_base;
};

// The first mode of each option is the full one and the second the quick one. The seeds of
// the photo corpora are those they always had, so their bytes did not change.
static const CorpusPlan CorpusPlans[] = {
    {"", "full", CORPUS_GROUPS(CorpusFull), 0, 0},
    {"", "quick", CORPUS_GROUPS(CorpusQuick), 0, 1000},
    {"large", "large", CORPUS_GROUPS(CorpusLarge), 0, 0},
    {"flood", "flood", CORPUS_GROUPS(CorpusFlood), 0, 100000},
    {"flood", "flood quick", CORPUS_GROUPS(CorpusFloodQuick), 0, 100000},
    {"backlog", "backlog", CORPUS_GROUPS(CorpusBacklog), 20, 200000},
    {"backlog", "backlog quick", CORPUS_GROUPS(CorpusBacklogQuick), 20, 200000},
    {"stuck", "stuck", CORPUS_GROUPS(CorpusStuck), 0, 300000},
    {"stuck", "stuck quick", CORPUS_GROUPS(CorpusStuckQuick), 0, 300000},
};

//~ Writing

// The file's bytes in the arena; empty when the encoder failed.
static Str8 corpus_encode(Arena *arena, const CorpusGroup *group, u64 seed) {
  u64 width = group->width, height = group->height;
  u64 pixel_size = width * height * group->channels;
  u8 *pixels = arena_push_uninit<u8>(arena, pixel_size);
  if (group->kind == CorpusPngNoise) {
    BenchRng rng = {seed * 0x2545F4914F6CDD1Dull + 0x9E3779B9ull};
    u64 i = 0;
    for (; i + 8 <= pixel_size; i += 8) {
      u64 r = bench_rng_next(&rng);
      memcpy(pixels + i, &r, 8);
    }
    for (; i < pixel_size; i += 1) pixels[i] = (u8)bench_rng_next(&rng);
  } else {
    bench_photo(pixels, width, height, group->channels, seed);
  }
  if (group->kind == CorpusPng16) return bench_png16_from_rgb(arena, pixels, width, height, seed);

  Str8 buffer = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &buffer, pixel_size / 4 + kib(64));
  bool ok = group->kind == CorpusJpeg
                ? codec_encode_jpeg(&sink, pixels, pixel_size, width, height, group->channels, group->quality)
                : codec_encode_png(&sink, pixels, pixel_size, width, height, group->channels);
  return ok ? buffer : Str8{};
}

// The files of the folder and of its sub-folders (the folders themselves stay).
static void corpus_clear(Arena *arena, Str8 folder) {
  DirIter *iter = dir_iter_open(arena, folder, 0);
  if (!iter) return;
  DirEntry entry;
  while (dir_iter_next(arena, iter, &entry)) {
    Str8 path = arena_format(arena, "%S/%S", folder, entry.name);
    if (entry.flags & FilePropsFolder) {
      corpus_clear(arena, path);
    } else {
      file_delete(path);
    }
  }
  dir_iter_close(iter);
}

// Whole and in place, without a sync: a stale corpus is rewritten before its stamp is.
static bool corpus_write(Str8 path, Str8 data) {
  FileHandle file = file_open(FileOpenWrite, path);
  if (!file) return false;
  bool ok = file_write_range(file, RangeU64{0, data.size}, data.str) == data.size;
  return file_close(file) && ok;
}

int main(int argc, char **argv) {
  process_init(argc, argv);
  Arena *arena = arena_create(mib(64), kib(64));

  //- options
  bool quick = false;
  Str8 mode = {};
  Str8 folder = {};
  bool usage = false;
  for (int i = 1; i < process_argc(); i += 1) {
    Str8 arg = str8_cstring(process_argv()[i]);
    if (str8_equals(arg, str8_lit("--quick"), 0)) {
      quick = true;
    } else if (mode.size == 0 && arg.size > 2 && arg.str[0] == '-' && arg.str[1] == '-') {
      mode = str8_drop_front(arg, 2);
    } else if (folder.size == 0 && arg.size > 0 && arg.str[0] != '-') {
      folder = path_normalize(arena, arg);
    } else {
      usage = true;
    }
  }
  const CorpusPlan *plan = nullptr;
  u64 plan_count = sizeof(CorpusPlans) / sizeof(CorpusPlans[0]);
  for (u64 p = 0; p < plan_count && !plan; p += 1) {
    if (!str8_equals(str8_cstring(CorpusPlans[p].option), mode, 0)) continue;
    // the quick mode follows the full one; a mode without a quick one takes no --quick
    if (!quick) {
      plan = &CorpusPlans[p];
    } else if (p + 1 < plan_count && str8_equals(str8_cstring(CorpusPlans[p + 1].option), mode, 0)) {
      plan = &CorpusPlans[p + 1];
    }
    break;
  }
  if (usage || folder.size == 0 || !plan) {
    fprintf(stderr, "usage: bench_corpus [--quick] [--large | --flood | --backlog | --stuck] <folder>\n");
    return 2;
  }

  //- reuse the corpus when its stamp matches
  Str8 stamp_path = arena_format(arena, "%S/.corpus-stamp", folder);
  Str8 stamp = arena_format(arena, "vantor bench corpus %s %s\n", CorpusVersion, plan->stamp);
  if (str8_equals(file_read_all(arena, stamp_path), stamp, 0)) {
    printf("corpus: %.*s is up to date\n", (int)folder.size, (const char *)folder.str);
    return 0;
  }
  if (!folder_make_chain(folder)) {
    fprintf(stderr, "corpus: cannot make %.*s\n", (int)folder.size, (const char *)folder.str);
    return 1;
  }
  corpus_clear(arena, folder);
  for (u32 d = 0; d < plan->folders; d += 1) {
    Str8 sub = arena_format(arena, "%S/d%02u", folder, d);
    if (!folder_make_chain(sub)) {
      fprintf(stderr, "corpus: cannot make %.*s\n", (int)sub.size, (const char *)sub.str);
      return 1;
    }
  }

  //- generate
  // Input PNGs come from ordinary tools, which mostly deflate at zlib's default level.
  codec_set_png_compression_level(6);
  Arena *image_arena = arena_create(gib(1), mib(4));
  u64 start_us = clock_now_us();
  u64 files = 0, pixels = 0, bytes = 0;
  for (u64 g = 0; g < plan->group_count; g += 1) {
    const CorpusGroup *group = &plan->groups[g];
    for (u32 i = 0; i < group->count; i += 1) {
      u64 seed = plan->seed_base + files + 1;
      const char *extension = group->kind == CorpusJpeg ? "jpg" : "png";
      u64 mark = arena_offset(arena);
      Str8 parent = plan->folders ? arena_format(arena, "%S/d%02u", folder, (u32)(files % plan->folders)) : folder;
      Str8 path = arena_format(arena, "%S/%02u_%s_%ux%u.%s", parent, (u32)(files + 1), group->stem, group->width,
                               group->height, extension);
      u64 image_mark = arena_offset(image_arena);
      Str8 data = corpus_encode(image_arena, group, seed);
      if (data.size == 0 || !corpus_write(path, data)) {
        fprintf(stderr, "corpus: cannot write %.*s\n", (int)path.size, (const char *)path.str);
        return 1;
      }
      files += 1;
      pixels += (u64)group->width * group->height;
      bytes += data.size;
      arena_rewind(image_arena, image_mark);
      arena_rewind(arena, mark);
    }
  }
  if (!file_write_all(stamp_path, stamp, 0)) {
    fprintf(stderr, "corpus: cannot write %.*s\n", (int)stamp_path.size, (const char *)stamp_path.str);
    return 1;
  }
  printf("corpus: %llu files, %.1f megapixels, %.1f MB in %.*s (%.1f s)\n", (unsigned long long)files,
         (f64)pixels / 1e6, (f64)bytes / 1e6, (int)folder.size, (const char *)folder.str,
         (f64)(clock_now_us() - start_us) / 1e6);
  return 0;
}
