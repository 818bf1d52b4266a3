// End to end: the real binary on temporary folders, images made here, files checked on disk.
#include <gtest/gtest.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "convert/convert_metadata.h"
#include "test_images.h"
#include "test_json.h"
#include "test_process.h"

namespace fs = std::filesystem;

namespace {

//~ Helpers
struct Folders {
  TempFolder tmp{"e2e"};
  std::string in = tmp.at("in");
  std::string out = tmp.at("out");
  std::string meta = tmp.at("meta");
  Folders() { fs::create_directories(in); }
  std::vector<std::string> args(std::vector<std::string> extra = {}) const {
    std::vector<std::string> a = {"-in=" + in, "-out=" + out, "-metadatas=" + meta, "-thread=2"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
  std::string drop(const std::string &name, const Bytes &bytes) const {
    std::string path = in + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    // Written beside, then moved in, so the converter only ever sees the complete file.
    std::string staging = tmp.at(".staging");
    EXPECT_TRUE(write_file(staging, bytes));
    fs::rename(staging, path);
    return path;
  }
  std::string text(const std::string &stem) const {
    Bytes b = read_file(meta + "/" + stem + ".metadatas");
    return std::string(b.begin(), b.end());
  }
  size_t out_files() const {
    size_t n = 0;
    if (fs::exists(out)) {
      for (auto &e : fs::directory_iterator(out)) n += e.is_regular_file();
    }
    return n;
  }
};

typedef std::map<std::string, std::string> Record;

// The records of a metadata text, and the notes that follow each "[END_FILE];".
struct Metadata {
  std::vector<Record> records;
  std::vector<std::string> notes; // notes[i] follows record i
};

Metadata parse_metadata(const std::string &text) {
  Metadata m;
  std::regex field(R"(\[([A-Za-z_]+)\]([^;\[]*);)");
  size_t pos = 0;
  Record current;
  while (pos < text.size()) {
    std::smatch match;
    std::string rest = text.substr(pos);
    if (!std::regex_search(rest, match, field, std::regex_constants::match_continuous)) {
      // A note: everything up to the next record.
      size_t next = text.find("[is_original]", pos);
      if (next == std::string::npos) next = text.size();
      if (!m.notes.empty()) m.notes.back() += text.substr(pos, next - pos);
      pos = next;
      continue;
    }
    if (match[1] == "END_FILE") {
      m.records.push_back(current);
      m.notes.push_back("");
      current.clear();
    } else {
      current[match[1]] = match[2];
    }
    pos += match.length(0);
  }
  return m;
}

u64 num(const Record &r, const std::string &key) {
  auto it = r.find(key);
  return it == r.end() ? ~0ull : std::stoull(it->second);
}

CodecProbe probe_file(const std::string &path) {
  Bytes b = read_file(path);
  CodecProbe p = {};
  EXPECT_TRUE(codec_probe(view(b), &p)) << path;
  return p;
}

// Decodes an output to four channels, for looking at single pixels.
struct Picture {
  Bytes px;
  u64 w = 0, h = 0;
  const u8 *at(u64 x, u64 y) const { return &px[(y * w + x) * 4]; }
};

Picture decode_rgba(const std::string &path) {
  Bytes b = read_file(path);
  Picture p;
  CodecProbe probe;
  if (!codec_probe(view(b), &probe)) return p;
  Arena *arena = arena_create(mib(64), mib(1));
  Str8 px = codec_decode_8(arena, view(b), probe.width, probe.height, 4).pixels;
  p.px = bytes_of(px);
  p.w = probe.width;
  p.h = probe.height;
  arena_destroy(arena);
  return p;
}

// Checks what one converted source left behind: its copy, its outputs and its records.
void expect_converted(const Folders &f, const std::string &stem, const Bytes &source, size_t records) {
  Metadata m = parse_metadata(f.text(stem));
  ASSERT_EQ(m.records.size(), records) << stem;
  const Record &src = m.records[0];
  EXPECT_EQ(num(src, "is_original"), 1u);
  EXPECT_EQ(read_file(src.at("file_path")), source) << "the source copy is byte for byte the source";
  EXPECT_EQ(num(src, "file_size"), source.size());
  EXPECT_EQ(num(src, "quality"), 100u);
  // The source's checksum is that of its own decoded pixels (an 8-bit source's, at its own
  // channel count), however the attempt then reused that buffer.
  CodecProbe probe = {};
  if (codec_probe(view(source), &probe) && probe.bytes_per_channel == 1) {
    Arena *arena = arena_create(mib(64), mib(1));
    Str8 pixels = codec_decode_8(arena, view(source), probe.width, probe.height, probe.channels).pixels;
    Str8 text = checksum_text(arena, codec_blake2b128(pixels.str, pixels.size));
    EXPECT_EQ(src.at("checksum"), std::string((char *)text.str, text.size)) << stem;
    arena_destroy(arena);
  }
  for (size_t i = 0; i < m.records.size(); i += 1) {
    const Record &r = m.records[i];
    std::string path = r.at("file_path");
    EXPECT_EQ(fs::path(path).parent_path().string(), f.out);
    EXPECT_EQ(fs::path(path).stem().string(), r.at("checksum"));
    ASSERT_TRUE(fs::exists(path)) << path;
    EXPECT_EQ(num(r, "file_size"), fs::file_size(path));
    if (i == 0) continue;
    EXPECT_EQ(num(r, "is_original"), 0u);
    CodecProbe p = probe_file(path);
    u64 w = num(r, "width_bg") ? num(r, "width_bg") : num(r, "width");
    u64 h = num(r, "height_bg") ? num(r, "height_bg") : num(r, "height");
    EXPECT_EQ(p.width, w) << path;
    EXPECT_EQ(p.height, h) << path;
    std::string layout = r.at("pixel_layout");
    u32 channels = layout == "RGBA" ? 4 : layout == "RGB" ? 3 : layout == "GRAYSCALE_ALPHA" ? 2 : 1;
    if (r.at("file_type") == "PNG") {
      EXPECT_EQ(fs::path(path).extension(), ".png");
      EXPECT_EQ(p.channels, channels) << path;
    } else {
      EXPECT_EQ(fs::path(path).extension(), ".jpg");
      EXPECT_LE(channels, 3u) << "a JPEG output has one or three channels";
    }
    EXPECT_EQ(num(r, "x_stride"), w * channels);
  }
}

// Claims of instances on another machine (another lock domain), which only their heartbeats'
// age can judge: a source claimed by a live one is that one's, and the drain ends without it;
// one whose claimer has gone quiet is waited for, then taken over once 30 s have passed since
// its last heartbeat, by the file system's clock. The live one's heartbeat is kept beating for
// as long as the drain takes, so the converted source's tombstone outlives the drain.
TEST(EndToEnd, ClaimsOfAnotherMachineAreHonouredUntilItIsGone) {
  Folders f;
  Bytes held = png_file(noise(40 * 30 * 3, 1), 40, 30, 3);
  Bytes taken = png_file(noise(40 * 30 * 3, 2), 40, 30, 3);
  f.drop("held.png", held);
  f.drop("taken.png", taken);
  fs::create_directories(f.in + "/.vantor/claims");
  fs::create_directories(f.in + "/.vantor/instances");
  long long now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  auto claim = [&](const std::string &key, const std::string &holder, long long beat_at) {
    std::string beat = f.in + "/.vantor/instances/" + holder;
    EXPECT_TRUE(write_file(beat, bytes_of(str8_lit("vantor instance 0 beat 9 pid 1 host far domain far:1\n"))));
    EXPECT_TRUE(set_mtime(beat, beat_at, 0));
    U128 d = blake2b_128(key.data(), key.size());
    char name[40];
    snprintf(name, sizeof(name), "%016llx%016llx", (unsigned long long)d.u64s[0], (unsigned long long)d.u64s[1]);
    std::string text = "vantor claim " + holder + " 7 " + key + "\n";
    std::string path = f.in + "/.vantor/claims/" + name;
    EXPECT_TRUE(write_file(path, Bytes(text.begin(), text.end())));
    return path;
  };
  std::string held_claim = claim("held.png", "00000000000000aa", now);
  std::string taken_claim = claim("taken.png", "00000000000000bb", now - 27);
  // Tombstones of the live one: a source in the very version it converted (this file system
  // still showing it, say) is left alone; another version at that path is a new source.
  f.drop("done.png", held);
  f.drop("anew.png", held);
  ASSERT_TRUE(set_mtime(f.in + "/done.png", 1700000000, 0));
  ASSERT_TRUE(set_mtime(f.in + "/anew.png", 1700000000, 0));
  std::string version = std::to_string(held.size()) + " 1700000000000000000 ";
  auto tombstone = [&](const std::string &key, const std::string &gone) {
    std::string path = claim(key, "00000000000000aa", now);
    std::string text = "vantor done 00000000000000aa 8 " + gone + key + "\n";
    EXPECT_TRUE(write_file(path, Bytes(text.begin(), text.end())));
  };
  tombstone("done.png", version);
  tombstone("anew.png", "1 1700000000000000000 ");
  HeartbeatKept live(f.in + "/.vantor/instances/00000000000000aa");
  FinishedRun run = run_to_end(f.args({"-drain"}));
  live.stop();
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  EXPECT_NE(run.out.find(": 2 converted, 0 left in place "), std::string::npos) << run.out;
  EXPECT_TRUE(fs::exists(f.in + "/held.png"));
  EXPECT_TRUE(fs::exists(f.in + "/done.png"));
  EXPECT_FALSE(fs::exists(f.in + "/anew.png"));
  EXPECT_TRUE(fs::exists(held_claim));
  EXPECT_FALSE(fs::exists(f.in + "/taken.png"));
  // the live one may have read the converted version ahead: its claim stays as the tombstone
  // naming that version
  Bytes tomb = read_file(taken_claim);
  std::string tomb_text(tomb.begin(), tomb.end());
  EXPECT_EQ(tomb_text.rfind("vantor done ", 0), 0u) << tomb_text;
  EXPECT_NE(tomb_text.find(" " + std::to_string(taken.size()) + " "), std::string::npos) << tomb_text;
  expect_converted(f, "taken", taken, 4);
}

// -png_level trades size for time and nothing else: the same files by name (the pixels'
// checksums), the lower level's PNG larger.
TEST(EndToEnd, PngLevelChangesOnlyThePngFilesSizes) {
  std::map<std::string, uintmax_t> sizes[2];
  for (int run = 0; run < 2; run += 1) {
    Folders f;
    std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 300, height: 200, image_type: 'PNG' } ]\n");
    f.drop("scene.jpg", jpeg_file(gradient(320, 200, 3), 320, 200, 3, 90));
    std::vector<std::string> extra = {"-drain", "-targets=" + targets};
    if (run == 1) extra.push_back("-png_level=1");
    FinishedRun done = run_to_end(f.args(extra));
    ASSERT_TRUE(done.ended) << done.out;
    EXPECT_EQ(done.exit_code, 0) << done.out;
    for (auto &e : fs::directory_iterator(f.out)) {
      if (e.is_regular_file()) sizes[run][e.path().filename().string()] = e.file_size();
    }
  }
  ASSERT_EQ(sizes[0].size(), 2u);
  for (auto &[name, size] : sizes[0]) {
    ASSERT_EQ(sizes[1].count(name), 1u) << name;
    if (name.ends_with(".png")) {
      EXPECT_LT(size, sizes[1][name]) << name;
    }
  }
}

} // namespace

//~ Conversion
TEST(EndToEnd, DefaultTargetsConvertEveryKindOfSource) {
  Folders f;
  Bytes rgb = png_file(gradient(640, 480, 3), 640, 480, 3);
  Bytes rgba = png_file(gradient(320, 240, 4), 320, 240, 4);
  Bytes grey = png_file(gradient(200, 200, 1), 200, 200, 1);
  Bytes grey_alpha = png_file(gradient(150, 100, 2), 150, 100, 2);
  Bytes deep = make_png16(64, 48, 3);
  Bytes photo = jpeg_file(gradient(4000, 3000, 3), 4000, 3000, 3, 85);
  Bytes nested = jpeg_file(gradient(800, 600, 3), 800, 600, 3, 80);
  // two frames, the first transparent at index 0 and short of the screen's last rows
  Bytes palette(256 * 3);
  for (size_t i = 0; i < palette.size(); i += 1) palette[i] = (u8)(i * 5);
  Bytes indexes = noise(120 * 70, 8);
  Bytes gif = make_gif(120, 80, palette, {GifFrame{0, 0, 120, 70, indexes, {}, 0}, GifFrame{0, 0, 120, 80, Bytes(9600, 1), {}}});
  f.drop("rgb.png", rgb);
  f.drop("rgba.png", rgba);
  f.drop("grey.png", grey);
  f.drop("grey_alpha.png", grey_alpha);
  f.drop("deep.png", deep);
  f.drop("photo.jpg", photo);
  f.drop(".hidden/nested/inner.jpg", nested);
  f.drop("logo.gif", gif);

  Program p(f.args({"-drain"}));
  ASSERT_TRUE(p.wait_for_exit(240)) << p.out;
  EXPECT_EQ(p.exit_code, 0);
  EXPECT_EQ(p.out.substr(p.out.size() - 16), "[Vantor] ended.\n");
  EXPECT_FALSE(fs::exists(f.in + "/rgb.png"));
  EXPECT_FALSE(fs::exists(f.in + "/.hidden/nested/inner.jpg"));
  EXPECT_TRUE(fs::is_empty(f.in + "/.hidden/nested")) << "folders stay, files go";

  // The default targets: the source itself, 100x100, 300x300 and 1920x1080.
  expect_converted(f, "rgb", rgb, 4);
  expect_converted(f, "rgba", rgba, 4);
  expect_converted(f, "grey", grey, 4);
  expect_converted(f, "grey_alpha", grey_alpha, 4);
  expect_converted(f, "deep", deep, 4);
  expect_converted(f, "photo", photo, 4);
  expect_converted(f, ".hidden/nested/inner", nested, 4);
  expect_converted(f, "logo", gif, 4);

  // A GIF's copy keeps its type and its first frame is converted, with what shows through it.
  Metadata l = parse_metadata(f.text("logo"));
  EXPECT_EQ(l.records[0].at("file_type"), "GIF");
  EXPECT_EQ(fs::path(l.records[0].at("file_path")).extension(), ".gif");
  EXPECT_EQ(l.records[0].at("pixel_layout"), "RGBA");
  EXPECT_EQ(l.notes[0], "Picture has 2 frames; the first was converted.");
  Bytes first(120 * 80 * 4, 0);
  for (size_t i = 0; i < indexes.size(); i += 1) {
    if (indexes[i] != 0) first[i * 4 + 3] = 255, std::copy_n(&palette[indexes[i] * 3], 3, &first[i * 4]);
  }
  Arena *checksums = arena_create(mib(1), kib(64));
  Str8 expected = checksum_text(checksums, codec_blake2b128(first.data(), first.size()));
  EXPECT_EQ(l.records[0].at("checksum"), std::string((char *)expected.str, expected.size));
  arena_destroy(checksums);

  // A square picture into a square box is not letterboxed: a grey JPEG.
  Metadata g = parse_metadata(f.text("grey"));
  EXPECT_EQ(g.records[1].at("file_type"), "JPEG");
  EXPECT_EQ(num(g.records[1], "width_bg"), 0u);
  EXPECT_EQ(num(g.records[1], "quality"), 60u);
  EXPECT_EQ(g.records[1].at("pixel_layout"), "GRAYSCALE");

  // The 16-bit source is reduced to 8 bits, and says so right after its record.
  Metadata d = parse_metadata(f.text("deep"));
  EXPECT_EQ(d.notes[0], "Bitmap was 16bits/channel, we do not support it and convert it to 8bits/channel.");
  EXPECT_EQ(num(d.records[0], "bytes_per_pixel"), 6u);

  // 4000x3000 into 1920x1080: a 1440x1080 picture with 240 transparent columns each side.
  Metadata ph = parse_metadata(f.text("photo"));
  const Record &hd = ph.records[3];
  EXPECT_EQ(num(hd, "width"), 1440u);
  EXPECT_EQ(num(hd, "height"), 1080u);
  EXPECT_EQ(num(hd, "width_bg"), 1920u);
  EXPECT_EQ(num(hd, "height_bg"), 1080u);
  EXPECT_EQ(num(hd, "pixel_count_bg"), 1920u * 1080u - 1440u * 1080u);
  EXPECT_EQ(hd.at("file_type"), "PNG");
  Picture canvas = decode_rgba(hd.at("file_path"));
  ASSERT_EQ(canvas.w, 1920u);
  EXPECT_EQ(canvas.at(239, 540)[3], 0);
  EXPECT_EQ(canvas.at(240, 540)[3], 255);
  EXPECT_EQ(canvas.at(1679, 540)[3], 255);
  EXPECT_EQ(canvas.at(1680, 540)[3], 0);
}

TEST(EndToEnd, TargetsWithoutIdentityTargetAndOddBackgrounds) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt",
                                    "targets: [\n"
                                    "  { width: 300, height: 1000, image_type: \"PNG\", pixel_layout: \"RGB\", bg_color: 4278190335 },\n"
                                    "  { width: 64, height: 64, quality: 90, image_type: 'JPEG' }\n"
                                    "]\n");
  Bytes tall = png_file(gradient(582, 1164, 3), 582, 1164, 3);
  f.drop("tall.png", tall);
  Program p(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(p.wait_for_exit(120)) << p.out;
  EXPECT_EQ(p.exit_code, 0);
  expect_converted(f, "tall", tall, 3);

  Metadata m = parse_metadata(f.text("tall"));
  // The source record keeps the source's own type and layout.
  EXPECT_EQ(m.records[0].at("file_type"), "PNG");
  EXPECT_EQ(m.records[0].at("pixel_layout"), "RGB");
  EXPECT_EQ(num(m.records[0], "width"), 582u);
  EXPECT_EQ(num(m.records[0], "width_bg"), 0u);

  // 582x1164 into 300x1000 on opaque red: 299x599, no column left, one right, 200 rows on
  // top and 201 at the bottom.
  const Record &r = m.records[1];
  EXPECT_EQ(num(r, "width"), 299u);
  EXPECT_EQ(num(r, "height"), 599u);
  EXPECT_EQ(num(r, "width_bg"), 300u);
  EXPECT_EQ(num(r, "height_bg"), 1000u);
  EXPECT_EQ(num(r, "x_stride"), 900u);
  EXPECT_EQ(num(r, "bg_color"), 4278190335u);
  EXPECT_EQ(r.at("file_type"), "PNG");
  EXPECT_EQ(r.at("pixel_layout"), "RGB");
  Picture c = decode_rgba(r.at("file_path"));
  ASSERT_EQ(c.w, 300u);
  auto is_red = [&](u64 x, u64 y) {
    const u8 *px = c.at(x, y);
    return px[0] == 255 && px[1] == 0 && px[2] == 0 && px[3] == 255;
  };
  EXPECT_TRUE(is_red(0, 199));
  EXPECT_FALSE(is_red(0, 200));
  EXPECT_FALSE(is_red(298, 798));
  EXPECT_TRUE(is_red(299, 500));
  EXPECT_TRUE(is_red(0, 799));
  EXPECT_TRUE(is_red(150, 999));

  // A JPEG asked for on a transparent background becomes a four-channel PNG.
  EXPECT_EQ(m.records[2].at("file_type"), "PNG");
  EXPECT_EQ(m.records[2].at("pixel_layout"), "RGBA");
  EXPECT_EQ(num(m.records[2], "width"), 32u);
}

// A JPEG target of the source's own size has the source's pixels, so its name is the source
// copy's: the copy, the original bytes, must be what stays under it.
TEST(EndToEnd, OutputNamedAsTheSourceCopyNeverReplacesIt) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 96, height: 64, quality: 40, image_type: 'JPEG' } ]\n");
  Bytes photo = jpeg_file(noise(96 * 64 * 3, 5), 96, 64, 3, 95);
  f.drop("photo.jpg", photo);
  FinishedRun run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  expect_converted(f, "photo", photo, 2);
  Metadata m = parse_metadata(f.text("photo"));
  ASSERT_EQ(m.records.size(), 2u);
  EXPECT_EQ(m.records[1].at("file_path"), m.records[0].at("file_path"));
  EXPECT_EQ(read_file(m.records[1].at("file_path")), photo);
  EXPECT_EQ(f.out_files(), 1u);
}

// Sources of the same name in different folders keep a metadata file each, below the same
// sub-folders; one directly in the input folder keeps the plain name.
TEST(EndToEnd, SameNamedSourcesInSubFoldersKeepTheirOwnMetadata) {
  Folders f;
  Bytes top = png_file(gradient(40, 30, 3), 40, 30, 3);
  Bytes cam1 = png_file(gradient(50, 30, 3), 50, 30, 3);
  Bytes cam2 = jpeg_file(gradient(30, 50, 3), 30, 50, 3, 90);
  f.drop("IMG_0001.png", top);
  f.drop("cam1/IMG_0001.png", cam1);
  f.drop("cam2/IMG_0001.jpg", cam2);
  f.drop("cam2/deeper/IMG_0001.png", top);
  Program p(f.args({"-drain"}));
  ASSERT_TRUE(p.wait_for_exit(120)) << p.out;
  EXPECT_EQ(p.exit_code, 0);
  expect_converted(f, "IMG_0001", top, 4);
  expect_converted(f, "cam1/IMG_0001", cam1, 4);
  expect_converted(f, "cam2/IMG_0001", cam2, 4);
  expect_converted(f, "cam2/deeper/IMG_0001", top, 4);
}

// Twins, the same pixels in other bytes (a comment, an edited tag, a text chunk), each keep their
// original; the same bytes twice make one copy. Sources of one folder whose names differ by
// their extension keep a record each, and a new version of one replaces its own, in a later run
// too.
TEST(EndToEnd, TwinsKeepTheirOriginalsAndNamesSharingAStemTheirRecords) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 16, height: 12, image_type: \"PNG\" } ]\n");
  Bytes photo = jpeg_file(gradient(48, 36, 3), 48, 36, 3, 90);
  std::vector<Bytes> twins = {photo, jpeg_with_segment(photo, 0xFE, {'e', 'd', 'i', 't'}),
                              jpeg_with_segment(photo, 0xE1, {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0}), photo};
  for (size_t i = 0; i < twins.size(); i += 1) f.drop("t" + std::to_string(i) + ".jpg", twins[i]);
  Bytes picture = png_with_chunk(png_file(gradient(40, 30, 3), 40, 30, 3), "tEXt", {'T', 'i', 't', 'l', 'e', 0, 'x'});
  f.drop("a.png", picture);
  f.drop("a.jpg", twins[2]);
  FinishedRun run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;

  std::set<std::string> copies;
  std::string checksum;
  for (size_t i = 0; i < twins.size(); i += 1) {
    std::string stem = "t" + std::to_string(i);
    Metadata m = parse_metadata(f.text(stem));
    ASSERT_EQ(m.records.size(), 2u) << stem;
    std::string copy = m.records[0].at("file_path");
    EXPECT_EQ(read_file(copy), twins[i]) << stem << "'s original is the file its record names";
    EXPECT_EQ(num(m.records[0], "file_size"), twins[i].size());
    checksum = m.records[0].at("checksum");
    copies.insert(copy);
  }
  std::set<std::string> numbered = {f.out + "/" + checksum + ".jpg", f.out + "/" + checksum + ".1.jpg",
                                    f.out + "/" + checksum + ".2.jpg"};
  EXPECT_EQ(copies, numbered) << "one copy for the same bytes twice, numbered names for other bytes";

  // each record's copy holds the original of the source it belongs to
  auto originals = [&] {
    std::set<Bytes> found;
    for (const char *name : {"a", "a.1"}) {
      Metadata m = parse_metadata(f.text(name));
      if (!m.records.empty()) found.insert(read_file(m.records[0].at("file_path")));
    }
    EXPECT_FALSE(fs::exists(f.meta + "/a.2.metadatas"));
    return found;
  };
  EXPECT_EQ(originals(), (std::set<Bytes>{picture, twins[2]}));

  Bytes picture_again = png_file(gradient(41, 30, 3), 41, 30, 3);
  Bytes photo_again = jpeg_file(gradient(36, 48, 3), 36, 48, 3, 90);
  f.drop("a.png", picture_again);
  f.drop("a.jpg", photo_again);
  FinishedRun later = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(later.ended) << later.out;
  EXPECT_EQ(later.exit_code, 0) << later.out;
  EXPECT_EQ(originals(), (std::set<Bytes>{picture_again, photo_again}));
}

//~ What stays and what goes
// Anything that is not a PNG or JPEG leaves the input folder without losing a byte: it goes
// below "<out>/unsupported" with its sub-folders, under a numbered name when its own is taken.
TEST(EndToEnd, UnsupportedFilesAreMovedAsideEmptyAndTruncatedFilesStay) {
  Folders f;
  Bytes bmp = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 26, 0, 0, 0, 12, 0};
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0}; // its screen, no frame yet
  Bytes notes = {'k', 'e', 'e', 'p', ' ', 'm', 'e', '\n'};
  Bytes notes_again = {'a', 'n', 'd', ' ', 'm', 'e', ' ', 't', 'o', 'o', '\n'};
  f.drop("scan.bmp", bmp);
  f.drop("cut.gif", gif);
  f.drop("docs/notes.txt", notes);
  f.drop("empty.png", Bytes{});
  Bytes full = png_file(gradient(64, 64, 3), 64, 64, 3);
  f.drop("cut.png", Bytes(full.begin(), full.begin() + full.size() / 2));
  // A JPEG cut short still decodes (the decoder fills the rest in), yet it is not complete.
  Bytes jpeg = jpeg_file(noise(256 * 192 * 3, 3), 256, 192, 3, 90);
  f.drop("cut.jpg", Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() * 2 / 3));
  Program p(f.args({"-drain"}));
  ASSERT_TRUE(p.wait_for_exit(120)) << "drain ends although two files can never convert";
  EXPECT_EQ(p.exit_code, 3);

  EXPECT_FALSE(fs::exists(f.in + "/scan.bmp"));
  EXPECT_FALSE(fs::exists(f.in + "/docs/notes.txt"));
  EXPECT_EQ(read_file(f.out + "/unsupported/scan.bmp"), bmp);
  EXPECT_EQ(read_file(f.out + "/unsupported/docs/notes.txt"), notes);
  EXPECT_EQ(f.text("scan"), "errorUnsupported file format, scan.bmp was skipped");
  EXPECT_EQ(f.text("docs/notes"), "errorUnsupported file format, notes.txt was skipped");
  EXPECT_NE(p.out.find("error:\nUnsupported file format, scan.bmp was skipped\n"), std::string::npos) << p.out;
  EXPECT_EQ(p.out.find("Unable to move"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find(": 0 converted, 4 left in place (too large 0, cut short or empty 4, not decodable 0, unreadable 0, "
                       "write failed 0, could not be deleted 0), 2 unsupported set aside.\n"),
            std::string::npos)
      << p.out;

  EXPECT_TRUE(fs::exists(f.in + "/empty.png"));
  EXPECT_TRUE(fs::exists(f.in + "/cut.png"));
  EXPECT_TRUE(fs::exists(f.in + "/cut.jpg"));
  EXPECT_TRUE(fs::exists(f.in + "/cut.gif"));
  EXPECT_FALSE(fs::exists(f.meta + "/empty.metadatas"));
  EXPECT_FALSE(fs::exists(f.meta + "/cut.metadatas"));
  EXPECT_EQ(f.out_files(), 0u);

  // the same name again: the first one is not replaced
  f.drop("docs/notes.txt", notes_again);
  Program again(f.args({"-drain"}));
  ASSERT_TRUE(again.wait_for_exit(120)) << again.out;
  EXPECT_FALSE(fs::exists(f.in + "/docs/notes.txt"));
  EXPECT_EQ(read_file(f.out + "/unsupported/docs/notes.txt"), notes);
  EXPECT_EQ(read_file(f.out + "/unsupported/docs/notes.1.txt"), notes_again);
  EXPECT_TRUE(fs::exists(f.in + "/cut.png"));
  EXPECT_EQ(f.out_files(), 0u);
}

// Each source is counted once, under what became of it, and anything left makes the status 3.
TEST(EndToEnd, DrainSummaryCountsWhatBecameOfEachSource) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 32, height: 32, image_type: \"PNG\" } ]\n");
  f.drop("ok.png", png_file(gradient(40, 30, 3), 40, 30, 3));
  f.drop("big.png", png_file(gradient(300, 200, 3), 300, 200, 3));
  Bytes full = png_file(gradient(64, 64, 3), 64, 64, 3);
  f.drop("cut.png", Bytes(full.begin(), full.begin() + full.size() / 2));
  // its metadata cannot be put in place: a folder holds the name
  f.drop("w.png", png_file(gradient(30, 40, 3), 30, 40, 3));
  fs::create_directories(f.meta + "/w.metadatas");
  FinishedRun p = run_to_end(f.args({"-drain", "-max_pixels=10000", "-targets=" + targets}));
  ASSERT_TRUE(p.ended) << p.out;
  EXPECT_EQ(p.exit_code, 3) << p.out;
  std::regex summary(R"(\n\[Vantor\] drained in [0-9]+\.[0-9] s: 1 converted, 3 left in place \(too large 1, cut short )"
                     R"(or empty 1, not decodable 0, unreadable 0, write failed 1, could not be deleted 0\), 0 unsupported set )"
                     R"(aside\.\n)"
                     R"(\[Vantor\] ended\.\n$)");
  EXPECT_TRUE(std::regex_search(p.out, summary)) << p.out;
  EXPECT_EQ(p.err, "") << "no progress line where standard error is not a terminal";
  EXPECT_FALSE(fs::exists(f.in + "/ok.png"));
  for (const char *kept : {"big.png", "cut.png", "w.png"}) EXPECT_TRUE(fs::exists(f.in + "/" + kept)) << kept;

  // the same folder again, with nothing to do: a clean drain
  fs::remove_all(f.in);
  fs::create_directories(f.in);
  Program again(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(again.wait_for_exit(120)) << again.out;
  EXPECT_EQ(again.exit_code, 0) << again.out;
  EXPECT_NE(again.out.find(": 0 converted, 0 left in place (too large 0"), std::string::npos) << again.out;

  // Sources of many bytes: a source leaves the folder before its claim is let go and its outcome
  // counted, and the drain ends only after both, so each is counted and its claim does not stay.
  Bytes bulk(16u << 20, 0x5A);
  for (int round = 0; round < 3; round += 1) {
    for (int i = 0; i < 4; i += 1) {
      std::string name = "r" + std::to_string(round) + "-" + std::to_string(i) + ".png";
      f.drop(name, png_with_chunk(png_file(gradient(40 + i, 30, 3), 40 + i, 30, 3), "prIv", bulk));
    }
    FinishedRun r = run_to_end(f.args({"-drain", "-targets=" + targets, "-log=json"}));
    ASSERT_TRUE(r.ended) << r.out;
    EXPECT_NE(r.out.find(": 4 converted, 0 left in place"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_empty(f.in)) << "round " << round;
  }
}

// With -log=json every line is one JSON object: the options, each source's note, warning and
// outcome (the events the workers and the committer publish), the summary and the end.
TEST(EndToEnd, JsonLogIsOneObjectALineForEverySourceAndTheSummary) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 32, height: 32, image_type: \"PNG\" } ]\n");
  Bytes ok = png_file(gradient(40, 30, 3), 40, 30, 3);
  f.drop("cam 1/ok.png", ok);
  Bytes palette(16 * 3, 90);
  Bytes gif = make_gif(20, 10, palette, {GifFrame{0, 0, 20, 10, Bytes(200, 1), {}}, GifFrame{0, 0, 20, 10, Bytes(200, 2), {}}});
  f.drop("anim.gif", gif);
  f.drop("big.png", png_file(gradient(300, 200, 3), 300, 200, 3));
  Bytes full = png_file(gradient(64, 64, 3), 64, 64, 3);
  f.drop("cut.png", Bytes(full.begin(), full.begin() + full.size() / 2));
  std::string notes = "some notes, no picture\n";
  f.drop("notes.txt", Bytes(notes.begin(), notes.end()));
  FinishedRun run = run_to_end(f.args({"-drain", "-max_pixels=10000", "-targets=" + targets, "-log=json"}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 3) << run.out;
  EXPECT_EQ(run.err, "");

  std::vector<Json> lines;
  std::map<std::string, std::vector<Json>> by_event; // "event source"
  std::regex time(R"(20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]{3}Z)");
  std::istringstream text(run.out);
  for (std::string line; std::getline(text, line);) {
    Json j = read_json(line);
    ASSERT_TRUE(j.ok && j.kind == Json::Object) << line;
    EXPECT_TRUE(std::regex_match(j["time"].text, time)) << line;
    EXPECT_TRUE(std::set<std::string>({"info", "note", "warning", "error"}).count(j["level"].text)) << line;
    by_event[j["event"].text + " " + j["source"].text].push_back(j);
    lines.push_back(j);
  }
  ASSERT_GE(lines.size(), 3u) << run.out;
  EXPECT_EQ(run.out.back(), '\n');
  EXPECT_EQ(lines[0]["event"].text, "options");
  EXPECT_EQ(lines[0]["in"].text, f.in);
  EXPECT_EQ(lines[0]["targets"].text, targets);
  EXPECT_EQ(lines[0]["thread"].number, 2);
  EXPECT_EQ(lines[1]["message"].text, "Waiting for PNG/JPEG files...");
  EXPECT_EQ(lines.back()["event"].text, "ended");
  EXPECT_EQ(lines.back()["message"].text, "[Vantor] ended.");

  // converted: the source's copy first, then the target's file, each as it is on disk
  for (const char *source : {"cam 1/ok.png", "anim.gif"}) {
    ASSERT_EQ(by_event["converted " + std::string(source)].size(), 1u) << source << run.out;
    const Json &c = by_event["converted " + std::string(source)][0];
    EXPECT_EQ(c["level"].text, "info");
    EXPECT_GT(c["seconds"].number, 0) << source;
    const Json &outputs = c["outputs"];
    ASSERT_EQ(outputs.items.size(), 2u) << source;
    EXPECT_EQ(outputs[0]["bytes"].number, c["source_bytes"].number);
    EXPECT_EQ(outputs[0]["format"].text, source[0] == 'c' ? "PNG" : "GIF");
    EXPECT_EQ(outputs[0]["width"].number, source[0] == 'c' ? 40 : 20);
    EXPECT_EQ(outputs[1]["format"].text, "PNG");
    EXPECT_EQ(outputs[1]["width"].number, 32);
    for (const Json &o : outputs.items) {
      std::string at = f.out + "/" + o["name"].text;
      ASSERT_TRUE(fs::exists(at)) << at;
      EXPECT_EQ((double)fs::file_size(at), o["bytes"].number) << at;
    }
    EXPECT_FALSE(fs::exists(f.in + "/" + source));
  }
  EXPECT_EQ(by_event["converted cam 1/ok.png"][0]["source_bytes"].number, (double)ok.size());
  EXPECT_EQ(read_file(f.out + "/" + by_event["converted cam 1/ok.png"][0]["outputs"][0]["name"].text), ok);
  ASSERT_EQ(by_event["note anim.gif"].size(), 1u) << run.out;
  EXPECT_EQ(by_event["note anim.gif"][0]["message"].text, "Picture has 2 frames; the first was converted.");

  // left in place: the reason as a word, with the warning printed about it
  std::string too_large = "Image is too large (300 x 200 pixels, the limit is 10000), big.png was left in place.";
  ASSERT_EQ(by_event["left_in_place big.png"].size(), 1u) << run.out;
  EXPECT_EQ(by_event["left_in_place big.png"][0]["reason"].text, "too_large");
  EXPECT_EQ(by_event["left_in_place big.png"][0]["message"].text, too_large);
  ASSERT_EQ(by_event["warning big.png"].size(), 1u) << run.out;
  EXPECT_EQ(by_event["warning big.png"][0]["message"].text, too_large);
  // a file still being written is no outcome: only the drain's end says it stayed cut short
  EXPECT_EQ(by_event["left_in_place cut.png"].size(), 0u) << run.out;
  ASSERT_EQ(by_event["warning cut.png"].size(), 1u) << run.out;
  EXPECT_EQ(by_event["warning cut.png"][0]["message"].text, "File is empty or cut short, cut.png was left in place.");
  ASSERT_EQ(by_event["set_aside notes.txt"].size(), 1u) << run.out;
  ASSERT_EQ(by_event["error notes.txt"].size(), 1u) << run.out;
  EXPECT_EQ(by_event["error notes.txt"][0]["message"].text, "Unsupported file format, notes.txt was skipped");

  ASSERT_EQ(by_event["summary "].size(), 1u) << run.out;
  const Json &summary = by_event["summary "][0];
  std::map<std::string, double> counts = {{"converted", 2}, {"left_in_place", 2}, {"too_large", 1},
                                          {"cut_short_or_empty", 1}, {"not_decodable", 0}, {"unreadable", 0},
                                          {"write_failed", 0}, {"not_deleted", 0}, {"set_aside", 1}};
  for (auto &[key, count] : counts) EXPECT_EQ(summary[key].number, count) << key;
  EXPECT_TRUE(std::regex_match(summary["message"].text,
                               std::regex(R"(\[Vantor\] drained in [0-9]+\.[0-9] s: 2 converted, 2 left in place \(too )"
                                          R"(large 1, cut short or empty 1, not decodable 0, unreadable 0, write failed 0, )"
                                          R"(could not be deleted 0\), 1 unsupported set aside\.)")))
      << summary["message"].text;
  EXPECT_EQ(lines.size(), by_event.size() + by_event["left_in_place cut.png"].size() - 1) << "nothing else: " << run.out;
}

// Paths with spaces reach the program whole, in each form an option takes: a folder, a value
// continued in the next argument, a targets file after ":".
TEST(EndToEnd, PathsWithSpacesArriveWhole) {
  Folders f;
  f.in = f.tmp.at("My Pictures/in");
  f.out = f.tmp.at("my out");
  f.meta = f.tmp.at("meta data");
  fs::create_directories(f.in);
  std::string targets = f.tmp.write("my targets.txt", "targets: [ { quality: 90 }, { width: 20, height: 15 } ]\n");
  Bytes png = png_file(gradient(40, 30, 3), 40, 30, 3);
  f.drop("a b.png", png);
  FinishedRun run = run_to_end({"-in=" + f.in, "--out=" + f.out, "-metadatas=", f.meta, "-targets:" + targets,
                                "-thread=1", "-drain"});
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  std::string summary = "Options:\n\tin:        " + f.in + "\n\tout:       " + f.out + "\n\tmetadatas: " + f.meta +
                        "\n\ttargets:   " + targets + "\n";
  EXPECT_EQ(run.out.substr(0, summary.size()), summary);
  EXPECT_EQ(run.out.find("warning"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(f.in + "/a b.png"));
  expect_converted(f, "a b", png, 3);
}

TEST(EndToEnd, FileWrittenSlowlyIsConvertedOnceWhenComplete) {
  Folders f;
  Program p(f.args());
  ASSERT_TRUE(p.wait_for_output("Waiting for PNG/JPEG files...\n"));
  Bytes png = png_file(noise(200 * 150 * 3, 7), 200, 150, 3);
  std::string path = f.in + "/slow.png";
  FILE *file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  size_t chunk = png.size() / 8 + 1;
  for (size_t at = 0; at < png.size(); at += chunk) {
    fwrite(png.data() + at, 1, std::min(chunk, png.size() - at), file);
    fflush(file);
    // Long enough for several scan passes and reads of the partial file.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  fclose(file);

  ASSERT_TRUE(wait_until([&] { return !fs::exists(path); }, 60));
  ASSERT_TRUE(wait_until([&] { return f.out_files() == 4; }, 60));
  expect_converted(f, "slow", png, 4);
  // Nothing was written from a partial read: one copy and three outputs only.
  EXPECT_EQ(f.out_files(), 4u);
}

// A write that fails keeps the source and is reported once per version of the source; a new
// version is reported again, and once the folder can be written a retry converts the source.
TEST(EndToEnd, FailedWritesDeleteNothingAreReportedOncePerVersionAndResume) {
  Folders f;
  Program p(f.args());
  ASSERT_TRUE(p.wait_for_output("Waiting for PNG/JPEG files...\n"));
  // The output folder becomes a plain file: every write into it fails, also for root.
  fs::remove_all(f.out);
  ASSERT_TRUE(write_file(f.out, Bytes{'x'}));
  Bytes png = png_file(gradient(120, 90, 3), 120, 90, 3);
  std::string path = f.drop("kept.png", png);

  auto reports = [&] {
    p.pump(50);
    size_t n = 0;
    for (size_t at = p.out.find("warning:\nUnable to write "); at != std::string::npos;
         at = p.out.find("warning:\nUnable to write ", at + 1)) {
      n += 1;
    }
    return n;
  };
  // Every attempt rewrites the record; on Windows a read that meets the replacing rename is
  // refused, so the record is read again until one read lands between two attempts.
  Metadata m;
  auto record_read = [&] {
    m = parse_metadata(f.text("kept"));
    return m.records.size() == 4;
  };
  ASSERT_TRUE(wait_until(record_read)) << f.text("kept");
  EXPECT_EQ(num(m.records[0], "file_size"), 0u);
  EXPECT_NE(m.notes.back().find("warningUnable to write " + f.out + "/"), std::string::npos) << f.text("kept");
  EXPECT_EQ(m.notes.back().find(": "), std::string::npos) << "the record's note gives no reason: " << f.text("kept");
  // the source copy and the three outputs, each once
  ASSERT_TRUE(wait_until([&] { return reports() == 4; })) << p.out;
  EXPECT_NE(p.out.find("Unable to write " + f.out + "/"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find(".png: "), std::string::npos) << "the console gives the system's reason: " << p.out;

  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(read_file(path), png);

  // a new version is reported again
  Bytes changed = png_file(gradient(121, 90, 3), 121, 90, 3);
  f.drop("kept.png", changed);
  ASSERT_TRUE(wait_until([&] { return reports() == 8; })) << p.out;
  EXPECT_EQ(read_file(path), changed);

  // room again: the next retry converts it
  fs::remove(f.out);
  fs::create_directories(f.out);
  ASSERT_TRUE(wait_until([&] { return !fs::exists(path); }, 90)) << p.out;
  ASSERT_TRUE(wait_until(record_read));
  expect_converted(f, "kept", changed, 4);
  EXPECT_EQ(reports(), 8u) << p.out;
}

TEST(EndToEnd, HugeDeclaredPictureIsRefusedFromItsHeaderOncePerVersion) {
  Folders f;
  // A tiny file that declares 30000 x 30000 pixels.
  Bytes rows(1 + 30000 * 3, 0);
  Bytes bomb = make_png(30000, 30000, 8, 2, rows);
  std::string path = f.drop("bomb.png", bomb);
  Program p(f.args());
  std::string message = "warning:\nImage is too large (30000 x 30000 pixels, the limit is 134217728), bomb.png was left in place.\n";
  ASSERT_TRUE(p.wait_for_output(message)) << p.out;

  // Later passes leave it alone: a file dropped afterwards converts meanwhile.
  Bytes small = png_file(gradient(40, 30, 3), 40, 30, 3);
  std::string marker = f.drop("marker.png", small);
  ASSERT_TRUE(wait_until([&] { return !fs::exists(marker); }, 60));
  ASSERT_TRUE(wait_until([&] { return !fs::exists(f.in + "/marker.png") && fs::exists(f.meta + "/marker.metadatas"); }));
  p.pump(100);
  size_t first = p.out.find("Image is too large");
  EXPECT_EQ(p.out.find("Image is too large", first + 1), std::string::npos) << p.out;
  EXPECT_TRUE(fs::exists(path));
  EXPECT_FALSE(fs::exists(f.meta + "/bomb.metadatas"));

  // A new version of the file is looked at again.
  bomb.push_back(0);
  f.drop("bomb.png", bomb);
  ASSERT_TRUE(wait_until([&] {
    p.pump(50);
    return p.out.find("Image is too large", first + 1) != std::string::npos;
  }));
}

// Image data far beyond what its declared size needs and a JPEG of a thousand scans are each
// refused once, cheaply, and left in place; legal odd files beside them convert.
TEST(EndToEnd, DecompressionBombsAreRefusedAndOddLegalFilesConvert) {
  Folders f;
  // 1000 x 1000 RGB needs 3 MB of image data; this one inflates to 48 MiB, past its budget.
  Bytes bomb = png_of_idats(1000, 1000, 8, 2, 0, {zlib_of(Bytes(mib(48), 0))});
  f.drop("bomb.png", bomb);
  f.drop("scans.jpg", make_progressive_grey_jpeg(16, 16, 400));
  Bytes prog = make_progressive_grey_jpeg(64, 48, 1);
  f.drop("prog.jpg", prog);
  // Empty IDAT chunks around the image data.
  Bytes px = gradient(40, 30, 3);
  Bytes rows;
  for (u64 y = 0; y < 30; y += 1) {
    rows.push_back(0);
    rows.insert(rows.end(), px.begin() + y * 120, px.begin() + (y + 1) * 120);
  }
  Bytes z = zlib_of(rows);
  Bytes empty_idats = png_of_idats(40, 30, 8, 2, 0, {{}, Bytes(z.begin(), z.begin() + 9), {}, Bytes(z.begin() + 9, z.end())});
  f.drop("empty_idats.png", empty_idats);

  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 32, height: 32, image_type: \"PNG\" } ]\n");
  FinishedRun p = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(p.ended) << p.out;
  EXPECT_EQ(p.exit_code, 3) << p.out;
  for (const char *warning : {"warning:\nImage data is larger than its size needs (1000 x 1000 pixels), bomb.png was left in place.\n",
                              "warning:\nImage has too many scans (1201, the limit is 256), scans.jpg was left in place.\n"}) {
    size_t first = p.out.find(warning);
    EXPECT_NE(first, std::string::npos) << warning << p.out;
    EXPECT_EQ(p.out.find(warning, first + 1), std::string::npos) << p.out;
  }
  EXPECT_NE(p.out.find(": 2 converted, 2 left in place (too large 2, cut short or empty 0"), std::string::npos) << p.out;
  EXPECT_EQ(read_file(f.in + "/bomb.png"), bomb);
  EXPECT_TRUE(fs::exists(f.in + "/scans.jpg"));
  EXPECT_FALSE(fs::exists(f.meta + "/bomb.metadatas"));
  EXPECT_FALSE(fs::exists(f.meta + "/scans.metadatas"));

  expect_converted(f, "prog", prog, 2);
  expect_converted(f, "empty_idats", empty_idats, 2);
  // the very pixels that went in
  Arena *arena = arena_create(mib(1), kib(64));
  Str8 sum = checksum_text(arena, codec_blake2b128(px.data(), px.size()));
  EXPECT_EQ(parse_metadata(f.text("empty_idats")).records[0].at("checksum"), std::string((char *)sum.str, sum.size));
  arena_destroy(arena);
}

//~ Photos
// The upright picture of the orientation tests: four quadrants of distinct colours.
const u8 QuadrantColour[4][3] = {{220, 30, 30}, {30, 200, 30}, {30, 30, 220}, {230, 230, 40}};
const u8 *quadrant_at(u64 x, u64 y, u64 w, u64 h) { return QuadrantColour[(y >= h / 2) * 2 + (x >= w / 2)]; }

// The picture a camera stores for the upright picture w × h under an EXIF orientation, from the
// tag's definition: where the stored row 0 and column 0 are shown (top, bottom, left, right).
Bytes stored_for(u32 orientation, u64 w, u64 h) {
  bool swap = orientation >= 5;
  u64 sw = swap ? h : w, sh = swap ? w : h;
  Bytes px(sw * sh * 3);
  for (u64 r = 0; r < sh; r += 1) {
    for (u64 c = 0; c < sw; c += 1) {
      u64 x, y;
      switch (orientation) {
        case 2: x = w - 1 - c, y = r; break;         // row 0 top, column 0 right
        case 3: x = w - 1 - c, y = h - 1 - r; break; // row 0 bottom, column 0 right
        case 4: x = c, y = h - 1 - r; break;         // row 0 bottom, column 0 left
        case 5: x = r, y = c; break;                 // row 0 left, column 0 top
        case 6: x = w - 1 - r, y = c; break;         // row 0 right, column 0 top
        case 7: x = w - 1 - r, y = h - 1 - c; break; // row 0 right, column 0 bottom
        case 8: x = r, y = h - 1 - c; break;         // row 0 left, column 0 bottom
        default: x = c, y = r; break;
      }
      memcpy(&px[(r * sw + c) * 3], quadrant_at(x, y, w, h), 3);
    }
  }
  return px;
}

bool near_colour(const u8 *px, const u8 *want, int tolerance) {
  for (int i = 0; i < 3; i += 1) {
    if (std::abs((int)px[i] - (int)want[i]) > tolerance) return false;
  }
  return true;
}

// Every output shows the picture as a viewer shows the source, whatever its EXIF orientation;
// the source's own record describes it as stored; a tag in a cut-short EXIF block changes
// nothing; -orientation=stored keeps the stored picture.
TEST(EndToEnd, TaggedPhotosComeOutUpright) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 48, height: 64, image_type: 'PNG' } ]\n");
  const u64 w = 24, h = 32; // the upright picture, a portrait
  for (u32 o = 1; o <= 8; o += 1) {
    u64 sw = o >= 5 ? h : w, sh = o >= 5 ? w : h;
    Bytes photo = jpeg_with_segment(jpeg_file(stored_for(o, w, h), sw, sh, 3, 95), 0xE1, exif_block(o, o % 2 == 0));
    f.drop("o" + std::to_string(o) + ".jpg", photo);
  }
  // IFD0 declares three entries, the segment holds one, and the bytes after it would read as
  // an orientation tag of 6
  Bytes comment = {'c', 'o', 'm', 'm', 'e', 'n', 't', 's', 0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0};
  Bytes cut = jpeg_with_segment(jpeg_with_segment(jpeg_file(stored_for(1, w, h), w, h, 3, 95), 0xFE, comment), 0xE1,
                                exif_block(6, true, 3, 1));
  f.drop("cut.jpg", cut);
  FinishedRun run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;

  for (u32 o = 1; o <= 9; o += 1) {
    std::string stem = o == 9 ? "cut" : "o" + std::to_string(o);
    Metadata m = parse_metadata(f.text(stem));
    ASSERT_EQ(m.records.size(), 2u) << stem;
    EXPECT_EQ(num(m.records[0], "width"), o >= 5 && o <= 8 ? h : w) << stem << ": the source as stored";
    const Record &r = m.records[1];
    EXPECT_EQ(num(r, "width"), 48u) << stem;
    EXPECT_EQ(num(r, "height"), 64u) << stem;
    EXPECT_EQ(num(r, "width_bg"), 0u) << stem;
    Picture p = decode_rgba(r.at("file_path"));
    ASSERT_EQ(p.w, 48u) << stem;
    for (u64 y : {16u, 48u}) {
      for (u64 x : {12u, 36u}) {
        EXPECT_TRUE(near_colour(p.at(x, y), quadrant_at(x, y, 48, 64), 24)) << stem << " at " << x << "," << y;
      }
    }
  }

  // Kept as stored: the landscape picture of orientation 6, letterboxed in the portrait box.
  Bytes six = jpeg_with_segment(jpeg_file(stored_for(6, w, h), h, w, 3, 95), 0xE1, exif_block(6, true));
  f.drop("o6.jpg", six);
  run = run_to_end(f.args({"-drain", "-targets=" + targets, "-orientation=stored"}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_NE(run.out.find("\torientation: stored\n"), std::string::npos) << run.out;
  Metadata m = parse_metadata(f.text("o6"));
  ASSERT_EQ(m.records.size(), 2u);
  EXPECT_EQ(num(m.records[1], "width"), 48u);
  EXPECT_EQ(num(m.records[1], "height"), 36u);
  EXPECT_EQ(num(m.records[1], "height_bg"), 64u);
}

// The sRGB numbers of a colour in an RGB space given by its matrix to XYZ (white D65) and its
// tone curve, from the spaces' definitions rather than through any colour library.
std::array<int, 3> srgb_of(const u8 *rgb, const double to_xyz[3][3], double gamma) {
  double lin[3], xyz[3] = {0, 0, 0};
  for (int i = 0; i < 3; i += 1) {
    double v = rgb[i] / 255.0;
    lin[i] = gamma > 0 ? std::pow(v, gamma) : v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  }
  for (int i = 0; i < 3; i += 1) {
    for (int j = 0; j < 3; j += 1) xyz[i] += to_xyz[i][j] * lin[j];
  }
  const double from_xyz[3][3] = {{3.2404542, -1.5371385, -0.4985314},
                                 {-0.9692660, 1.8760108, 0.0415560},
                                 {0.0556434, -0.2040259, 1.0572252}};
  std::array<int, 3> out;
  for (int i = 0; i < 3; i += 1) {
    double v = from_xyz[i][0] * xyz[0] + from_xyz[i][1] * xyz[1] + from_xyz[i][2] * xyz[2];
    v = std::min(1.0, std::max(0.0, v));
    v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    out[i] = (int)std::lround(v * 255);
  }
  return out;
}

// An ICC profile of an RGB space with a D65 white: a plain gamma, or (gamma 0) the sRGB curve.
Bytes rgb_profile(const double primaries[3][2], double gamma) {
  cmsCIExyY white = {0.3127, 0.3290, 1.0};
  cmsCIExyYTRIPLE p = {{primaries[0][0], primaries[0][1], 1}, {primaries[1][0], primaries[1][1], 1},
                       {primaries[2][0], primaries[2][1], 1}};
  double srgb_curve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  cmsToneCurve *curve = gamma > 0 ? cmsBuildGamma(nullptr, gamma) : cmsBuildParametricToneCurve(nullptr, 4, srgb_curve);
  cmsToneCurve *curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &p, curves);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  Bytes bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  cmsFreeToneCurve(curve);
  return bytes;
}

// A photo with an Adobe RGB or Display P3 profile gets outputs in sRGB, of its own size and
// resampled alike; an sRGB profile changes no output; -color=stored keeps the numbers.
TEST(EndToEnd, ProfiledPhotosComeOutInSrgb) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 16, height: 16, image_type: 'PNG' },\n"
                                                   "  { width: 8, height: 8, image_type: 'PNG' } ]\n");
  const double adobe[3][2] = {{0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}};
  const double p3[3][2] = {{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
  const double srgb[3][2] = {{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};
  const double adobe_xyz[3][3] = {{0.5767309, 0.1855540, 0.1881852},
                                  {0.2973769, 0.6273491, 0.0752741},
                                  {0.0270343, 0.0706872, 0.9911085}};
  const double p3_xyz[3][3] = {{0.4865709, 0.2656677, 0.1982173},
                               {0.2289746, 0.6917385, 0.0792869},
                               {0.0000000, 0.0451134, 1.0439444}};
  auto solid = [](u8 r, u8 g, u8 b) {
    Bytes px;
    for (int i = 0; i < 16 * 16; i += 1) px.insert(px.end(), {r, g, b});
    return px;
  };
  // Adobe RGB in a PNG's iCCP chunk, Display P3 in a JPEG's APP2 segment
  Bytes iccp = {'a', 0, 0};
  Bytes z = zlib_of(rgb_profile(adobe, 563.0 / 256));
  iccp.insert(iccp.end(), z.begin(), z.end());
  Bytes adobe_png = png_with_chunk(png_file(solid(190, 120, 70), 16, 16, 3), "iCCP", iccp);
  Bytes app2 = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
  Bytes p3_profile = rgb_profile(p3, 0);
  app2.insert(app2.end(), p3_profile.begin(), p3_profile.end());
  Bytes p3_jpeg = jpeg_with_segment(jpeg_file(solid(200, 90, 150), 16, 16, 3, 100), 0xE2, app2);
  Bytes plain = png_file(gradient(16, 16, 3), 16, 16, 3);
  iccp = {'s', 0, 0};
  z = zlib_of(rgb_profile(srgb, 0));
  iccp.insert(iccp.end(), z.begin(), z.end());
  f.drop("adobe.png", adobe_png);
  f.drop("p3.jpg", p3_jpeg);
  f.drop("plain.png", plain);
  f.drop("srgb.png", png_with_chunk(plain, "iCCP", iccp));
  FinishedRun run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;

  auto expect_outputs = [&](const std::string &stem, const Bytes &source, const double to_xyz[3][3], double gamma,
                            bool converted) {
    std::string path = f.tmp.at("source-" + stem);
    ASSERT_TRUE(write_file(path, source));
    Picture stored = decode_rgba(path);
    ASSERT_EQ(stored.w, 16u) << stem;
    std::array<int, 3> want = srgb_of(stored.at(8, 8), to_xyz, gamma);
    Metadata m = parse_metadata(f.text(stem));
    ASSERT_EQ(m.records.size(), 3u) << stem;
    for (size_t i = 1; i < 3; i += 1) {
      Picture p = decode_rgba(m.records[i].at("file_path"));
      ASSERT_GT(p.w, 0u) << stem;
      for (int c = 0; c < 3; c += 1) {
        int got = p.at(p.w / 2, p.h / 2)[c], kept = stored.at(8, 8)[c];
        if (converted) {
          EXPECT_NEAR(got, want[c], 3) << stem << " output " << i << " channel " << c;
        } else {
          EXPECT_EQ(got, kept) << stem << " output " << i << " channel " << c;
        }
      }
    }
  };
  expect_outputs("adobe", adobe_png, adobe_xyz, 563.0 / 256, true);
  expect_outputs("p3", p3_jpeg, p3_xyz, 0, true);
  // the sRGB-profiled twin's outputs are the very files of the plain one
  Metadata a = parse_metadata(f.text("plain")), b = parse_metadata(f.text("srgb"));
  ASSERT_EQ(a.records.size(), 3u);
  ASSERT_EQ(b.records.size(), 3u);
  for (size_t i = 1; i < 3; i += 1) EXPECT_EQ(a.records[i].at("checksum"), b.records[i].at("checksum"));

  f.drop("adobe.png", adobe_png);
  run = run_to_end(f.args({"-drain", "-targets=" + targets, "-color=stored"}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_NE(run.out.find("\tcolor:     stored\n"), std::string::npos) << run.out;
  expect_outputs("adobe", adobe_png, adobe_xyz, 563.0 / 256, false);
}

//~ Formats of today
// A HEIF or AVIF as the library decodes it at 8 bits, RGBA; empty when it cannot.
Picture heif_picture(const Bytes &file) {
  Picture p;
  heif_context *context = heif_context_alloc();
  heif_image_handle *handle = nullptr;
  heif_image *image = nullptr;
  if (heif_context_read_from_memory_without_copy(context, file.data(), file.size(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok &&
      heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr).code ==
          heif_error_Ok) {
    int stride = 0;
    const u8 *plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    p.w = (u64)heif_image_get_width(image, heif_channel_interleaved);
    p.h = (u64)heif_image_get_height(image, heif_channel_interleaved);
    for (u64 y = 0; y < p.h; y += 1) p.px.insert(p.px.end(), plane + y * stride, plane + y * stride + p.w * 4);
  }
  if (image) heif_image_release(image);
  if (handle) heif_image_handle_release(handle);
  heif_context_free(context);
  return p;
}

// A WebP with alpha converts, one cut short stays; WebP targets, lossy and lossless (this one
// letterboxed on a see-through canvas, which a WebP keeps), decode back to their planned size,
// the lossless one to the very pixels its record's checksum names; a lossy AVIF without alpha
// decodes back to its size; a lossless AVIF target without alpha decodes to the pixels its record
// names, one with alpha, read back as a source, has the pixels its record names, and its cut-short
// half stays.
TEST(EndToEnd, WebpAndAvifInAndOut) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 48, height: 36, image_type: 'WEBP', quality: 70 },\n"
                                                   "  { width: 24, height: 24, image_type: 'WEBP', lossless: 1 },\n"
                                                   "  { width: 32, height: 24, image_type: 'AVIF', lossless: 1 },\n"
                                                   "  { width: 40, height: 40, image_type: 'AVIF', quality: 60, "
                                                   "pixel_layout: 'RGB', bg_color: 255 },\n"
                                                   "  { width: 16, height: 12, image_type: 'AVIF', lossless: 1, "
                                                   "pixel_layout: 'RGB' } ]\n");
  Bytes px = gradient(64, 48, 4);
  u8 *encoded = nullptr;
  size_t size = WebPEncodeRGBA(px.data(), 64, 48, 64 * 4, 90, &encoded);
  ASSERT_GT(size, 0u);
  Bytes webp(encoded, encoded + size);
  WebPFree(encoded);
  f.drop("alpha.webp", webp);
  f.drop("cut.webp", Bytes(webp.begin(), webp.begin() + webp.size() / 2));
  FinishedRun run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 3) << run.out; // the cut-short file stays
  EXPECT_TRUE(fs::exists(f.in + "/cut.webp"));
  Metadata m = parse_metadata(f.text("alpha"));
  ASSERT_EQ(m.records.size(), 6u);
  EXPECT_EQ(m.records[0].at("file_type"), "WEBP");
  EXPECT_EQ(read_file(m.records[0].at("file_path")), webp);
  EXPECT_EQ(fs::path(m.records[0].at("file_path")).extension(), ".webp");
  for (size_t i = 1; i < 3; i += 1) {
    const Record &r = m.records[i];
    EXPECT_EQ(r.at("file_type"), "WEBP");
    EXPECT_EQ(r.at("pixel_layout"), "RGBA");
    Bytes out = read_file(r.at("file_path"));
    int w = 0, h = 0;
    u8 *decoded = WebPDecodeRGBA(out.data(), out.size(), &w, &h);
    ASSERT_TRUE(decoded) << r.at("file_path");
    EXPECT_EQ((u64)w, i == 2 ? num(r, "width_bg") : num(r, "width"));
    EXPECT_EQ((u64)h, i == 2 ? num(r, "height_bg") : num(r, "height"));
    if (i == 2) {
      Arena *arena = arena_create(mib(1), kib(64));
      Str8 text = checksum_text(arena, codec_blake2b128(decoded, (u64)w * h * 4));
      EXPECT_EQ(r.at("checksum"), std::string((char *)text.str, text.size)) << "lossless keeps every pixel";
      EXPECT_EQ(num(r, "quality"), 100u);
      arena_destroy(arena);
    } else {
      EXPECT_EQ(num(r, "quality"), 70u);
    }
    WebPFree(decoded);
  }

  EXPECT_EQ(num(m.records[2], "width_bg"), 24u) << "the letterboxed WebP";

  // The lossy AVIF: opaque, of its box's size.
  const Record &lossy = m.records[4];
  EXPECT_EQ(lossy.at("file_type"), "AVIF");
  EXPECT_EQ(lossy.at("pixel_layout"), "RGB");
  EXPECT_EQ(num(lossy, "quality"), 60u);
  Picture decoded = heif_picture(read_file(lossy.at("file_path")));
  EXPECT_EQ(decoded.w, 40u);
  EXPECT_EQ(decoded.h, 40u);
  if (decoded.w == 40) {
    EXPECT_EQ(decoded.at(20, 2)[3], 255) << "the letterbox is opaque";
  }

  // The lossless AVIF without alpha keeps every pixel its record's checksum names.
  const Record &rgb = m.records[5];
  EXPECT_EQ(rgb.at("pixel_layout"), "RGB");
  Picture rgb_decoded = heif_picture(read_file(rgb.at("file_path")));
  ASSERT_EQ(rgb_decoded.w * rgb_decoded.h, 16u * 12u);
  Bytes rgb_px;
  for (u64 i = 0; i < 16 * 12; i += 1) rgb_px.insert(rgb_px.end(), &rgb_decoded.px[i * 4], &rgb_decoded.px[i * 4 + 3]);
  Arena *arena = arena_create(mib(1), kib(64));
  Str8 rgb_sum = checksum_text(arena, codec_blake2b128(rgb_px.data(), rgb_px.size()));
  EXPECT_EQ(rgb.at("checksum"), std::string((char *)rgb_sum.str, rgb_sum.size));
  arena_destroy(arena);

  // The lossless AVIF, dropped in as a source, has the very pixels its record's checksum names.
  const Record &avif = m.records[3];
  EXPECT_EQ(avif.at("file_type"), "AVIF");
  Bytes avif_bytes = read_file(avif.at("file_path"));
  f.drop("again.avif", avif_bytes);
  f.drop("cut.avif", Bytes(avif_bytes.begin(), avif_bytes.end() - 40));
  run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_TRUE(fs::exists(f.in + "/cut.avif"));
  Metadata again = parse_metadata(f.text("again"));
  ASSERT_GE(again.records.size(), 1u);
  EXPECT_EQ(again.records[0].at("file_type"), "AVIF");
  EXPECT_EQ(again.records[0].at("checksum"), avif.at("checksum"));
}

// Strips one pixel across keep a pixel in every box, whatever the output's type: each output
// holds a picture of at least 1 x 1, centred on its canvas by the usual rule, decodes to the
// size its record gives, and its record's aspect ratios are those of its own sides.
TEST(EndToEnd, OnePixelStripsKeepAPixelInEveryOutput) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 100, height: 100, image_type: 'JPEG', bg_color: 255 },\n"
                                                   "  { width: 300, height: 300, image_type: 'PNG' },\n"
                                                   "  { width: 1920, height: 1080, image_type: 'WEBP', quality: 80 },\n"
                                                   "  { width: 64, height: 64, image_type: 'AVIF', quality: 60, "
                                                   "bg_color: 255 } ]\n");
  f.drop("tall.png", png_file(gradient(1, 60000, 3), 1, 60000, 3));
  f.drop("wide.png", png_file(gradient(60000, 1, 3), 60000, 1, 3));
  FinishedRun run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  for (std::string stem : {"tall", "wide"}) {
    bool tall = stem == "tall";
    EXPECT_FALSE(fs::exists(f.in + "/" + stem + ".png"));
    Metadata m = parse_metadata(f.text(stem));
    ASSERT_EQ(m.records.size(), 5u) << f.text(stem);
    const char *types[] = {"JPEG", "PNG", "WEBP", "AVIF"};
    for (size_t i = 1; i < 5; i += 1) {
      const Record &r = m.records[i];
      std::string where = stem + " " + r.at("file_type");
      EXPECT_EQ(r.at("file_type"), types[i - 1]) << where;
      u64 w = num(r, "width"), h = num(r, "height"), bw = num(r, "width_bg"), bh = num(r, "height_bg");
      EXPECT_EQ(tall ? w : h, 1u) << where;
      EXPECT_GT(tall ? h : w, 1u) << where;
      EXPECT_TRUE(bw >= w && bh >= h && bw * bh > w * h) << where << ": the picture is letterboxed";
      EXPECT_EQ(num(r, "pixel_count"), w * h) << where;
      EXPECT_EQ(num(r, "pixel_count_bg"), bw * bh - w * h) << where;
      EXPECT_EQ(num(r, tall ? "aspect_ratio_width" : "aspect_ratio_height"), 1u) << where;
      EXPECT_EQ(num(r, tall ? "aspect_ratio_height" : "aspect_ratio_width"), tall ? h : w) << where;

      Bytes file = read_file(r.at("file_path"));
      Picture p;
      if (r.at("file_type") == "AVIF") {
        p = heif_picture(file);
      } else if (r.at("file_type") == "WEBP") {
        int dw = 0, dh = 0;
        if (u8 *decoded = WebPDecodeRGBA(file.data(), file.size(), &dw, &dh)) {
          p.px.assign(decoded, decoded + (size_t)dw * dh * 4);
          p.w = (u64)dw;
          p.h = (u64)dh;
          WebPFree(decoded);
        }
      } else {
        p = decode_rgba(r.at("file_path"));
      }
      EXPECT_EQ(p.w, bw) << where;
      EXPECT_EQ(p.h, bh) << where;
      if (r.at("file_type") != "PNG" || p.w != bw || p.h != bh) continue;
      // on the see-through canvas, the one column (row) in the middle is the picture
      u64 left = (bw - w) / 2, top = (bh - h) / 2;
      u64 x = tall ? left : bw / 2, y = tall ? bh / 2 : top;
      EXPECT_EQ(p.at(x, y)[3], 255) << where;
      EXPECT_EQ(p.at(tall ? x - 1 : x, tall ? y : y - 1)[3], 0) << where;
      EXPECT_EQ(p.at(tall ? x + 1 : x, tall ? y : y + 1)[3], 0) << where;
    }
  }
}

// The HEVC encoder (x265) keeps a few small blocks until the process ends: the leak checker of
// a sanitized build is told they are the library's.
extern "C" const char *__lsan_default_suppressions() { return "leak:libx265.so\n"; }

// A HEIF (HEVC) or AVIF (AV1) made here through the library's encoder, of `bits` bits per
// channel (sample(x, y, c) gives each), with an nclx box stating Display P3 and the sRGB curve
// when `p3`. Empty when the library has no such encoder, and for a 10-bit AVIF (this libaom
// aborts on those).
Bytes heif_file(heif_compression_format format, int width, int height, int bits, bool p3,
                const std::function<u16(int, int, int)> &sample) {
  if (format == heif_compression_AV1 && bits > 8) return {};
  heif_init(nullptr);
  Bytes out;
  heif_context *context = heif_context_alloc();
  heif_encoder *encoder = nullptr;
  heif_image *image = nullptr;
  heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
  heif_encoding_options *options = heif_encoding_options_alloc();
  int bytes = bits > 8 ? 2 : 1;
  if (heif_context_get_encoder_for_format(context, format, &encoder).code == heif_error_Ok &&
      heif_image_create(width, height, heif_colorspace_RGB,
                        bits > 8 ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB, &image)
              .code == heif_error_Ok &&
      heif_image_add_plane(image, heif_channel_interleaved, width, height, bits).code == heif_error_Ok) {
    int stride = 0;
    u8 *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < height; y += 1) {
      for (int x = 0; x < width; x += 1) {
        for (int c = 0; c < 3; c += 1) {
          u16 v = sample(x, y, c);
          u8 *at = plane + y * stride + (x * 3 + c) * bytes;
          at[0] = (u8)v;
          if (bytes == 2) at[1] = (u8)(v >> 8);
        }
      }
    }
    if (p3) {
      nclx->color_primaries = heif_color_primaries_SMPTE_EG_432_1;
      nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
      nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
      nclx->full_range_flag = 1;
      heif_image_set_nclx_color_profile(image, nclx);
      options->output_nclx_profile = nclx;
      options->macOS_compatibility_workaround_no_nclx_profile = 0; // write the colour box
    }
    heif_encoder_set_lossy_quality(encoder, 95);
    heif_writer writer = {1, [](heif_context *, const void *data, size_t size, void *user) {
                            Bytes *o = (Bytes *)user;
                            o->insert(o->end(), (const u8 *)data, (const u8 *)data + size);
                            return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                          }};
    if (heif_context_encode_image(context, image, encoder, options, nullptr).code != heif_error_Ok ||
        heif_context_write(context, &writer, &out).code != heif_error_Ok) {
      out.clear();
    }
  }
  heif_encoding_options_free(options);
  heif_nclx_color_profile_free(nclx);
  if (image) heif_image_release(image);
  if (encoder) heif_encoder_release(encoder);
  heif_context_free(context);
  return out;
}

// A HEIC of 8-bit RGB rows.
Bytes heic_of(const Bytes &rgb, int width, int height) {
  return heif_file(heif_compression_HEVC, width, height, 8, false,
                   [&](int x, int y, int c) { return (u16)rgb[((size_t)y * width + x) * 3 + c]; });
}

// A HEIC converts and its copy keeps the source's own extension; one cut short stays; one whose
// header declares more pixels than -max_pixels is refused before anything is decoded.
TEST(EndToEnd, HeicIsReadAndJudgedFromItsHeader) {
  Bytes photo = heic_of(gradient(40, 30, 3), 40, 30);
  if (photo.empty()) GTEST_SKIP() << "this libheif has no HEVC encoder to make a HEIC with";
  Bytes big = heic_of(gradient(64, 48, 3), 64, 48);
  Folders f;
  f.drop("photo.HEIF", photo);
  f.drop("big.heic", big);
  f.drop("cut.heic", Bytes(photo.begin(), photo.begin() + photo.size() * 2 / 3));
  FinishedRun run = run_to_end(f.args({"-drain", "-max_pixels=2000"}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 3) << run.out;
  EXPECT_NE(run.out.find("Image is too large (64 x 48 pixels, the limit is 2000), big.heic was left in place."),
            std::string::npos) << run.out;
  EXPECT_TRUE(fs::exists(f.in + "/big.heic"));
  EXPECT_TRUE(fs::exists(f.in + "/cut.heic"));
  Metadata m = parse_metadata(f.text("photo"));
  ASSERT_EQ(m.records.size(), 4u);
  EXPECT_EQ(m.records[0].at("file_type"), "HEIF");
  EXPECT_EQ(fs::path(m.records[0].at("file_path")).extension(), ".heif");
  EXPECT_EQ(read_file(m.records[0].at("file_path")), photo);
  EXPECT_EQ(num(m.records[0], "width"), 40u);
  Picture p = decode_rgba(m.records[2].at("file_path")); // the 300 x 300 output
  ASSERT_EQ(p.w, 300u);
}

// A WebP stored on its side with a Display P3 profile (EXIF and ICCP chunks) and an AVIF whose
// colour box states Display P3 come out upright and in sRGB; a 10-bit HEIC comes out at 8 bits,
// noted as a 16-bit source is.
TEST(EndToEnd, WebpAndAvifPhotosComeOutUprightInSrgb) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { width: 32, height: 32, image_type: 'PNG' } ]\n");
  const double p3[3][2] = {{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
  const double p3_xyz[3][3] = {{0.4865709, 0.2656677, 0.1982173},
                               {0.2289746, 0.6917385, 0.0792869},
                               {0.0000000, 0.0451134, 1.0439444}};
  const u8 colour[3] = {200, 90, 150};
  Bytes px;
  for (int i = 0; i < 64 * 48; i += 1) px.insert(px.end(), colour, colour + 3);
  u8 *encoded = nullptr;
  size_t size = WebPEncodeLosslessRGB(px.data(), 64, 48, 64 * 3, &encoded);
  ASSERT_GT(size, 12u);
  // the extended layout: VP8X (with its ICC and EXIF flags), ICCP, the picture, EXIF
  Bytes body = {'W', 'E', 'B', 'P'};
  for (const Bytes &c : {webp_chunk("VP8X", {0x28, 0, 0, 0, 63, 0, 0, 47, 0, 0}), webp_chunk("ICCP", rgb_profile(p3, 0)),
                         Bytes(encoded + 12, encoded + size), webp_chunk("EXIF", exif_block(6, false))}) {
    body.insert(body.end(), c.begin(), c.end());
  }
  WebPFree(encoded);
  Bytes webp = webp_chunk("RIFF", body);
  webp.resize(webp.size() - (body.size() & 1)); // RIFF's own size has no pad
  f.drop("side.webp", webp);
  const u16 p3_colour[3] = {200, 90, 150}, deep_colour[3] = {800, 360, 600};
  Bytes avif = heif_file(heif_compression_AV1, 32, 24, 8, true, [&](int, int, int c) { return p3_colour[c]; });
  Bytes deep = heif_file(heif_compression_HEVC, 32, 24, 10, false, [&](int, int, int c) { return deep_colour[c]; });
  ASSERT_FALSE(avif.empty());
  f.drop("p3.avif", avif);
  if (!deep.empty()) f.drop("deep.heic", deep);
  FinishedRun run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;

  Metadata w = parse_metadata(f.text("side"));
  ASSERT_EQ(w.records.size(), 2u);
  EXPECT_EQ(w.records[0].at("file_type"), "WEBP");
  EXPECT_EQ(num(w.records[1], "width"), 24u); // 64 x 48 stored, 48 x 64 upright
  EXPECT_EQ(num(w.records[1], "height"), 32u);
  std::array<int, 3> want = srgb_of(colour, p3_xyz, 0);
  Picture out = decode_rgba(w.records[1].at("file_path"));
  ASSERT_GT(out.w, 0u);
  for (int c = 0; c < 3; c += 1) EXPECT_NEAR(out.at(16, 16)[c], want[c], 3) << "WebP channel " << c;

  Metadata a = parse_metadata(f.text("p3"));
  ASSERT_EQ(a.records.size(), 2u);
  EXPECT_EQ(a.records[0].at("file_type"), "AVIF");
  Picture stored = heif_picture(avif);
  ASSERT_GT(stored.w, 0u);
  want = srgb_of(stored.at(0, 0), p3_xyz, 0);
  out = decode_rgba(a.records[1].at("file_path"));
  ASSERT_GT(out.w, 0u);
  for (int c = 0; c < 3; c += 1) EXPECT_NEAR(out.at(16, 12)[c], want[c], 3) << "AVIF channel " << c;

  if (deep.empty()) GTEST_SKIP() << "this libheif has no HEVC encoder to make a 10-bit HEIC with";
  Metadata d = parse_metadata(f.text("deep"));
  ASSERT_EQ(d.records.size(), 2u);
  ASSERT_FALSE(d.notes.empty());
  EXPECT_EQ(d.notes[0], "Bitmap was 16bits/channel, we do not support it and convert it to 8bits/channel.");
  stored = heif_picture(deep);
  ASSERT_GT(stored.w, 0u);
  EXPECT_NEAR(stored.at(0, 0)[0], 800 * 255 / 1023, 3); // reduced from 10 bits, not cut to its low byte
  out = decode_rgba(d.records[1].at("file_path"));
  ASSERT_GT(out.w, 0u);
  for (int c = 0; c < 3; c += 1) EXPECT_EQ(out.at(16, 12)[c], stored.at(0, 0)[c]) << "10-bit channel " << c;
}

// An ISO-BMFF box: its header (size, type) and then `body`.
static Bytes bmff_box(const char *type, const Bytes &body) {
  u32 n = (u32)body.size() + 8;
  Bytes b = {(u8)(n >> 24), (u8)(n >> 16), (u8)(n >> 8), (u8)n, (u8)type[0], (u8)type[1], (u8)type[2], (u8)type[3]};
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

static u64 bmff_read(const Bytes &b, size_t at, u32 bytes) {
  u64 v = 0;
  for (u32 i = 0; i < bytes; i += 1) v = v << 8 | b[at + i];
  return v;
}

static void bmff_write(Bytes &b, size_t at, u32 bytes, u64 v) {
  for (u32 i = bytes; i-- > 0; v >>= 8) b[at + i] = (u8)v;
}

// The children of the box whose body spans [from, to): type and where each box starts and ends.
struct BmffChild {
  std::string type;
  size_t at, end;
};
static std::vector<BmffChild> bmff_children(const Bytes &b, size_t from, size_t to) {
  std::vector<BmffChild> children;
  for (size_t at = from; at + 8 <= to;) {
    size_t size = (size_t)bmff_read(b, at, 4);
    if (size < 8 || at + size > to) break;
    children.push_back({std::string((const char *)&b[at + 4], 4), at, at + size});
    at += size;
  }
  return children;
}

static const BmffChild *bmff_find(const std::vector<BmffChild> &boxes, const char *type) {
  for (const BmffChild &c : boxes) {
    if (c.type == type) return &c;
  }
  return nullptr;
}

// The file with one more item property (a whole box: irot, imir, clap) associated with its
// primary item, as essential and first of its properties, before its size (which some writers
// do, and which the library's image handle does not follow): the property container and the
// associations grow, and the item locations that point past the meta box move with it.
Bytes heif_with_property(const Bytes &file, const Bytes &property) {
  std::vector<BmffChild> top = bmff_children(file, 0, file.size());
  const BmffChild *meta = bmff_find(top, "meta");
  if (!meta) return {};
  std::vector<BmffChild> in_meta = bmff_children(file, meta->at + 12, meta->end);
  const BmffChild *pitm = bmff_find(in_meta, "pitm"), *iprp = bmff_find(in_meta, "iprp");
  if (!pitm || !iprp || !bmff_find(in_meta, "iloc")) return {};
  u64 primary = file[pitm->at + 8] == 0 ? bmff_read(file, pitm->at + 12, 2) : bmff_read(file, pitm->at + 12, 4);
  std::vector<BmffChild> in_iprp = bmff_children(file, iprp->at + 8, iprp->end);
  const BmffChild *ipco = bmff_find(in_iprp, "ipco"), *ipma = bmff_find(in_iprp, "ipma");
  if (!ipco || !ipma) return {};
  u64 index = bmff_children(file, ipco->at + 8, ipco->end).size() + 1;

  Bytes new_ipco(file.begin() + ipco->at + 8, file.begin() + ipco->end);
  new_ipco.insert(new_ipco.end(), property.begin(), property.end());
  // ipma: version and flags, entry count, then per item: its id, a count, its associations
  u8 version = file[ipma->at + 8];
  bool wide = file[ipma->at + 11] & 1;
  Bytes new_ipma(file.begin() + ipma->at + 8, file.begin() + ipma->at + 16);
  size_t at = ipma->at + 16;
  for (u64 e = bmff_read(file, ipma->at + 12, 4); e > 0; e -= 1) {
    u32 id_bytes = version < 1 ? 2 : 4;
    u64 id = bmff_read(file, at, id_bytes);
    u8 count = file[at + id_bytes];
    size_t end = at + id_bytes + 1 + count * (wide ? 2 : 1);
    Bytes entry(file.begin() + at, file.begin() + end);
    if (id == primary) {
      entry[id_bytes] += 1;
      Bytes association = wide ? Bytes{(u8)(0x80 | index >> 8), (u8)index} : Bytes{(u8)(0x80 | index)};
      entry.insert(entry.begin() + id_bytes + 1, association.begin(), association.end());
    }
    new_ipma.insert(new_ipma.end(), entry.begin(), entry.end());
    at = end;
  }
  Bytes iprp_body;
  for (const BmffChild &c : in_iprp) {
    Bytes box = c.type == "ipco" ? bmff_box("ipco", new_ipco)
                : c.type == "ipma" ? bmff_box("ipma", new_ipma)
                                   : Bytes(file.begin() + c.at, file.begin() + c.end);
    iprp_body.insert(iprp_body.end(), box.begin(), box.end());
  }
  Bytes meta_body(file.begin() + meta->at + 8, file.begin() + meta->at + 12);
  for (const BmffChild &c : in_meta) {
    Bytes box = c.type == "iprp" ? bmff_box("iprp", iprp_body) : Bytes(file.begin() + c.at, file.begin() + c.end);
    meta_body.insert(meta_body.end(), box.begin(), box.end());
  }
  Bytes new_meta = bmff_box("meta", meta_body);
  u64 delta = new_meta.size() - (meta->end - meta->at);

  // iloc: offsets into the file (construction method 0) beyond the meta box move by delta
  std::vector<BmffChild> new_in_meta = bmff_children(new_meta, 12, new_meta.size());
  const BmffChild *iloc = bmff_find(new_in_meta, "iloc");
  Bytes &m = new_meta;
  u8 v = m[iloc->at + 8];
  u32 offset_size = m[iloc->at + 12] >> 4, length_size = m[iloc->at + 12] & 15;
  u32 base_size = m[iloc->at + 13] >> 4, index_size = v >= 1 ? m[iloc->at + 13] & 15 : 0;
  at = iloc->at + 14;
  u64 items = v < 2 ? bmff_read(m, at, 2) : bmff_read(m, at, 4);
  at += v < 2 ? 2 : 4;
  for (; items > 0; items -= 1) {
    at += v < 2 ? 2 : 4;
    u64 method = 0;
    if (v >= 1) method = bmff_read(m, at, 2) & 15, at += 2;
    at += 2; // data reference index
    size_t base_at = at;
    u64 base = bmff_read(m, at, base_size);
    at += base_size;
    u64 extents = bmff_read(m, at, 2);
    at += 2;
    bool moved = method == 0 && base_size > 0 && base > meta->at;
    if (moved) bmff_write(m, base_at, base_size, base + delta);
    for (; extents > 0; extents -= 1) {
      at += index_size;
      u64 offset = bmff_read(m, at, offset_size);
      if (method == 0 && base_size == 0 && offset > meta->at) bmff_write(m, at, offset_size, offset + delta);
      at += offset_size + length_size;
    }
  }
  Bytes out(file.begin(), file.begin() + meta->at);
  out.insert(out.end(), new_meta.begin(), new_meta.end());
  out.insert(out.end(), file.begin() + meta->end, file.end());
  return out;
}

// Files left in place say why, once each, and are counted apart from files cut short: JPEGs the
// decoders refuse (12-bit samples, lossless coding). An AVIF turned or cropped by its own
// boxes converts upright at the size it shows; an animated PNG converts its first frame and
// says so.
TEST(EndToEnd, FilesLeftInPlaceSayWhyAndTurnedAvifsConvert) {
  Folders f;
  std::string targets = f.tmp.write("targets.txt", "targets: [ { image_type: 'PNG' } ]\n");
  Bytes jpg = jpeg_file(gradient(40, 30, 3), 40, 30, 3, 90);
  size_t sof = 0;
  while (sof + 1 < jpg.size() && !(jpg[sof] == 0xFF && jpg[sof + 1] == 0xC0)) sof += 1;
  ASSERT_LT(sof + 4, jpg.size());
  Bytes twelve = jpg, lossless = jpg;
  twelve[sof + 4] = 12;
  lossless[sof + 1] = 0xC3;
  f.drop("twelve.jpg", twelve);
  f.drop("lossless.jpg", lossless);
  f.drop("cut.jpg", Bytes(jpg.begin(), jpg.end() - 20));
  f.drop("frames.png", png_with_chunk(png_file(gradient(20, 10, 3), 20, 10, 3), "acTL", {0, 0, 0, 3, 0, 0, 0, 0}));

  // quadrants of four colours, 64 x 48 as stored
  const u8 quadrant[4][3] = {{220, 30, 30}, {30, 200, 30}, {30, 30, 220}, {220, 220, 220}};
  Bytes avif = heif_file(heif_compression_AV1, 64, 48, 8, false,
                         [&](int x, int y, int c) { return (u16)quadrant[(y >= 24) * 2 + (x >= 32)][c]; });
  ASSERT_FALSE(avif.empty());
  Bytes turned = heif_with_property(avif, bmff_box("irot", {1})); // a quarter turn anticlockwise
  const Bytes clap = {0, 0, 0, 32, 0, 0, 0, 1, 0, 0, 0, 24, 0, 0, 0, 1, // 32 x 24,
                      0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xF4, 0, 0, 0, 1}; // its centre 16, 12 left and up
  Bytes cropped = heif_with_property(avif, bmff_box("clap", clap));
  ASSERT_FALSE(turned.empty());
  ASSERT_FALSE(cropped.empty());
  f.drop("turned.avif", turned);
  f.drop("cropped.avif", cropped);

  FinishedRun run = run_to_end(f.args({"-drain", "-targets=" + targets}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 3) << run.out;
  auto count = [&](const std::string &text) {
    size_t n = 0;
    for (size_t at = run.out.find(text); at != std::string::npos; at = run.out.find(text, at + 1)) n += 1;
    return n;
  };
  EXPECT_EQ(count("Image could not be decoded (JPEG format not supported: 8-bit only), twelve.jpg was left in place."), 1u)
      << run.out;
  EXPECT_EQ(count("Image could not be decoded (lossless JPEG is not supported), lossless.jpg was left in place."), 1u) << run.out;
  // it may still have been being written: named once, when the drain ends
  EXPECT_EQ(count("cut.jpg"), 1u) << run.out;
  EXPECT_LT(run.out.find("File is empty or cut short, cut.jpg was left in place."), run.out.find("[Vantor] drained"));
  EXPECT_NE(run.out.find("left in place (too large 0, cut short or empty 1, not decodable 2, unreadable 0"),
            std::string::npos) << run.out;
  for (const char *name : {"twelve.jpg", "lossless.jpg", "cut.jpg"}) EXPECT_TRUE(fs::exists(f.in + "/" + name)) << name;

  Metadata frames = parse_metadata(f.text("frames"));
  ASSERT_EQ(frames.records.size(), 2u);
  EXPECT_NE(f.text("frames").find("Picture has 3 frames; the first was converted."), std::string::npos);
  EXPECT_EQ(count("Picture has 3 frames; the first was converted."), 1u) << run.out;

  auto near = [](const u8 *px, const u8 *want) {
    for (int c = 0; c < 3; c += 1) {
      if (std::abs((int)px[c] - (int)want[c]) > 40) return false;
    }
    return true;
  };
  // the source's record and its PNG give the size the picture shows
  auto shown = [&](const std::string &stem, u64 w, u64 h) {
    Metadata m = parse_metadata(f.text(stem));
    Picture p;
    EXPECT_EQ(m.records.size(), 2u) << run.out;
    if (m.records.size() != 2) return p;
    EXPECT_EQ(num(m.records[0], "width"), w);
    EXPECT_EQ(num(m.records[0], "height"), h);
    p = decode_rgba(m.records[1].at("file_path"));
    EXPECT_EQ(p.w, w);
    EXPECT_EQ(p.h, h);
    return p;
  };
  Picture up = shown("turned", 48, 64);
  ASSERT_EQ(up.w * up.h, 48u * 64);
  // turned anticlockwise: the stored top right shows top left, the stored top left bottom left
  EXPECT_TRUE(near(up.at(4, 4), quadrant[1]));
  EXPECT_TRUE(near(up.at(4, 60), quadrant[0]));
  EXPECT_TRUE(near(up.at(44, 4), quadrant[3]));
  EXPECT_TRUE(near(up.at(44, 60), quadrant[2]));
  Picture crop = shown("cropped", 32, 24);
  ASSERT_EQ(crop.w * crop.h, 32u * 24);
  for (u64 y : {2u, 21u}) {
    for (u64 x : {2u, 29u}) EXPECT_TRUE(near(crop.at(x, y), quadrant[0])) << x << "," << y;
  }
}

// A library's own lines never reach the console. An AV1 stream whose first OBU (its temporal
// delimiter) is retyped to a reserved type makes the decoder print and skip it: the picture
// converts, and the line is a note of its record, shown on the console under its name. One
// whose frame is retyped so has no picture left: it stays, its console line says why, and the
// decoder's line goes nowhere. Each runs alone, so no other file's call shares its lines.
TEST(EndToEnd, LibrariesLinesBecomeNotesNeverConsoleText) {
  Bytes avif = heif_file(heif_compression_AV1, 64, 48, 8, false,
                         [](int x, int y, int c) { return (u16)((x * 3 + y * 5 + c * 60) & 255); });
  ASSERT_FALSE(avif.empty());
  std::vector<BmffChild> top = bmff_children(avif, 0, avif.size());
  const BmffChild *mdat = bmff_find(top, "mdat");
  ASSERT_TRUE(mdat);
  // the OBUs of the stream: a header byte (type in bits 3-6, an extension byte, a size that follows)
  std::vector<size_t> obus;
  for (size_t at = mdat->at + 8; at < mdat->end;) {
    obus.push_back(at);
    u8 header = avif[at];
    size_t p = at + 1 + ((header & 0x04) ? 1 : 0);
    if (!(header & 0x02)) break;
    u64 size = 0;
    for (int shift = 0; p < mdat->end; shift += 7) {
      u8 v = avif[p++];
      size |= (u64)(v & 0x7F) << shift;
      if (!(v & 0x80)) break;
    }
    at = p + size;
  }
  auto retyped = [&](u32 type) {
    Bytes b = avif;
    for (size_t at : obus) {
      if ((u32)(b[at] >> 3 & 15) != type) continue;
      b[at] = (u8)((b[at] & 0x87) | 9 << 3);
      return b;
    }
    return Bytes{};
  };
  const u32 TemporalDelimiter = 2, Frame = 6;
  Bytes warned = retyped(TemporalDelimiter), broken = retyped(Frame);
  ASSERT_FALSE(warned.empty());
  ASSERT_FALSE(broken.empty());

  Folders f;
  f.drop("warned.avif", warned);
  FinishedRun run = run_to_end(f.args({"-drain"}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(fs::exists(f.in + "/warned.avif"));
  Metadata m = parse_metadata(f.text("warned"));
  ASSERT_GE(m.records.size(), 2u);
  const std::string &note = m.notes[0];
  EXPECT_TRUE(std::regex_match(note, std::regex("libheif: [^\\x00-\\x1F]*OBU[^\\x00-\\x1F]*\\.")))
      << "one note, the decoder's line: " << note;
  for (size_t i = 1; i < m.notes.size(); i += 1) EXPECT_EQ(m.notes[i], "");
  EXPECT_NE(run.out.find("warned.avif:\n" + note + "\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("OBU"), run.out.rfind("OBU")) << "the line only in its note: " << run.out;

  f.drop("broken.avif", broken);
  run = run_to_end(f.args({"-drain"}));
  ASSERT_TRUE(run.ended) << run.out;
  EXPECT_EQ(run.exit_code, 3) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(fs::exists(f.in + "/broken.avif"));
  EXPECT_NE(run.out.find("Image could not be decoded ("), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("), broken.avif was left in place.\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("OBU"), std::string::npos) << run.out;
}

// A camera's raw file is told by its content, developed and turned upright by the camera's
// orientation; its copy keeps the raw file's extension, and one cut short waits.
TEST(EndToEnd, CameraRawIsDevelopedUprightAndACutShortOneWaits) {
  Folders f;
  Bytes picture(64 * 48 * 3);
  for (size_t i = 0; i < picture.size(); i += 1) picture[i] = (u8)(i / 3 < 64 * 24 ? 40 + i % 3 * 60 : 200 - i % 3 * 50);
  Bytes turned = dng_file(picture, 64, 48, 6);
  Bytes upright = dng_file(picture, 64, 48, 1);
  ASSERT_FALSE(turned.empty());
  f.drop("card/IMG_0001.DNG", turned);
  f.drop("card/misnamed.tif", upright);
  f.drop("card/cut.dng", Bytes(upright.begin(), upright.begin() + upright.size() * 2 / 3));
  Program p(f.args({"-drain"}));
  ASSERT_TRUE(p.wait_for_exit(120)) << p.out;
  EXPECT_EQ(p.exit_code, 3);
  EXPECT_NE(p.out.find(": 2 converted, 1 left in place (too large 0, cut short or empty 1, not decodable 0, unreadable 0, "
                       "write failed 0, could not be deleted 0), 0 unsupported set aside.\n"),
            std::string::npos)
      << p.out;
  EXPECT_TRUE(fs::exists(f.in + "/card/cut.dng"));
  EXPECT_FALSE(fs::exists(f.meta + "/card/cut.metadatas"));

  Metadata t = parse_metadata(f.text("card/IMG_0001"));
  ASSERT_EQ(t.records.size(), 4u);
  EXPECT_EQ(t.records[0].at("file_type"), "RAW");
  EXPECT_EQ(fs::path(t.records[0].at("file_path")).extension(), ".dng");
  EXPECT_EQ(read_file(t.records[0].at("file_path")), turned);
  EXPECT_EQ(num(t.records[0], "width"), 64u); // as the sensor stored it
  EXPECT_EQ(t.notes[0], "Bitmap was 16bits/channel, we do not support it and convert it to 8bits/channel.");
  // 300 x 300: the upright picture is a portrait
  EXPECT_EQ(num(t.records[2], "width"), 225u);
  EXPECT_EQ(num(t.records[2], "height"), 300u);
  Metadata u = parse_metadata(f.text("card/misnamed"));
  ASSERT_EQ(u.records.size(), 4u);
  EXPECT_EQ(u.records[0].at("file_type"), "RAW");
  EXPECT_EQ(fs::path(u.records[0].at("file_path")).extension(), ".raw");
  EXPECT_EQ(num(u.records[2], "width"), 300u);
  EXPECT_EQ(num(u.records[2], "height"), 225u);
  // the same sensor data either way: the stored pictures are twins
  EXPECT_EQ(t.records[0].at("checksum"), u.records[0].at("checksum"));
}
