// Per-stage timings of the conversion pipeline, in megapixels per second of the stage's input.
//
// Inputs are the corpus's kind of picture at camera size (4000×3000), made once on first use:
// decode reads files as they arrive, resize makes the default 1920×1080 target of a 4:3
// source (a 1440×1080 picture), statistics and the checksum read a decoded layout, and the
// encoders write what the default targets write (JPEG frames, letterboxed PNG canvases).
#include <benchmark/benchmark.h>
#include <lcms2.h>

#include "convert/image/image.h"
#include "convert/convert_pipeline.h"
#include "os/os.h"

#include "bench_image.h"

//~ Inputs
struct StageInputs {
  Arena *arena; // the inputs below, kept for the whole run
  Arena *work;  // what an iteration allocates, rewound after it
  u64 width;
  u64 height;
  u8 *layouts[5]; // [k]: the picture decoded to k channels (1 grey, 2 grey + alpha, 3 RGB, 4 RGBA)
  Str8 png_rgb;   // files as they arrive
  Str8 png_rgba;
  Str8 jpeg;
  u64 frame_width; // a full-HD frame, as the JPEG encoder sees it
  u64 frame_height;
  u8 *frame_rgb;
  u8 *thumbnail_rgb; // a 256×256 output, as the many-files flood writes them
  u8 *canvas_rgba; // the 4:3 picture letterboxed on a transparent full-HD canvas
};

static constexpr u64 StageWidth = 4000;
static constexpr u64 StageHeight = 3000;
static constexpr u64 ResizedWidth = 1440;
static constexpr u64 ResizedHeight = 1080;
static constexpr u32 FilterMitchell = 5;
static constexpr u64 ThumbnailSide = 256;

// Through the conversion layer's writer, or stb_image_write's (the same bytes).
static Str8 stage_encode_png(Arena *arena, const u8 *pixels, u64 width, u64 height, u32 channels, bool stb = false) {
  Str8 buffer = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &buffer, width * height * channels / 2 + kib(64));
  u64 size = width * height * channels;
  bool ok = stb ? codec_encode_png_stb(&sink, pixels, size, width, height, channels)
                : codec_encode_png(&sink, pixels, size, width, height, channels);
  return ok ? buffer : Str8{};
}

// Through the conversion layer's writer, or stb_image_write's (the same bytes).
static Str8 stage_encode_jpeg(Arena *arena, const u8 *pixels, u64 width, u64 height, u32 channels, int quality,
                              bool stb = false) {
  Str8 buffer = {};
  EncodeSink sink;
  encode_sink_begin(&sink, arena, &buffer, width * height * channels / 4 + kib(64));
  u64 size = width * height * channels;
  bool ok = stb ? codec_encode_jpeg_stb(&sink, pixels, size, width, height, channels, quality)
                : codec_encode_jpeg(&sink, pixels, size, width, height, channels, quality);
  return ok ? buffer : Str8{};
}

static u8 stage_luma(const u8 *rgb) { return (u8)((77u * rgb[0] + 150u * rgb[1] + 29u * rgb[2] + 128u) >> 8); }

static StageInputs *stage_inputs() {
  static StageInputs *inputs = nullptr;
  if (inputs) return inputs;
  Arena *arena = arena_create(gib(2), mib(4));
  StageInputs *in = arena_push<StageInputs>(arena);
  in->arena = arena;
  in->work = arena_create(gib(1), mib(4));
  in->width = StageWidth;
  in->height = StageHeight;
  u64 count = StageWidth * StageHeight;

  //- a landscape photo (RGB, grey) and a cut-out (RGBA, grey + alpha)
  for (u32 k = 1; k <= 4; k += 1) in->layouts[k] = arena_push_uninit<u8>(arena, count * k);
  bench_photo(in->layouts[3], StageWidth, StageHeight, 3, 7);
  bench_photo(in->layouts[4], StageWidth, StageHeight, 4, 8);
  for (u64 i = 0; i < count; i += 1) {
    in->layouts[1][i] = stage_luma(in->layouts[3] + i * 3);
    in->layouts[2][i * 2] = stage_luma(in->layouts[4] + i * 4);
    in->layouts[2][i * 2 + 1] = in->layouts[4][i * 4 + 3];
  }

  //- source files, deflated at the level ordinary tools use
  codec_set_png_compression_level(6);
  in->png_rgb = stage_encode_png(arena, in->layouts[3], StageWidth, StageHeight, 3);
  in->png_rgba = stage_encode_png(arena, in->layouts[4], StageWidth, StageHeight, 4);
  in->jpeg = stage_encode_jpeg(arena, in->layouts[3], StageWidth, StageHeight, 3, 90);

  //- encoder inputs
  in->frame_width = 1920;
  in->frame_height = 1080;
  in->frame_rgb = arena_push_uninit<u8>(arena, 1920 * 1080 * 3);
  bench_photo(in->frame_rgb, 1920, 1080, 3, 9);
  in->thumbnail_rgb = arena_push_uninit<u8>(arena, ThumbnailSide * ThumbnailSide * 3);
  bench_photo(in->thumbnail_rgb, ThumbnailSide, ThumbnailSide, 3, 10);

  Scratch scratch = scratch_begin(arena);
  u8 *opaque = arena_push_uninit<u8>(scratch.arena, count * 4);
  for (u64 i = 0; i < count; i += 1) {
    memcpy(opaque + i * 4, in->layouts[3] + i * 3, 3);
    opaque[i * 4 + 3] = 255;
  }
  u64 canvas_stride = 1920 * 4;
  in->canvas_rgba = arena_push<u8>(arena, canvas_stride * 1080);
  u64 bar = (1920 - ResizedWidth) / 2;
  CodecPicture source = {opaque, count * 4, StageWidth, StageHeight, StageWidth * 4};
  CodecPicture inside = {in->canvas_rgba + bar * 4, canvas_stride * 1080 - bar * 4, ResizedWidth, ResizedHeight,
                         canvas_stride};
  bool resized = codec_resize(source, inside, 4, FilterMitchell, 0);
  scratch_restore(scratch);

  if (!resized || in->png_rgb.size == 0 || in->png_rgba.size == 0 || in->jpeg.size == 0) return nullptr;
  inputs = in;
  return inputs;
}

//~ Reporting
// Megapixels of the stage's input per second, plus the input's size for reference.
static void stage_report(benchmark::State &state, u64 pixels) {
  state.counters["MP"] = benchmark::Counter((f64)pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["input_MP"] = benchmark::Counter((f64)pixels / 1e6);
}

static StageInputs *stage_inputs_or_skip(benchmark::State &state) {
  StageInputs *in = stage_inputs();
  if (!in) state.SkipWithError("the inputs could not be made");
  return in;
}

//~ Decoding
static void stage_decode(benchmark::State &state, Str8 file, u32 channels) {
  StageInputs *in = stage_inputs();
  for (auto _ : state) {
    u64 mark = arena_offset(in->work);
    Str8 pixels = codec_decode_8(in->work, file, in->width, in->height, channels).pixels;
    benchmark::DoNotOptimize(pixels.str);
    arena_rewind(in->work, mark);
    if (pixels.size == 0) {
      state.SkipWithError("decode failed");
      break;
    }
  }
  stage_report(state, in->width * in->height);
}

static void BM_DecodePngRgb(benchmark::State &state) {
  if (StageInputs *in = stage_inputs_or_skip(state)) stage_decode(state, in->png_rgb, 3);
}
static void BM_DecodePngRgba(benchmark::State &state) {
  if (StageInputs *in = stage_inputs_or_skip(state)) stage_decode(state, in->png_rgba, 4);
}
static void BM_DecodeJpeg(benchmark::State &state) {
  if (StageInputs *in = stage_inputs_or_skip(state)) stage_decode(state, in->jpeg, 3);
}
BENCHMARK(BM_DecodePngRgb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodePngRgba)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeJpeg)->Unit(benchmark::kMillisecond);

//~ Resampling
static void BM_ResizeMitchell(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  u32 layout = (u32)state.range(0);
  u64 out_size = ResizedWidth * ResizedHeight * layout;
  u64 mark = arena_offset(in->work);
  u8 *out = arena_push_uninit<u8>(in->work, out_size);
  CodecPicture source = {in->layouts[layout], in->width * in->height * layout, in->width, in->height,
                         in->width * layout};
  CodecPicture target = {out, out_size, ResizedWidth, ResizedHeight, ResizedWidth * layout};
  for (auto _ : state) {
    if (!codec_resize(source, target, layout, FilterMitchell, 0)) {
      state.SkipWithError("resize failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  arena_rewind(in->work, mark);
  stage_report(state, in->width * in->height);
}
BENCHMARK(BM_ResizeMitchell)->ArgName("layout")->DenseRange(1, 4)->Unit(benchmark::kMillisecond);

//~ Cover crops
// The attention search of a square cover crop of the 4:3 photo (a web shop's thumbnail): the
// reduced copy, the scores and the window search, on the photo at the source's size.
static void BM_AttentionWindow(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  u32 layout = (u32)state.range(0);
  SizeU64 window = fit_cover_window(in->width, in->height, 300, 300);
  for (auto _ : state) {
    RectU64 r = attention_window(in->layouts[layout], in->width * layout, in->width, in->height, layout, 1, window);
    benchmark::DoNotOptimize(r);
  }
  stage_report(state, in->width * in->height);
}
BENCHMARK(BM_AttentionWindow)->ArgName("layout")->DenseRange(3, 4)->Unit(benchmark::kMillisecond);

//~ Photos: turning and colour
// What a phone photo's outputs cost beyond another photo's, on the resized picture: a quarter
// turn (EXIF orientation 6) and the conversion from Adobe RGB (1998) to sRGB.
static void BM_TurnQuarter(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  u32 layout = (u32)state.range(0);
  u64 size = ResizedWidth * ResizedHeight * layout;
  u64 mark = arena_offset(in->work);
  u8 *from = arena_push_uninit<u8>(in->work, size), *to = arena_push_uninit<u8>(in->work, size);
  memset(from, 0x5A, size);
  for (auto _ : state) {
    picture_turn(from, ResizedWidth * layout, ResizedWidth, ResizedHeight, layout, 6, to, ResizedHeight * layout);
    benchmark::ClobberMemory();
  }
  arena_rewind(in->work, mark);
  stage_report(state, ResizedWidth * ResizedHeight);
}
BENCHMARK(BM_TurnQuarter)->ArgName("layout")->DenseRange(3, 4)->Unit(benchmark::kMillisecond);

static void BM_ConvertToSrgb(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  cmsCIExyY white = {0.3127, 0.3290, 1.0};
  cmsCIExyYTRIPLE adobe = {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
  cmsToneCurve *gamma = cmsBuildGamma(nullptr, 563.0 / 256);
  cmsToneCurve *curves[3] = {gamma, gamma, gamma};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &adobe, curves);
  cmsUInt32Number profile_size = 0;
  cmsSaveProfileToMem(profile, nullptr, &profile_size);
  u64 mark = arena_offset(in->work);
  u8 *profile_bytes = arena_push_uninit<u8>(in->work, profile_size);
  cmsSaveProfileToMem(profile, profile_bytes, &profile_size);
  cmsCloseProfile(profile);
  cmsFreeToneCurve(gamma);

  u32 layout = (u32)state.range(0);
  u64 size = ResizedWidth * ResizedHeight * layout;
  u8 *pixels = arena_push_uninit<u8>(in->work, size);
  CodecPicture source = {in->layouts[layout], in->width * in->height * layout, in->width, in->height,
                         in->width * layout};
  CodecPicture target = {pixels, size, ResizedWidth, ResizedHeight, ResizedWidth * layout};
  ColorConversion *conversion = color_to_srgb(Str8{profile_bytes, profile_size});
  if (!conversion || !codec_resize(source, target, layout, FilterMitchell, 0)) {
    state.SkipWithError("no conversion");
  } else {
    u8 *out = arena_push_uninit<u8>(in->work, size);
    for (auto _ : state) {
      color_convert(conversion, pixels, ResizedWidth * layout, out, ResizedWidth * layout, ResizedWidth, ResizedHeight,
                    layout);
      benchmark::ClobberMemory();
    }
  }
  arena_rewind(in->work, mark);
  stage_report(state, ResizedWidth * ResizedHeight);
}
BENCHMARK(BM_ConvertToSrgb)->ArgName("layout")->DenseRange(3, 4)->Unit(benchmark::kMillisecond);

//~ Statistics and checksum
static void BM_Statistics(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  u32 layout = (u32)state.range(0);
  for (auto _ : state) {
    ImageStats stats = {};
    stats.pixel_layout = layout;
    compute_image_stats(in->layouts[layout], in->width, in->height, in->width * layout, &stats);
    benchmark::DoNotOptimize(stats.approx_unique_colors);
  }
  stage_report(state, in->width * in->height);
}
BENCHMARK(BM_Statistics)->ArgName("layout")->DenseRange(1, 4)->Unit(benchmark::kMillisecond);

static void BM_Blake2b128(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  u64 size = in->width * in->height * 3;
  for (auto _ : state) {
    U128 digest = codec_blake2b128(in->layouts[3], size);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed((i64)(state.iterations() * size));
  stage_report(state, in->width * in->height);
}
BENCHMARK(BM_Blake2b128)->Unit(benchmark::kMillisecond);

//~ Encoding
static void BM_EncodeJpeg(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  int quality = (int)state.range(0);
  u64 encoded = 0;
  for (auto _ : state) {
    u64 mark = arena_offset(in->work);
    Str8 file = stage_encode_jpeg(in->work, in->frame_rgb, in->frame_width, in->frame_height, 3, quality);
    encoded = file.size;
    arena_rewind(in->work, mark);
    if (encoded == 0) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  stage_report(state, in->frame_width * in->frame_height);
  state.counters["KB"] = benchmark::Counter((f64)encoded / 1e3);
}
BENCHMARK(BM_EncodeJpeg)->ArgName("quality")->Arg(60)->Arg(80)->Unit(benchmark::kMillisecond);

// The conversion layer's JPEG writer (stb 0) against stb_image_write's (stb 1), which make the
// same bytes: the full-HD frame and a flood-sized thumbnail (width 256), quality 80.
static void BM_EncodeJpegWriters(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  bool stb = state.range(0) != 0;
  bool frame = (u64)state.range(1) == in->frame_width;
  u64 width = frame ? in->frame_width : ThumbnailSide, height = frame ? in->frame_height : ThumbnailSide;
  const u8 *pixels = frame ? in->frame_rgb : in->thumbnail_rgb;
  u64 encoded = 0;
  for (auto _ : state) {
    u64 mark = arena_offset(in->work);
    Str8 file = stage_encode_jpeg(in->work, pixels, width, height, 3, 80, stb);
    encoded = file.size;
    arena_rewind(in->work, mark);
    if (encoded == 0) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  stage_report(state, width * height);
  state.counters["KB"] = benchmark::Counter((f64)encoded / 1e3);
}
BENCHMARK(BM_EncodeJpegWriters)
    ->ArgNames({"stb", "width"})
    ->ArgsProduct({{0, 1}, {1920, (i64)ThumbnailSide}})
    ->Unit(benchmark::kMillisecond);

static void BM_EncodePngLetterbox(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  codec_set_png_compression_level((int)state.range(0));
  u64 encoded = 0;
  for (auto _ : state) {
    u64 mark = arena_offset(in->work);
    Str8 file = stage_encode_png(in->work, in->canvas_rgba, in->frame_width, in->frame_height, 4, state.range(1) != 0);
    encoded = file.size;
    arena_rewind(in->work, mark);
    if (encoded == 0) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  stage_report(state, in->frame_width * in->frame_height);
  state.counters["KB"] = benchmark::Counter((f64)encoded / 1e3);
}
// Level 12 is what the converter sets at start-up; at level 1 the filtering shows.
BENCHMARK(BM_EncodePngLetterbox)
    ->ArgNames({"level", "stb"})
    ->ArgsProduct({{1, 12}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// The full-HD frame as a WebP or an AVIF target writes it, lossy at quality 80 (AVIF at the
// speed the converter sets: a full-HD AVIF should take about a second at most).
static void BM_EncodeFrameAs(benchmark::State &state) {
  StageInputs *in = stage_inputs_or_skip(state);
  if (!in) return;
  const ImageFormat *format = format_of_type((u32)state.range(0));
  u64 encoded = 0;
  for (auto _ : state) {
    u64 mark = arena_offset(in->work);
    Str8 file = {};
    EncodeSink sink;
    u64 size = in->frame_width * in->frame_height * 3;
    encode_sink_begin(&sink, in->work, &file, size / 4 + kib(64));
    encoded = format->encode(&sink, in->frame_rgb, size, in->frame_width, in->frame_height, 3, 80, false) ? file.size : 0;
    arena_rewind(in->work, mark);
    if (encoded == 0) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  stage_report(state, in->frame_width * in->frame_height);
  state.counters["KB"] = benchmark::Counter((f64)encoded / 1e3);
}
BENCHMARK(BM_EncodeFrameAs)->ArgName("type")->Arg(FileTypeWebp)->Arg(FileTypeAvif)->Unit(benchmark::kMillisecond);

//~ Entry
int main(int argc, char **argv) {
  process_init(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
