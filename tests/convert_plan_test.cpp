#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "convert/convert_pipeline.h"
#include "convert/convert_worker.h"
#include "test_images.h"

struct PlanFixture : testing::Test {
  Arena *arena = nullptr;
  Arena *file_arena = nullptr;
  Arena *layout_arena = nullptr;
  TargetList list = {};
  void SetUp() override {
    arena = arena_create(mib(64), kib(64));
    file_arena = arena_create(mib(64), mib(1));
    layout_arena = arena_create(mib(2), kib(64));
  }
  void TearDown() override {
    arena_destroy(arena);
    arena_destroy(file_arena);
    arena_destroy(layout_arena);
  }
  Target *add(Target t) {
    Target *copy = arena_push<Target>(arena);
    *copy = t;
    TargetNode *node = arena_push<TargetNode>(arena);
    node->target = copy;
    if (list.last) list.last->next = node; else list.first = node;
    list.last = node;
    list.count += 1;
    return copy;
  }
  // A plan for a probed source, through targets and geometry.
  void plan_for(ConvertPlan *plan, u32 type, u64 w, u64 h, u32 channels) {
    static const u8 png[9] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0};
    static const u8 jpg[3] = {0xFF, 0xD8, 0xFF};
    Str8 bytes = type == FileTypePng ? str8(png, 9) : str8(jpg, 3);
    plan_begin(plan, arena, file_arena, layout_arena, str8_lit("/out"), bytes);
    ASSERT_EQ(plan_source_record(plan)->file_type, type);
    CodecProbe probe = {};
    probe.width = w;
    probe.height = h;
    probe.channels = channels;
    probe.bytes_per_channel = 1;
    plan_set_source(plan, probe);
    plan_targets(plan, &list);
    plan_geometry(plan);
  }
};

static Target target(u64 w, u64 h, u8 quality = 0, i32 type = 0, i32 layout = 0, u32 bg = 0) {
  Target t = {};
  t.width = w;
  t.height = h;
  t.quality = quality;
  t.image_type = type;
  t.pixel_layout = layout;
  t.bg_color = bg;
  return t;
}

TEST(PlanGeometry, SignatureDecidesTheFileType) {
  EXPECT_EQ(plan_file_type_of(str8_lit("\xFF\xD8\xFF")), (u32)FileTypeJpeg);
  EXPECT_EQ(plan_file_type_of(str8_lit("\xFF\xD8")), (u32)FileTypeNone); // needs more than two bytes
  EXPECT_EQ(plan_file_type_of(str8_lit("\x89PNG\r\n\x1A\n")), (u32)FileTypePng);
  EXPECT_EQ(plan_file_type_of(str8_lit("\x89PNG\r\n\x1A")), (u32)FileTypeNone);
  EXPECT_EQ(plan_file_type_of(str8_lit("GIF89a....")), (u32)FileTypeGif);
  EXPECT_EQ(plan_file_type_of(str8_lit("GIF88a....")), (u32)FileTypeNone);
  // the start of a signature may still become a picture; other short bytes cannot
  EXPECT_TRUE(format_may_become(str8_lit("\x89PN")));
  EXPECT_TRUE(format_may_become(str8_lit("RIFF\x10\0\0\0WE")));
  EXPECT_TRUE(format_may_become(str8_lit("\xFF")));
  EXPECT_TRUE(format_may_become(str8_lit("GIF8")));
  EXPECT_FALSE(format_may_become(str8_lit("hello")));
  EXPECT_FALSE(format_may_become(str8_lit("RIFF\x10\0\0\0WAVE")));
}

TEST_F(PlanFixture, DefaultTargetsGiveThreeOutputsPairedWithTheirTargets) {
  Target t1 = {};
  t1.max_bytes = mib(12);
  add(t1);
  Target t2 = target(100, 100, 60);
  t2.resampling_filter = 5;
  add(t2);
  Target t3 = target(300, 300, 60);
  t3.resampling_filter = 5;
  add(t3);
  Target t4 = target(1920, 1080, 80);
  t4.resampling_filter = 5;
  add(t4);
  ConvertPlan plan;
  plan_for(&plan, FileTypeJpeg, 4000, 3000, 3);
  ASSERT_EQ(plan.record_count, 4u);
  ASSERT_EQ(plan.pair_count, 4u);

  // The source record meets the identity target, which takes the source's file type.
  EXPECT_EQ(plan.pairs[0].record, plan.first_record);
  EXPECT_EQ(plan.pairs[0].target.image_type, FileTypeJpeg);
  EXPECT_EQ(plan.pairs[0].target.quality, 100);
  ImageStats *src = plan.first_record->image;
  EXPECT_EQ(src->width, 4000u);
  EXPECT_EQ(src->width_bg, 0u);
  EXPECT_EQ(src->pixel_layout, 3u);

  // 100x100 and 300x300 of a 4:3 picture are letterboxed on a transparent background:
  // four-channel PNG.
  ImageStats *small = plan.pairs[1].record->image;
  EXPECT_EQ(plan.pairs[1].target.width, 100u);
  EXPECT_EQ(small->width, 100u);
  EXPECT_EQ(small->height, 75u);
  EXPECT_EQ(small->width_bg, 100u);
  EXPECT_EQ(small->height_bg, 100u);
  EXPECT_EQ(small->pixel_count_bg, 100u * 100u - 100u * 75u);
  EXPECT_EQ(plan.pairs[1].target.image_type, FileTypePng);
  EXPECT_EQ(small->pixel_layout, 4u);
  EXPECT_EQ(small->x_stride, 400u);

  ImageStats *hd = plan.pairs[3].record->image;
  EXPECT_EQ(plan.pairs[3].target.width, 1920u);
  EXPECT_EQ(hd->width, 1440u);
  EXPECT_EQ(hd->height, 1080u);
  EXPECT_EQ(hd->width_bg, 1920u);
  EXPECT_EQ(hd->aspect_ratio_width, 4u);
  EXPECT_EQ(hd->aspect_ratio_height, 3u);
  EXPECT_EQ(hd->aspect_ratio_width_bg, 16u);
  EXPECT_EQ(hd->aspect_ratio_height_bg, 9u);
  EXPECT_TRUE(plan.needed[2]);
  EXPECT_TRUE(plan.needed[3]);
  EXPECT_FALSE(plan.needed[0]);
  EXPECT_FALSE(plan.needed[1]);
}

TEST_F(PlanFixture, SkipRulesAndImplicitIdentityPairing) {
  add(target(640, 0, 80));                         // one side only: the other from the picture
  add(target(320, 240, 70));                       // an output
  add(target(320, 240, 70));                       // same quality and size: skipped
  add(target(320, 240, 70, FileTypePng));         // names another type: kept
  add(target(320, 240, 70, FileTypePng, 2));      // same again with a type: skipped
  ConvertPlan plan;
  plan_for(&plan, FileTypePng, 640, 480, 4);
  ASSERT_EQ(plan.record_count, 4u);
  ASSERT_EQ(plan.pair_count, 4u);

  // No identity target in the list: the source record gets the source's own size, type,
  // layout at quality 100, and every output keeps the target that made it.
  EXPECT_EQ(plan.pairs[0].record, plan.first_record);
  EXPECT_EQ(plan.pairs[0].target.image_type, FileTypePng);
  EXPECT_EQ(plan.pairs[0].target.width, 640u);
  EXPECT_EQ(plan.pairs[0].target.quality, 100);
  EXPECT_EQ(plan.first_record->image->pixel_layout, 4u);
  EXPECT_EQ(plan.first_record->image->width_bg, 0u);

  EXPECT_EQ(plan.pairs[1].record->image->height, 480u);
  EXPECT_EQ(plan.pairs[1].record->image->width_bg, 0u);
  // Not letterboxed, no type named: JPEG with three channels, even from an RGBA source.
  EXPECT_EQ(plan.pairs[2].target.image_type, FileTypeJpeg);
  EXPECT_EQ(plan.pairs[2].target.quality, 70);
  EXPECT_EQ(plan.pairs[2].record->image->pixel_layout, 3u);
  EXPECT_EQ(plan.pairs[2].record->image->width, 320u);
  // A named PNG keeps the target's layout (defaulted to the source's four channels).
  EXPECT_EQ(plan.pairs[3].target.image_type, FileTypePng);
  EXPECT_EQ(plan.pairs[3].record->image->pixel_layout, 4u);
  EXPECT_TRUE(plan.needed[3]);
  EXPECT_TRUE(plan.needed[2]);
}

TEST_F(PlanFixture, ChannelCountFollowsTypeLayoutAndBackground) {
  add(Target{});                                               // identity
  add(target(50, 50, 90, FileTypeJpeg, 2, 0xFFu));            // opaque bars, JPEG of grey: 1 channel
  add(target(60, 30, 90, FileTypePng, 2));                    // same ratio, PNG grey+alpha: 2
  add(target(60, 60, 90, FileTypeJpeg, 3, 0x102030FFu));      // letterboxed, opaque: stays JPEG, 3
  add(target(70, 70, 90, FileTypeJpeg, 3, 0x10203000u));      // letterboxed, transparent: PNG, 4
  ConvertPlan plan;
  plan_for(&plan, FileTypeJpeg, 200, 100, 1);
  ASSERT_EQ(plan.pair_count, 5u);
  EXPECT_EQ(plan.first_record->image->pixel_layout, 1u);

  EXPECT_EQ(plan.pairs[1].target.image_type, FileTypeJpeg);
  EXPECT_EQ(plan.pairs[1].record->image->pixel_layout, 1u);
  EXPECT_EQ(plan.pairs[1].record->image->width_bg, 50u);
  EXPECT_EQ(plan.pairs[2].target.image_type, FileTypePng);
  EXPECT_EQ(plan.pairs[2].record->image->pixel_layout, 2u);
  EXPECT_EQ(plan.pairs[2].record->image->width_bg, 0u);
  EXPECT_EQ(plan.pairs[3].target.image_type, FileTypeJpeg);
  EXPECT_EQ(plan.pairs[3].record->image->pixel_layout, 3u);
  EXPECT_EQ(plan.pairs[3].record->image->bg_color, 0x102030FFu);
  EXPECT_EQ(plan.pairs[4].target.image_type, FileTypePng);
  EXPECT_EQ(plan.pairs[4].record->image->pixel_layout, 4u);
  EXPECT_EQ(plan.pairs[4].target.pixel_layout, 4);
  for (int k = 0; k < 4; k += 1) EXPECT_TRUE(plan.needed[k]) << k;
}

static Target fitted(u64 w, u64 h, u8 fit, bool no_enlarge = false) {
  Target t = target(w, h, 90);
  t.fit = fit;
  t.no_enlarge = no_enlarge;
  return t;
}

// Each fit with and without enlarging, one-side targets, on a 400 x 300 source and on one
// stored 300 x 400 that a viewer turns a quarter (EXIF 6) to the same 400 x 300.
TEST_F(PlanFixture, FitsEnlargingAndOneSideTargets) {
  add(fitted(300, 300, FitPad));
  add(fitted(300, 300, FitInside));
  add(fitted(300, 300, FitCover));
  add(fitted(800, 800, FitPad, true));   // centred at its size on the canvas
  add(fitted(800, 800, FitInside, true)); // its own size
  add(fitted(800, 800, FitInside));       // scaled up
  add(fitted(600, 200, FitCover, true));  // the box's proportions at the source's scale
  add(fitted(100, 100, FitCover, true));  // smaller than the source: as without
  add(fitted(200, 0, FitPad));            // one side: no canvas
  add(fitted(0, 600, FitPad, true));      // one side, never scaled up
  add(fitted(0, 600, FitPad));
  struct Want {
    u64 w, h, bg_w, bg_h;
    RectU64 crop;
  };
  const Want want[] = {
      {300, 225, 300, 300, {}},  {300, 225, 0, 0, {}},   {300, 300, 0, 0, {50, 0, 300, 300}},
      {400, 300, 800, 800, {}},  {400, 300, 0, 0, {}},   {800, 600, 0, 0, {}},
      {400, 133, 0, 0, {0, 83, 400, 133}}, {100, 100, 0, 0, {50, 0, 300, 300}},
      {200, 150, 0, 0, {}},      {400, 300, 0, 0, {}},   {800, 600, 0, 0, {}},
  };
  for (int turned = 0; turned < 2; turned += 1) {
    ConvertPlan plan;
    plan_begin(&plan, arena, file_arena, layout_arena, str8_lit("/out"), str8_lit("\xFF\xD8\xFF"));
    CodecProbe probe = {};
    probe.width = turned ? 300 : 400;
    probe.height = turned ? 400 : 300;
    probe.channels = 3;
    probe.bytes_per_channel = 1;
    plan_set_source(&plan, probe);
    plan.orientation = turned ? 6 : 1;
    plan_targets(&plan, &list);
    plan_geometry(&plan);
    ASSERT_EQ(plan.pair_count, 12u) << turned;
    for (u64 i = 1; i < plan.pair_count; i += 1) {
      const Want &w = want[i - 1];
      OutputRecord *r = plan.pairs[i].record;
      EXPECT_EQ(r->image->width, w.w) << turned << " " << i;
      EXPECT_EQ(r->image->height, w.h) << turned << " " << i;
      EXPECT_EQ(r->image->width_bg, w.bg_w) << turned << " " << i;
      EXPECT_EQ(r->image->height_bg, w.bg_h) << turned << " " << i;
      EXPECT_EQ(r->image->pixel_count, w.w * w.h) << turned << " " << i;
      EXPECT_EQ(r->crop.x, w.crop.x) << turned << " " << i;
      EXPECT_EQ(r->crop.y, w.crop.y) << turned << " " << i;
      EXPECT_EQ(r->crop.width, w.crop.width) << turned << " " << i;
      EXPECT_EQ(r->crop.height, w.crop.height) << turned << " " << i;
    }
  }
}

// A cover output's pixels are its window of the upright picture, whichever way the source is
// stored: at the source's scale (copied), resampled, and where the attention search put it.
TEST_F(PlanFixture, CoverOutputsShowTheirWindowOfTheUprightPicture) {
  add(fitted(30, 30, FitCover, true)); // the 20 x 20 window at its own size
  Target half = fitted(10, 10, FitCover);
  half.resampling_filter = 1; // box: each output pixel the mean of a 2 x 2 block
  add(half);
  Target busy = fitted(30, 30, FitCover, true);
  busy.crop = CropAttention;
  add(busy);
  // stored 41 x 20 and 20 x 41, each pixel saying where it is; odd, so that a centred window
  // is not its own mirror image
  for (int tall = 0; tall < 2; tall += 1) {
  const u64 W = tall ? 20 : 41, H = tall ? 41 : 20;
  Bytes px(W * H * 3);
  for (u64 y = 0; y < H; y += 1) {
    for (u64 x = 0; x < W; x += 1) {
      u8 *p = &px[(y * W + x) * 3];
      p[0] = (u8)(x * 6), p[1] = (u8)(y * 12), p[2] = (u8)((x * 7 + y * 13) % 256);
    }
  }
  Bytes file = png_file(px, W, H, 3);
  for (u32 orientation : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
    ConvertPlan plan;
    plan_begin(&plan, arena, file_arena, layout_arena, str8_lit("/out"), view(file));
    CodecProbe probe = {};
    ASSERT_TRUE(codec_probe(view(file), &probe));
    plan_set_source(&plan, probe);
    plan.orientation = orientation;
    plan_targets(&plan, &list);
    plan_geometry(&plan);
    plan_decode(&plan);
    plan_resample(&plan);
    ASSERT_TRUE(plan.ok);
    ASSERT_EQ(plan.pair_count, 4u);
    bool swap = orientation_swaps(orientation);
    u64 uw = swap ? H : W, uh = swap ? W : H;
    Bytes upright(uw * uh * 3);
    picture_turn(px.data(), W * 3, W, H, 3, orientation, upright.data(), uw * 3);
    for (u64 i = 1; i < 4; i += 1) {
      OutputRecord *r = plan.pairs[i].record;
      ASSERT_EQ(r->crop.width, 20u) << orientation << " " << i;
      ASSERT_EQ(r->crop.height, 20u);
      ASSERT_LE(r->crop.x + 20, uw);
      ASSERT_LE(r->crop.y + 20, uh);
      if (i != 3) {
        EXPECT_EQ(r->crop.x, (uw - 20) / 2);
        EXPECT_EQ(r->crop.y, (uh - 20) / 2);
      }
      u64 scale = i == 2 ? 2 : 1, side = 20 / scale;
      ASSERT_EQ(r->image->width, side);
      ASSERT_EQ(r->image->height, side);
      for (u64 y = 0; y < side; y += 1) {
        for (u64 x = 0; x < side; x += 1) {
          for (u64 c = 0; c < 3; c += 1) {
            u32 sum = 0;
            for (u64 k = 0; k < scale * scale; k += 1) {
              u64 ux = r->crop.x + x * scale + k % scale, uy = r->crop.y + y * scale + k / scale;
              sum += upright[(uy * uw + ux) * 3 + c];
            }
            int want = (int)((sum + scale * scale / 2) / (scale * scale));
            int got = r->image->pixels[y * r->image->x_stride + x * 3 + c];
            ASSERT_LE(abs(got - want), i == 2 ? 2 : 0) << orientation << " " << i << " " << x << "," << y;
          }
        }
      }
    }
    plan_release_layouts(&plan);
    arena_reset(file_arena);
  }
  }
}

// What a library printed: one note per distinct line, control characters gone, a long line cut
// before the character it would split, a sentence's end added, a shared line saying it may be
// another file's, and no more than PlanLibraryNotes for the source.
TEST_F(PlanFixture, LibraryLinesBecomeBoundedNotes) {
  ConvertPlan plan;
  plan_for(&plan, FileTypePng, 64, 48, 3);
  OutputRecord *source = plan_source_record(&plan);
  std::string long_line = std::string(PlanLibraryLineMax - 1, 'a') + "\xC3\xA9 never shown";
  std::string printed = "Unknown OBU type 9 of size 0\r\n\x1B[1mbold\x1B[0m\tline!\n\n  \x07\nUnknown OBU type 9 of size 0\n" +
                        long_line + "\n";
  plan_library_notes(&plan, source, str8_lit("libheif"), str8(printed.data(), printed.size()), false);
  plan_library_notes(&plan, source, str8_lit("libheif"), str8_lit("Error parsing OBU data\n"), true);
  std::vector<std::string> notes;
  for (Message *m = source->messages.first; m; m = m->next) {
    EXPECT_EQ(m->level, MessageNote);
    notes.push_back(std::string((const char *)m->text.str, m->text.size));
  }
  std::vector<std::string> want = {"libheif: Unknown OBU type 9 of size 0.", "libheif: [1mbold[0m line!",
                                   "libheif: " + std::string(PlanLibraryLineMax - 1, 'a') + ".",
                                   "libheif: Error parsing OBU data (printed while another file was being converted too)."};
  EXPECT_EQ(notes, want);

  std::string many;
  for (int i = 0; i < 20; i += 1) many += "line " + std::to_string(i) + "\n";
  plan_library_notes(&plan, source, str8_lit("libheif"), str8(many.data(), many.size()), false);
  EXPECT_EQ(source->messages.count, PlanLibraryNotes);
  EXPECT_EQ(plan.library_notes, PlanLibraryNotes);
  EXPECT_EQ(std::string((const char *)source->messages.last->text.str, source->messages.last->text.size), "libheif: line 3.");
}

//~ Reused memory
// Every step of an attempt, up to the encoded outputs; `photo`: what a viewer applies is read too.
static void plan_run(ConvertPlan *plan, Arena *arena, Arena *file_arena, Arena *layout_arena, const Bytes &file,
                     const TargetList *targets, bool photo) {
  plan_begin(plan, arena, file_arena, layout_arena, str8_lit("/out"), view(file));
  CodecProbe probe = {};
  EXPECT_TRUE(plan_probe(plan, &probe));
  plan_set_source(plan, probe);
  if (photo) plan_photo(plan, false, false);
  plan_targets(plan, targets);
  plan_geometry(plan);
  plan_decode(plan);
  plan_resample(plan);
  plan_stats_and_background(plan);
  plan_checksums_and_encode(plan);
  EXPECT_TRUE(plan->ok);
}

// What one attempt leaves behind: every record's checksum, encoded bytes and metadata text.
static std::string plan_all(Arena *arena, Arena *file_arena, Arena *layout_arena, const Bytes &file,
                            const TargetList *targets) {
  Scratch scratch = scratch_mark(arena);
  ConvertPlan plan;
  plan_run(&plan, arena, file_arena, layout_arena, file, targets, false);
  std::string result;
  Str8List text = {};
  for (OutputRecord *r = plan.first_record; r; r = r->next) {
    result += std::string((const char *)r->checksum.str, r->checksum.size) + ":";
    if (!r->is_original) result += std::string((const char *)r->bytes.str, r->bytes.size);
    format_metadata_record(arena, &text, r);
  }
  Str8 joined = str8_list_join(arena, &text, nullptr);
  result += std::string((const char *)joined.str, joined.size);
  plan_release_layouts(&plan);
  arena_reset(file_arena);
  scratch_restore(scratch);
  return result;
}

// A worker keeps its arenas and the image libraries' heap from one file to the next: whatever
// an earlier file left in that memory never shows in a later file's outputs. Each source is
// first converted on a thread of its own with fresh memory, then all of them again and again,
// in another order, on one thread with one worker's memory.
TEST_F(PlanFixture, ReusedWorkerMemoryGivesTheSameOutputs) {
  add(target(256, 256, 80, FileTypeJpeg, 0, 0x000000FF));    // letterboxed on black
  add(target(100, 100, 0, FileTypePng, 0, 0x20406000));      // transparent canvas: RGBA
  add(target(0, 0));                                          // the source's own size
  add(target(31, 17, 90, FileTypeJpeg, 1));                  // grey
  std::vector<Bytes> files = {
      png_file(gradient(64, 48, 3), 64, 48, 3),        jpeg_file(gradient(640, 480, 3), 640, 480, 3, 90),
      png_file(gradient(300, 200, 4), 300, 200, 4),   png_file(gradient(1000, 10, 1), 1000, 10, 1),
      jpeg_file(gradient(200, 300, 3), 200, 300, 3, 75), png_file(gradient(33, 77, 2), 33, 77, 2),
      // a file only libjpeg reads
      libjpeg_file(gradient(120, 90, 3), 120, 90, 3, {true, true, false, {}}),
  };

  std::vector<std::string> fresh(files.size());
  for (size_t i = 0; i < files.size(); i += 1) {
    std::thread([&, i] {
      ThreadContext context;
      thread_context_init(&context);
      Arena *a = arena_create(mib(64), kib(64)), *f = arena_create(mib(64), kib(64)), *l = arena_create(mib(64), kib(64));
      fresh[i] = plan_all(a, f, l, files[i], &list);
      arena_destroy(a), arena_destroy(f), arena_destroy(l);
      thread_context_release();
    }).join();
  }

  WorkerMemory memory = {};
  worker_memory_init(&memory);
  for (int round = 0; round < 3; round += 1) {
    for (size_t k = 0; k < files.size(); k += 1) {
      size_t i = (k * 5 + (size_t)round) % files.size();
      EXPECT_EQ(plan_all(arena, memory.file_arena, memory.layout_arena, files[i], &list), fresh[i])
          << "file " << i << " in round " << round;
    }
  }
}

//~ Kept metadata
// A turned photo keeps the EXIF its target asks for, rewritten for the output (orientation 1,
// its pixel size, no GPS), and its record says so; the same target without `keep` makes the
// same picture under the same name, its file exactly the kept one without the new segment.
TEST_F(PlanFixture, KeptExifIsRewrittenForTheOutputAndNamedInItsRecord) {
  Bytes source = jpeg_with_segment(jpeg_file(gradient(40, 20, 3), 40, 20, 3, 90), 0xE1, exif_block(6, true));
  struct Output {
    std::string checksum, record;
    Bytes bytes;
    u64 width;
  };
  auto convert = [&](u32 keep) {
    list = {};
    Target t = target(0, 0, 85, FileTypeJpeg);
    t.keep = keep;
    add(t);
    ConvertPlan plan;
    plan_run(&plan, arena, file_arena, layout_arena, source, &list, true);
    OutputRecord *r = plan.first_record->next;
    Str8List text = {};
    format_metadata_record(arena, &text, r);
    Output out = {std::string((char *)r->checksum.str, r->checksum.size),
                  std::string((char *)str8_list_join(arena, &text, nullptr).str), bytes_of(r->bytes), r->image->width};
    plan_release_layouts(&plan);
    return out;
  };
  Output with = convert(KeepExif | KeepIcc), without = convert(0);
  EXPECT_EQ(with.width, 20u);
  ImageMetadata back = jpeg_metadata(arena, view(with.bytes));
  ASSERT_GT(back.exif.size, 0u);
  EXPECT_EQ(codec_tiff_orientation(back.exif), 1u);
  EXPECT_EQ(back.icc.size, 0u) << "no profile to keep, none converted";
  EXPECT_EQ(jpeg_metadata(arena, view(without.bytes)).exif.size, 0u);
  EXPECT_EQ(with.checksum, without.checksum);
  ASSERT_GT(with.bytes.size(), without.bytes.size());
  EXPECT_EQ(Bytes(with.bytes.end() - (without.bytes.size() - 20), with.bytes.end()),
            Bytes(without.bytes.begin() + 20, without.bytes.end()));
  std::string expected = without.record;
  expected.insert(expected.size() - strlen("[END_FILE];"), "[metadata_kept]exif;");
  EXPECT_EQ(with.record, expected);
}

//~ Byte budget
struct BudgetOutput {
  std::string bytes;
  int quality;
  std::vector<std::string> notes;
  u64 encodes;
};

// The one output of `file` for target `t`, and the encodes it took.
static BudgetOutput budget_output(Arena *arena, Arena *file_arena, Arena *layout_arena, const Bytes &file, Target t) {
  Target *copy = arena_push<Target>(arena);
  *copy = t;
  TargetNode *node = arena_push<TargetNode>(arena);
  node->target = copy;
  TargetList targets = {node, node, 1};
  u64 before = budget_counts().encodes;
  ConvertPlan plan;
  plan_begin(&plan, arena, file_arena, layout_arena, str8_lit("/out"), view(file));
  CodecProbe probe = {};
  EXPECT_TRUE(codec_probe(view(file), &probe));
  plan_set_source(&plan, probe);
  plan_targets(&plan, &targets);
  plan_geometry(&plan);
  plan_decode(&plan);
  plan_resample(&plan);
  plan_stats_and_background(&plan);
  plan_checksums_and_encode(&plan);
  EXPECT_TRUE(plan.ok);
  EXPECT_EQ(plan.pair_count, 2u);
  OutputRecord *r = plan.pairs[1].record;
  BudgetOutput out = {std::string((const char *)r->bytes.str, r->bytes.size), r->quality, {},
                      budget_counts().encodes - before};
  for (Message *m = r->messages.first; m; m = m->next) out.notes.push_back(std::string((const char *)m->text.str, m->text.size));
  plan_release_layouts(&plan);
  return out;
}

// A lossy output over its budget is written at the highest quality that fits, found by
// bisection; one that fits costs one encode and keeps its bytes; one that cannot fit, or a
// lossless one, is written with a note.
TEST_F(PlanFixture, ByteBudgetLowersTheQualityUntilTheFileFits) {
  Bytes pixels = noise(96 * 64 * 3, 7);
  Bytes source = png_file(pixels, 96, 64, 3);
  auto run = [&](i32 type, u8 quality, u64 max_bytes) {
    Target t = target(0, 0, quality, type);
    t.max_bytes = max_bytes;
    return budget_output(arena, file_arena, layout_arena, source, t);
  };

  // fits at once: one encode, the bytes of the same output without a budget
  BudgetOutput free = run(FileTypeJpeg, 60, 0);
  BudgetOutput roomy = run(FileTypeJpeg, 60, free.bytes.size());
  EXPECT_EQ(roomy.encodes, 1u);
  EXPECT_EQ(roomy.quality, 60);
  EXPECT_EQ(roomy.bytes, free.bytes);
  EXPECT_TRUE(roomy.notes.empty());

  // over: the highest quality whose file fits, and the next one up would not
  u64 budget = run(FileTypeJpeg, 35, 0).bytes.size() + 40;
  BudgetOutput lowered = run(FileTypeJpeg, 60, budget);
  EXPECT_LE(lowered.encodes, (u64)BudgetEncodesMax);
  EXPECT_GT(lowered.encodes, 1u);
  EXPECT_LT(lowered.quality, 60);
  EXPECT_GE(lowered.quality, 35);
  EXPECT_LE(lowered.bytes.size(), budget);
  EXPECT_TRUE(lowered.notes.empty());
  EXPECT_EQ(lowered.bytes, run(FileTypeJpeg, (u8)lowered.quality, 0).bytes);
  EXPECT_GT(run(FileTypeJpeg, (u8)(lowered.quality + 1), 0).bytes.size(), budget);

  // even quality 1 is over: written at 1, noted, within the encodes allowed
  BudgetOutput tight = run(FileTypeWebp, 90, 100);
  BudgetOutput webp_1 = run(FileTypeWebp, 1, 0);
  EXPECT_EQ(tight.encodes, (u64)BudgetEncodesMax);
  EXPECT_EQ(tight.quality, 1);
  EXPECT_EQ(tight.bytes, webp_1.bytes);
  EXPECT_EQ(tight.notes, std::vector<std::string>{"Output is " + std::to_string(webp_1.bytes.size()) +
                                                  " bytes, over its budget of 100 bytes; it was written at quality 1."});

  // a PNG cannot be made smaller: written as it is, noted
  BudgetOutput png = run(FileTypePng, 0, 0);
  BudgetOutput png_over = run(FileTypePng, 0, 1000);
  EXPECT_EQ(png_over.encodes, 1u);
  EXPECT_EQ(png_over.quality, 100);
  EXPECT_EQ(png_over.bytes, png.bytes);
  EXPECT_EQ(png_over.notes, std::vector<std::string>{"Output is " + std::to_string(png.bytes.size()) +
                                                     " bytes, over its budget of 1000 bytes; it was written as it is."});
}
