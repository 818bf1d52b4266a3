// Writes the benchmark corpus: photo-like JPEGs and PNGs in the mix a photo drop sees.
//
//   bench_corpus [--quick | --large] <folder>
//
// The folder is generated once and reused: a stamp naming the corpus version and mode is
// written last, and a folder whose stamp matches is left as it is. Otherwise every file in
// the folder is removed and the corpus is written again. Same version, same bytes.
#include <cstdio>

#include "convert/convert_codec.h"
#include "os/os.h"

#include "bench_image.h"

//~ Corpus plan
enum CorpusKind : u32 {
  CorpusJpeg,
  CorpusPng,
  CorpusPng16,
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

//~ Writing

// The file's bytes in the arena; empty when the encoder failed.
static Str8 corpus_encode(Arena *arena, const CorpusGroup *group, u64 seed) {
  u64 width = group->width, height = group->height;
  u64 pixel_size = width * height * group->channels;
  u8 *pixels = arena_push_uninit<u8>(arena, pixel_size);
  bench_photo(pixels, width, height, group->channels, seed);
  if (group->kind == CorpusPng16) return bench_png16_from_rgb(arena, pixels, width, height, seed);

  Str8 buffer = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &buffer, pixel_size / 4 + kib(64));
  bool ok = group->kind == CorpusJpeg
                ? codec_encode_jpeg(&sink, pixels, pixel_size, width, height, group->channels, group->quality)
                : codec_encode_png(&sink, pixels, pixel_size, width, height, group->channels);
  return ok ? buffer : Str8{};
}

static void corpus_clear(Arena *arena, Str8 folder) {
  DirIter *iter = dir_iter_open(arena, folder, DirSkipFolders);
  if (!iter) return;
  DirEntry entry;
  while (dir_iter_next(arena, iter, &entry)) {
    file_delete(arena_format(arena, "%S/%S", folder, entry.name));
  }
  dir_iter_close(iter);
}

int main(int argc, char **argv) {
  process_init(argc, argv);
  Arena *arena = arena_create(mib(64), kib(64));

  //- options
  bool quick = false;
  bool large = false;
  Str8 folder = {};
  for (int i = 1; i < process_argc(); i += 1) {
    Str8 arg = str8_cstring(process_argv()[i]);
    if (str8_equals(arg, str8_lit("--quick"), 0)) {
      quick = true;
    } else if (str8_equals(arg, str8_lit("--large"), 0)) {
      large = true;
    } else if (folder.size == 0 && arg.size > 0 && arg.str[0] != '-') {
      folder = path_normalize(arena, arg);
    } else {
      folder = Str8{};
      break;
    }
  }
  if (folder.size == 0) {
    fprintf(stderr, "usage: bench_corpus [--quick | --large] <folder>\n");
    return 2;
  }
  const CorpusGroup *groups = large ? CorpusLarge : quick ? CorpusQuick : CorpusFull;
  u64 group_count = large   ? sizeof(CorpusLarge) / sizeof(CorpusLarge[0])
                    : quick ? sizeof(CorpusQuick) / sizeof(CorpusQuick[0])
                            : sizeof(CorpusFull) / sizeof(CorpusFull[0]);

  //- reuse the corpus when its stamp matches
  Str8 stamp_path = arena_format(arena, "%S/.corpus-stamp", folder);
  Str8 stamp = arena_format(arena, "vantor bench corpus %s %s\n", CorpusVersion, large ? "large" : quick ? "quick" : "full");
  if (str8_equals(file_read_all(arena, stamp_path), stamp, 0)) {
    printf("corpus: %.*s is up to date\n", (int)folder.size, (const char *)folder.str);
    return 0;
  }
  if (!folder_make_chain(folder)) {
    fprintf(stderr, "corpus: cannot make %.*s\n", (int)folder.size, (const char *)folder.str);
    return 1;
  }
  corpus_clear(arena, folder);

  //- generate
  // Input PNGs come from ordinary tools, which mostly deflate at zlib's default level.
  codec_set_png_compression_level(6);
  Arena *image_arena = arena_create(gib(1), mib(4));
  u64 start_us = clock_now_us();
  u64 files = 0, pixels = 0, bytes = 0;
  for (u64 g = 0; g < group_count; g += 1) {
    const CorpusGroup *group = &groups[g];
    for (u32 i = 0; i < group->count; i += 1) {
      u64 seed = files + 1 + (quick ? 1000 : 0);
      const char *extension = group->kind == CorpusJpeg ? "jpg" : "png";
      Str8 path = arena_format(arena, "%S/%02u_%s_%ux%u.%s", folder, (u32)(files + 1), group->stem, group->width,
                               group->height, extension);
      u64 mark = arena_offset(image_arena);
      Str8 data = corpus_encode(image_arena, group, seed);
      if (data.size == 0 || !file_write_all(path, data, WriteAllWrite)) {
        fprintf(stderr, "corpus: cannot write %.*s\n", (int)path.size, (const char *)path.str);
        return 1;
      }
      files += 1;
      pixels += (u64)group->width * group->height;
      bytes += data.size;
      arena_rewind(image_arena, mark);
    }
  }
  if (!file_write_all(stamp_path, stamp, WriteAllWrite)) {
    fprintf(stderr, "corpus: cannot write %.*s\n", (int)stamp_path.size, (const char *)stamp_path.str);
    return 1;
  }
  printf("corpus: %llu files, %.1f megapixels, %.1f MB in %.*s (%.1f s)\n", (unsigned long long)files,
         (f64)pixels / 1e6, (f64)bytes / 1e6, (int)folder.size, (const char *)folder.str,
         (f64)(clock_now_us() - start_us) / 1e6);
  return 0;
}
