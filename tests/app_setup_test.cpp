// Set-up: targets read from a document, the built-in fallback and its warnings, folder
// resolution, and a whole app_setup (each test runs in its own process, so the workers it
// starts stay confined to that test).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "test_process.h"
#include "test_text.h"

namespace fs = std::filesystem;

namespace {

//~ Helpers
Str8 str8_of(const std::string &s) { return str8(s.data(), s.size()); }

std::vector<std::string> lines_of(const Str8List &list) {
  std::vector<std::string> out;
  for (Str8Node *n = list.first; n; n = n->next) out.push_back(text_of(n->string));
  return out;
}

std::vector<Target> targets_of(const TargetList &list) {
  std::vector<Target> out;
  for (TargetNode *n = list.first; n; n = n->next) out.push_back(*n->target);
  return out;
}

void expect_same_target(const Target &a, const Target &b, int index) {
  SCOPED_TRACE("target " + std::to_string(index));
  EXPECT_EQ(a.image_type, b.image_type);
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.bg_color, b.bg_color);
  EXPECT_EQ(a.quality, b.quality);
  EXPECT_EQ(a.max_bytes, b.max_bytes);
  EXPECT_EQ(a.resampling_filter, b.resampling_filter);
  EXPECT_EQ(a.edge_mode, b.edge_mode);
  EXPECT_EQ(a.pixel_layout, b.pixel_layout);
  EXPECT_EQ(a.fit, b.fit);
  EXPECT_EQ(a.crop, b.crop);
  EXPECT_EQ(a.no_enlarge, b.no_enlarge);
  EXPECT_EQ(a.keep, b.keep);
}

Target make_target(i32 image_type, u64 width, u64 height, u32 bg_color, u8 quality, u64 max_bytes, i32 filter,
                   i32 edge, i32 layout) {
  Target t = {};
  t.image_type = image_type;
  t.width = width;
  t.height = height;
  t.bg_color = bg_color;
  t.quality = quality;
  t.max_bytes = max_bytes;
  t.resampling_filter = filter;
  t.edge_mode = edge;
  t.pixel_layout = layout;
  return t;
}

std::vector<Target> builtin_expected() {
  return {make_target(0, 0, 0, 0, 0, 0, 0, 0, 0), make_target(0, 100, 100, 0, 60, 0, 5, 0, 0),
          make_target(0, 300, 300, 0, 60, 0, 5, 0, 0), make_target(0, 1920, 1080, 0, 80, 0, 5, 0, 0)};
}


struct AppSetupFixture : testing::Test {
  Arena *arena = nullptr;
  void SetUp() override { arena = arena_create(mib(4), kib(64)); }
  void TearDown() override { arena_destroy(arena); }

  std::vector<Target> read(const std::string &text, Str8List *problems = nullptr) {
    TargetList list = {};
    u64 added = app_targets_from_text(arena, &list, str8_of(text), str8_lit("t.txt"), problems);
    EXPECT_EQ(added, list.count);
    return targets_of(list);
  }
};

} // namespace

//~ Targets from a document
TEST_F(AppSetupFixture, TargetFieldsFollowTheKeyTable) {
  std::vector<Target> got = read("targets: [\n"
                                 "  { width: 640, height: 480 }\n"
                                 "  { quality: 250, image_type: \"jpeg\", resampling_filter: \"catmullrom\","
                                 " edge_mode: \"WRAP\", pixel_layout: \"rgb\", bg_color: 4294967295 }\n"
                                 "  { quality: 100, image_type: 'PnG', pixel_layout: \"RGBA\","
                                 " resampling_filter: \"point_sample\", edge_mode: \"Zero\" }\n"
                                 "  { quality: 99, image_type: \"JPG\", pixel_layout: \"GRAYSCALE\","
                                 " resampling_filter: \"LANCZOS\", edge_mode: \"mirror\", bg_color: 4294967297 }\n"
                                 "  { width: 8, width: 9, image_type: 5, image_type: \"png\", bg_color: \"red\" }\n"
                                 "  { resampling_filter: \"box\", edge_mode: \"reflect\", max_bytes: 1000 }\n"
                                 "]\n");
  std::vector<Target> want = {
      make_target(0, 640, 480, 0, 0, 0, 0, 0, 0),
      make_target(FileTypeJpeg, 0, 0, 0xFFFFFFFFu, 100, 0, 4, 2, 3),
      make_target(FileTypePng, 0, 0, 0, 100, 0, 6, 3, 4),
      // unknown names leave 0; bg_color keeps the low 32 bits of 2^32 + 1
      make_target(0, 0, 0, 1, 99, 0, 0, 0, 0),
      // a repeated key: the first one whose first value has the expected type
      make_target(FileTypePng, 8, 0, 0, 0, 0, 0, 0, 0),
      make_target(0, 0, 0, 0, 0, 1000, 1, 1, 0),
  };
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i += 1) expect_same_target(got[i], want[i], (int)i);
}

TEST_F(AppSetupFixture, FitCropEnlargeAndKeepAreReadAndMisspeltNamesWarned) {
  Str8List problems = {};
  std::vector<Target> got = read("targets: [\n"
                                 "  { fit: \"COVER\", crop: \"attention\", enlarge: 0, keep: \"exif, Copyright,gps\" }\n"
                                 "  { fit: \"inside\", enlarge: 1, keep: \"all\" }  # every part\n"
                                 "  { fit: \"contain\", crop: \"top\", keep: \"none\" }\n"
                                 "  { image_type: \"JPG\", edge_mode: \"mirror\", keep: \"icc,exiff\" }\n"
                                 "  { image_type: \"gif\" }  # read, never written\n"
                                 "]\n",
                                 &problems);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].fit, FitCover);
  EXPECT_EQ(got[0].crop, CropAttention);
  EXPECT_TRUE(got[0].no_enlarge);
  EXPECT_EQ(got[0].keep, (u32)(KeepExif | KeepCopyright | KeepGps));
  EXPECT_EQ(got[1].fit, FitInside);
  EXPECT_FALSE(got[1].no_enlarge);
  EXPECT_EQ(got[1].keep, (u32)KeepAll);
  EXPECT_EQ(got[2].fit, FitPad);
  EXPECT_EQ(got[2].crop, CropCenter);
  EXPECT_EQ(got[3].keep, (u32)KeepIcc);
  EXPECT_EQ(got[3].image_type, (i32)FileTypeNone);
  EXPECT_EQ(got[4].image_type, (i32)FileTypeNone);
  EXPECT_EQ(lines_of(problems),
            (std::vector<std::string>{
                "warning: targets file t.txt:4:10: \"contain\" is not a value of fit (pad, inside or cover); it is left unset.",
                "warning: targets file t.txt:4:27: \"top\" is not a value of crop (center or attention); it is left unset.",
                "warning: targets file t.txt:5:17: \"JPG\" is not a value of image_type (JPEG, PNG, WEBP, AVIF or JXL); it is "
                "left unset.",
                "warning: targets file t.txt:5:35: \"mirror\" is not a value of edge_mode (CLAMP, REFLECT, WRAP or ZERO); "
                "it is left unset.",
                "warning: targets file t.txt:5:51: \"exiff\" is not a value of keep (icc, exif, gps, xmp, iptc, copyright, "
                "all or none); it is left out.",
                "warning: targets file t.txt:6:17: \"gif\" is not a value of image_type (JPEG, PNG, WEBP, AVIF or JXL); it is "
                "left unset.",
            }));
}

TEST_F(AppSetupFixture, EveryChildOfTheFirstTargetsKeyCounts) {
  // values that are not objects give all-zero targets
  std::vector<Target> got = read("targets: [ { width: 1 } 42 \"text\" { height: 2 } ]\n");
  ASSERT_EQ(got.size(), 4u);
  expect_same_target(got[0], make_target(0, 1, 0, 0, 0, 0, 0, 0, 0), 0);
  expect_same_target(got[1], Target{}, 1);
  expect_same_target(got[2], Target{}, 2);
  expect_same_target(got[3], make_target(0, 0, 2, 0, 0, 0, 0, 0, 0), 3);

  // only the first "targets" key in document order
  got = read("targets: [ { width: 11 } ]\ntargets: [ { width: 22 }, { width: 33 } ]\n");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].width, 11u);

  EXPECT_TRUE(read("").empty());
  EXPECT_TRUE(read("targets: []").empty());
  EXPECT_TRUE(read("width: 5").empty());
}

TEST_F(AppSetupFixture, RejectedTokensBecomeProblemLinesWithTheirPosition) {
  Str8List problems = {};
  std::vector<Target> got = read("targets: [\n  { width: 640, bogus }\n  { \xC3\xA9 bogus }\n]", &problems);
  // the objects with bad keys still count; their other keys are kept
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].width, 640u);
  std::vector<std::string> lines = lines_of(problems);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "warning: targets file t.txt:2:17: Unexpected \"bogus\" token.");
  // columns count characters, not bytes
  EXPECT_EQ(lines.back(), "warning: targets file t.txt:3:7: Unexpected \"bogus\" token.");

  Str8List none = {};
  read("targets: [ { width: 1 } ]", &none);
  EXPECT_EQ(none.node_count, 0u);
}

//~ Built-in fallback
TEST_F(AppSetupFixture, BuiltInTargetsStandInWhenNoTargetIsRead) {
  TempFolder tmp;
  auto load = [&](const std::string &path, u32 *default_targets, std::vector<std::string> *lines) {
    Str8List problems = {};
    *default_targets = 77;
    TargetList list = app_targets_load(arena, str8_of(path), default_targets, &problems);
    *lines = lines_of(problems);
    return targets_of(list);
  };
  std::vector<Target> builtin = builtin_expected();
  auto expect_builtin = [&](const std::vector<Target> &got) {
    ASSERT_EQ(got.size(), builtin.size());
    for (size_t i = 0; i < got.size(); i += 1) expect_same_target(got[i], builtin[i], (int)i);
  };
  u32 default_targets = 0;
  std::vector<std::string> lines;

  // no file: silent
  expect_builtin(load("", &default_targets, &lines));
  EXPECT_EQ(default_targets, 1u);
  EXPECT_TRUE(lines.empty());

  // missing file and a folder: cannot be read
  std::string missing = tmp.at("missing.txt");
  expect_builtin(load(missing, &default_targets, &lines));
  EXPECT_EQ(default_targets, 1u);
  EXPECT_EQ(lines, std::vector<std::string>{"warning: cannot read targets file " + missing +
                                            "; using the default targets"});
  expect_builtin(load(tmp.path, &default_targets, &lines));
  EXPECT_EQ(lines, std::vector<std::string>{"warning: cannot read targets file " + tmp.path +
                                            "; using the default targets"});

  // readable, but nothing in it
  for (const char *text : {"", "targets: []\n", "quality: 80\n"}) {
    std::string path = tmp.write("empty.txt", text);
    expect_builtin(load(path, &default_targets, &lines));
    EXPECT_EQ(default_targets, 1u);
    EXPECT_EQ(lines, std::vector<std::string>{"warning: no target in targets file " + path +
                                              "; using the default targets"})
        << text;
  }

  // a rejected token in a file that yields no target: both are said
  std::string bad = tmp.write("bad.txt", "targets: [ ? ]");
  expect_builtin(load(bad, &default_targets, &lines));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "warning: targets file " + bad + ":1:12: Unexpected \"?\" token.");
  EXPECT_EQ(lines[1], "warning: no target in targets file " + bad + "; using the default targets");

  // a good file replaces the built-in targets
  std::string good = tmp.write("good.txt", "targets: { width: 640, height: 480 }");
  std::vector<Target> got = load(good, &default_targets, &lines);
  ASSERT_EQ(got.size(), 1u);
  expect_same_target(got[0], make_target(0, 640, 480, 0, 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(default_targets, 0u);
  EXPECT_TRUE(lines.empty());
}

//~ Folders
TEST_F(AppSetupFixture, FoldersDefaultBesideTheExecutableAndResolveRelativePaths) {
  Str8 exe = path_normalize(arena, proc_info()->exe_folder);
  ASSERT_GT(exe.size, 0u);
  EXPECT_EQ(text_of(app_folder_resolve(arena, Str8{}, str8_lit("in"))), text_of(exe) + "/in");
  EXPECT_EQ(text_of(app_folder_resolve(arena, Str8{}, str8_lit("metadatas"))), text_of(exe) + "/metadatas");

  std::string cwd = text_of(path_normalize(arena, current_directory(arena)));
  EXPECT_EQ(text_of(app_folder_resolve(arena, str8_lit("images"), str8_lit("in"))), cwd + "/images");
  {
    SeparatorRule windows(true);
    EXPECT_EQ(text_of(app_folder_resolve(arena, str8_lit("a\\b/../c/./d"), str8_lit("in"))), cwd + "/a/c/d");
  }
  {
    SeparatorRule posix(false);
    EXPECT_EQ(text_of(app_folder_resolve(arena, str8_lit("/a/b\\../c\\./d/.."), str8_lit("in"))), "/a/b\\../c\\.");
  }
  EXPECT_EQ(text_of(app_folder_resolve(arena, str8_lit("/tmp//x/./y/.."), str8_lit("in"))), "/tmp/x");
}

//~ Set-up
TEST(AppSetup, ThreadCountsClampToOneToSixteen) {
  EXPECT_EQ(app_thread_count(0, 8), 8u);
  EXPECT_EQ(app_thread_count(0, 64), 16u);
  EXPECT_EQ(app_thread_count(0, 0), 1u);
  EXPECT_EQ(app_thread_count(3, 64), 3u);
  EXPECT_EQ(app_thread_count(40, 2), 16u);
}

namespace {
void expect_state_shape(AppState *state, u64 workers, u64 stripes) {
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->thread_count, workers);
  ASSERT_NE(state->workers, nullptr);
  for (u64 i = 0; i < workers; i += 1) EXPECT_NE(state->workers[i], nullptr) << i;
  EXPECT_EQ(state->claims.bucket_count, ClaimBuckets);
  EXPECT_EQ(state->claims.stripe_count, stripes);
  ASSERT_NE(state->claims.buckets, nullptr);
  ASSERT_NE(state->claims.stripes, nullptr);
  for (u64 i = 0; i < stripes; i += 1) {
    EXPECT_NE(state->claims.stripes[i].arena, nullptr);
    EXPECT_NE(state->claims.stripes[i].lock, nullptr);
  }
  for (u64 i = 0; i < ClaimBuckets; i += 1) EXPECT_EQ(state->claims.buckets[i].first, nullptr);
  EXPECT_EQ(state->conversion_queue.capacity, 524288u);
  EXPECT_NE(state->conversion_queue.buffer, nullptr);
  EXPECT_EQ(state->conversion_queue.write_pos, state->conversion_queue.read_pos);
}
} // namespace

TEST(AppSetup, ThreadZeroUsesTheProcessorCountAndBuildsEverything) {
  TempFolder tmp;
  // temporary files of killed runs (of this version and an earlier one), and files of the
  // user's that must stay
  fs::create_directories(tmp.at("out"));
  fs::create_directories(tmp.at("meta"));
  tmp.write("out/.vantor-12-34-5.tmp", "x");
  tmp.write("meta/.vantor-12-34-6.tmp", "x");
  tmp.write("meta/cam1/.vantor-12-34-7.tmp", "x");
  tmp.write("out/unsupported/docs/.vantor-12-34-8.tmp", "x");
  tmp.write("out/keep.tmp", "x");
  tmp.write("out/.vantor-notes-1-2.tmp", "x");
  // Another instance's go only once it is gone: a heartbeat on this system whose lock is free,
  // or none at all and the temporary long unchanged. A live one's stay, however old, and so does
  // a fresh one without a heartbeat (its writer may have just started on another machine).
  std::string beats = tmp.at("deep/er/in/.vantor/instances/");
  fs::create_directories(beats);
  Scratch scratch = scratch_begin(nullptr);
  std::string domain = text_of(folder_lock_domain(scratch.arena, str8_of(tmp.at("deep/er/in"))));
  scratch_restore(scratch);
  ASSERT_FALSE(domain.empty());
  tmp.write("deep/er/in/.vantor/instances/00000000000000aa", "vantor instance 00000000000000aa domain " + domain + "\n");
  tmp.write("deep/er/in/.vantor/instances/00000000000000bb", "vantor instance 00000000000000bb domain " + domain + "\n");
  FileHandle live = file_open(FileOpenRead | FileOpenWrite | FileOpenAlways | FileShareRead | FileShareWriteDelete,
                              str8_of(beats + "00000000000000aa"));
  ASSERT_TRUE(file_lock_hold(live));
  tmp.write("out/.vantor-00000000000000aa-1-2-3.tmp", "x");
  tmp.write("out/.vantor-00000000000000bb-1-2-3.tmp", "x");
  tmp.write("out/.vantor-00c0ffee12345678-12-34-9.tmp", "x");
  tmp.write("out/.vantor-00c0ffee12345679-12-34-9.tmp", "x");
  ASSERT_TRUE(set_mtime(tmp.at("out/.vantor-00000000000000aa-1-2-3.tmp"), 1000000000, 0));
  ASSERT_TRUE(set_mtime(tmp.at("out/.vantor-00c0ffee12345678-12-34-9.tmp"), 1000000000, 0));
  std::string targets = tmp.write("targets.txt", "targets: [ { width: 10, height: 20 } ]");

  Str8List problems = {};
  std::string in = tmp.at("deep/er/in"), out = tmp.at("out"), meta = tmp.at("meta/./");
  AppOptions options = {.in = str8_of(in), .out = str8_of(out), .metadatas = str8_of(meta),
                        .targets_path = str8_of(targets)};
  u32 ok = app_setup(&options, &problems);
  EXPECT_EQ(ok, 1u);
  AppState *state = app_state();
  u64 processors = sys_info()->processor_count;
  expect_state_shape(state, std::min<u64>(std::max<u64>(processors, 1), 16), std::min<u64>(processors, 16));
  EXPECT_EQ(state->max_pixels, 134217728u);

  EXPECT_EQ(text_of(state->in_folder), tmp.at("deep/er/in"));
  EXPECT_EQ(text_of(state->out_folder), tmp.at("out"));
  EXPECT_EQ(text_of(state->metadatas_folder), tmp.at("meta"));
  EXPECT_TRUE(fs::is_directory(tmp.at("deep/er/in")));
  EXPECT_FALSE(fs::exists(tmp.at("out/.vantor-12-34-5.tmp")));
  EXPECT_FALSE(fs::exists(tmp.at("meta/.vantor-12-34-6.tmp")));
  EXPECT_FALSE(fs::exists(tmp.at("meta/cam1/.vantor-12-34-7.tmp")));
  EXPECT_FALSE(fs::exists(tmp.at("out/unsupported/docs/.vantor-12-34-8.tmp")));
  EXPECT_FALSE(fs::exists(tmp.at("out/.vantor-00c0ffee12345678-12-34-9.tmp")));
  EXPECT_TRUE(fs::exists(tmp.at("out/.vantor-00c0ffee12345679-12-34-9.tmp")));
  EXPECT_TRUE(fs::exists(tmp.at("out/.vantor-00000000000000aa-1-2-3.tmp")));
  EXPECT_FALSE(fs::exists(tmp.at("out/.vantor-00000000000000bb-1-2-3.tmp")));
  file_close(live);
  instances_stop();
  EXPECT_TRUE(fs::exists(tmp.at("out/keep.tmp")));
  EXPECT_TRUE(fs::exists(tmp.at("out/.vantor-notes-1-2.tmp")));

  EXPECT_EQ(state->default_targets, 0u);
  std::vector<Target> got = targets_of(state->targets);
  ASSERT_EQ(got.size(), 1u);
  expect_same_target(got[0], make_target(0, 10, 20, 0, 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(problems.node_count, 0u);
}

TEST(AppSetup, ThreadFortyGivesSixteenWorkersAndStripes) {
  TempFolder tmp;
  Str8List problems = {};
  std::string in = tmp.at("in"), out = tmp.at("out"), meta = tmp.at("meta");
  AppOptions options = {.in = str8_of(in), .out = str8_of(out), .metadatas = str8_of(meta), .threads = 40,
                        .max_pixels = 5000};
  u32 ok = app_setup(&options, &problems);
  EXPECT_EQ(ok, 1u);
  AppState *state = app_state();
  expect_state_shape(state, 16, 16);
  EXPECT_EQ(state->max_pixels, 5000u);
  EXPECT_EQ(state->default_targets, 1u);
  EXPECT_EQ(state->targets.count, 4u);
  EXPECT_EQ(problems.node_count, 0u);
  EXPECT_TRUE(fs::is_directory(tmp.at("out")));
  EXPECT_TRUE(fs::is_directory(tmp.at("in")));
  EXPECT_TRUE(fs::is_directory(tmp.at("meta")));
  instances_stop(); // its heartbeat, held open, would keep Windows from removing the folder
}

TEST(AppSetup, InputFolderThatIsAlsoTheOutputFolderEndsTheSetUp) {
  TempFolder tmp;
  Str8List problems = {};
  std::string in = tmp.at("same/"), out = tmp.at("same"), meta = tmp.at("meta");
  AppOptions options = {.in = str8_of(in), .out = str8_of(out), .metadatas = str8_of(meta), .threads = 1};
  EXPECT_EQ(app_setup(&options, &problems), 0u);
  std::vector<std::string> lines = lines_of(problems);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("error: the input folder ")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("same is also the output folder; nothing in it could be converted")) << lines[0];
  EXPECT_FALSE(fs::exists(out)) << "nothing is made for a run that cannot start";
}
