// The peer `make bench` compares vantor with on HEIC, WebP, AVIF and the other formats sets:
// the work of three targets done with libvips.
//
//   vips_peer [--type=JPEG | --type=WEBP | --type=AVIF] [--raw] <input folder> <output folder>
//
// Every file under the input folder (sub-folders too) is copied into the output folder,
// decoded in full once, and made into three outputs of the default targets' sizes and
// qualities: 100x100 and 300x300 of quality 60, 1920x1080 of quality 80. Each is resized by
// vips_thumbnail_image to the largest size with the source's proportions that fits in its box
// (computed as vantor computes it) and, when that does not fill the box, centred on a
// transparent canvas. With --type=JPEG (the default targets), a picture on a canvas is saved as
// an RGBA PNG (zlib level 9, every row filter tried, as stb's writer does) and one that fills
// its box as a JPEG; with WEBP or AVIF (aom at vantor's speed, 8), that format either way, with
// alpha on a canvas. Then the source is deleted. No syncs, no checksums, no metadata files.
//
// No shrink-on-load: the loader is given no option but sequential access, so JPEG's shrink,
// WebP's scale and HEIF's embedded thumbnail stay at their defaults (the whole picture), and
// the decoded picture is held in memory, where a resize can only start from every pixel. The
// last line says how many pixels were decoded; `make bench` checks them against the sizes in
// the files' names.
//
// With --raw every source is a camera raw file, developed as libvips's own raw loader (which
// this Debian's libvips predates) develops it: LibRaw opens the file, unpacks it and develops
// it with the camera's white balance to 8-bit sRGB, upright; the picture goes into libvips
// from memory and on through the same steps.
//
// Two workers share the files, as vantor -thread=2 shares them between two workers; libvips
// evaluates each worker's pipelines on one thread of its own (concurrency 1).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <libraw/libraw.h>
#include <vips/vips.h>

enum PeerType { PeerJpeg, PeerWebp, PeerAvif };

struct PeerTarget {
  int width;
  int height;
  int quality;
};

// The default targets after the source copy.
static const PeerTarget Targets[] = {{100, 100, 60}, {300, 300, 60}, {1920, 1080, 80}};

// vantor's AV1 encoder speed; libvips's effort is 9 minus it.
static const int AvifEffort = 1;

static PeerType peer_type = PeerJpeg;
static bool raw_sources = false;
static std::string out_folder;
static std::vector<std::string> sources;
static std::atomic<size_t> next_source{0};
static std::atomic<size_t> converted{0};
static std::atomic<unsigned long long> decoded_pixels{0};

//~ Files
static bool copy_file(const std::string &from, const std::string &to) {
  FILE *in = fopen(from.c_str(), "rb");
  if (!in) return false;
  FILE *out = fopen(to.c_str(), "wb");
  bool ok = out != nullptr;
  char buffer[1 << 16];
  size_t got;
  while (ok && (got = fread(buffer, 1, sizeof(buffer), in)) > 0) ok = fwrite(buffer, 1, got, out) == got;
  ok = ok && !ferror(in);
  fclose(in);
  if (out) ok = fclose(out) == 0 && ok;
  return ok;
}

static void list_sources(const std::string &folder) {
  GDir *dir = g_dir_open(folder.c_str(), 0, nullptr);
  if (!dir) return;
  while (const char *name = g_dir_read_name(dir)) {
    std::string path = folder + "/" + name;
    if (g_file_test(path.c_str(), G_FILE_TEST_IS_DIR)) {
      list_sources(path);
    } else if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) {
      sources.push_back(path);
    }
  }
  g_dir_close(dir);
}

//~ Conversion
// vantor's fit: the scale is the smaller of the two ratios, in single precision, and each side
// is cut to a whole pixel.
static void fit_inside(int source_w, int source_h, int box_w, int box_h, int *w, int *h) {
  if (source_w == box_w && source_h == box_h) {
    *w = source_w;
    *h = source_h;
    return;
  }
  float rw = (float)box_w / (float)source_w, rh = (float)box_h / (float)source_h;
  float a = rw < rh ? rw : rh;
  *w = (int)((float)source_w * a);
  *h = (int)((float)source_h * a);
}

// One output of the decoded picture; false when libvips failed.
static bool make_output(VipsImage *decoded, const PeerTarget &target, const std::string &stem) {
  int w, h;
  fit_inside(decoded->Xsize, decoded->Ysize, target.width, target.height, &w, &h);
  if (w < 1 || h < 1) return false;
  bool canvas = w != target.width || h != target.height;
  VipsObject *local = VIPS_OBJECT(vips_image_new());
  VipsImage **t = (VipsImage **)vips_object_local_array(local, 5);
  // the picture, then 8-bit grey or colour (colour on a canvas), alpha on a canvas, the canvas
  bool ok = vips_thumbnail_image(decoded, &t[0], w, "height", h, "size", VIPS_SIZE_FORCE, nullptr) == 0;
  VipsInterpretation want = canvas || t[0] == nullptr || t[0]->Bands >= 3 ? VIPS_INTERPRETATION_sRGB
                                                                          : VIPS_INTERPRETATION_B_W;
  ok = ok && vips_colourspace(t[0], &t[1], want, nullptr) == 0;
  VipsImage *picture = ok ? t[1] : nullptr;
  if (ok && canvas) {
    double clear[4] = {0, 0, 0, 0};
    VipsArrayDouble *background = vips_array_double_new(clear, 4);
    if (!vips_image_hasalpha(picture)) {
      ok = vips_addalpha(picture, &t[2], nullptr) == 0;
      picture = t[2];
    }
    ok = ok && vips_gravity(picture, &t[3], VIPS_COMPASS_DIRECTION_CENTRE, target.width, target.height, "extend",
                            VIPS_EXTEND_BACKGROUND, "background", background, nullptr) == 0;
    vips_area_unref(VIPS_AREA(background));
    picture = t[3];
  }
  if (ok) {
    std::string path = out_folder + "/" + stem + "_" + std::to_string(target.width) + "x" +
                       std::to_string(target.height);
    if (peer_type == PeerWebp) {
      ok = vips_webpsave(picture, (path + ".webp").c_str(), "Q", target.quality, "effort", 4, "strip", TRUE,
                         nullptr) == 0;
    } else if (peer_type == PeerAvif) {
      ok = vips_heifsave(picture, (path + ".avif").c_str(), "Q", target.quality, "compression",
                         VIPS_FOREIGN_HEIF_COMPRESSION_AV1, "effort", AvifEffort, "bitdepth", 8, "strip", TRUE,
                         nullptr) == 0;
    } else if (canvas) {
      ok = vips_pngsave(picture, (path + ".png").c_str(), "compression", 9, "filter", VIPS_FOREIGN_PNG_FILTER_ALL,
                        "strip", TRUE, nullptr) == 0;
    } else {
      ok = vips_jpegsave(picture, (path + ".jpg").c_str(), "Q", target.quality, "strip", TRUE, nullptr) == 0;
    }
  }
  g_object_unref(local);
  return ok;
}

// The camera raw file developed, held in memory; null, with libvips's error set, when LibRaw
// failed.
static VipsImage *develop_raw(const std::string &path) {
  libraw_data_t *raw = libraw_init(0);
  if (!raw) return nullptr;
  raw->params.use_camera_wb = 1;
  raw->params.output_bps = 8;
  int code = libraw_open_file(raw, path.c_str());
  if (code == LIBRAW_SUCCESS) code = libraw_unpack(raw);
  if (code == LIBRAW_SUCCESS) code = libraw_dcraw_process(raw);
  libraw_processed_image_t *image = code == LIBRAW_SUCCESS ? libraw_dcraw_make_mem_image(raw, &code) : nullptr;
  VipsImage *developed = nullptr;
  if (image && image->type == LIBRAW_IMAGE_BITMAP && image->bits == 8) {
    developed = vips_image_new_from_memory_copy(image->data, image->data_size, image->width, image->height,
                                                image->colors, VIPS_FORMAT_UCHAR);
    if (developed) developed->Type = image->colors >= 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W;
  } else {
    vips_error("vips_peer", "LibRaw: %s", code == LIBRAW_SUCCESS ? "not an 8-bit bitmap" : libraw_strerror(code));
  }
  if (image) libraw_dcraw_clear_mem(image);
  libraw_close(raw);
  return developed;
}

// True when the source was copied, made into every output and deleted.
static bool convert(const std::string &path) {
  std::string name = path.substr(path.rfind('/') + 1);
  size_t dot = name.rfind('.');
  std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  if (!copy_file(path, out_folder + "/" + name)) {
    fprintf(stderr, "vips: %s: cannot copy\n", path.c_str());
    return false;
  }
  // decode
  VipsImage *decoded = nullptr;
  if (raw_sources) {
    decoded = develop_raw(path);
  } else {
    VipsImage *file = vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    decoded = file ? vips_image_copy_memory(file) : nullptr;
    if (file) g_object_unref(file);
  }
  bool ok = decoded != nullptr;
  if (ok) decoded_pixels += (unsigned long long)decoded->Xsize * (unsigned long long)decoded->Ysize;
  // resize and save
  for (const PeerTarget &target : Targets) {
    if (ok) ok = make_output(decoded, target, stem);
  }
  if (decoded) g_object_unref(decoded);
  if (!ok) {
    fprintf(stderr, "vips: %s: %s\n", path.c_str(), vips_error_buffer());
    vips_error_clear();
    return false;
  }
  return remove(path.c_str()) == 0;
}

static void *worker(void *) {
  for (;;) {
    size_t i = next_source++;
    if (i >= sources.size()) break;
    if (convert(sources[i])) converted += 1;
  }
  vips_thread_shutdown();
  return nullptr;
}

int main(int argc, char **argv) {
  if (VIPS_INIT(argv[0])) vips_error_exit(nullptr);
  std::vector<std::string> folders;
  bool usage = false;
  for (int i = 1; i < argc; i += 1) {
    if (strcmp(argv[i], "--type=JPEG") == 0) {
      peer_type = PeerJpeg;
    } else if (strcmp(argv[i], "--type=WEBP") == 0) {
      peer_type = PeerWebp;
    } else if (strcmp(argv[i], "--type=AVIF") == 0) {
      peer_type = PeerAvif;
    } else if (strcmp(argv[i], "--raw") == 0) {
      raw_sources = true;
    } else if (argv[i][0] != '-') {
      folders.push_back(argv[i]);
    } else {
      usage = true;
    }
  }
  if (usage || folders.size() != 2) {
    fprintf(stderr, "usage: vips_peer [--type=JPEG | --type=WEBP | --type=AVIF] [--raw] <input folder> <output "
                    "folder>\n");
    return 2;
  }
  out_folder = folders[1];
  g_mkdir_with_parents(out_folder.c_str(), 0755);
  list_sources(folders[0]);
  std::sort(sources.begin(), sources.end());

  // one thread per worker inside libvips, and nothing kept from one file for the next
  vips_concurrency_set(1);
  vips_cache_set_max(0);
  GThread *workers[2];
  for (GThread *&w : workers) w = g_thread_new("peer", worker, nullptr);
  for (GThread *w : workers) g_thread_join(w);

  printf("vips: %zu of %zu files converted, %llu pixels decoded\n", converted.load(), sources.size(),
         decoded_pixels.load());
  vips_shutdown();
  return converted.load() == sources.size() ? 0 : 1;
}
