// The command line: the options read, the help text and the versions printed.
#include <cstdio>

#include "app/app.h"
#include "convert/convert.h"
#include "vantor_version.h" // written into the build folder by the build

//~ Help
void app_print_help(Arena *arena) {
  printf("Converter - Help -\n");
  printf("\tin:        folder path images to convert\n");
  printf("\tout:       folder path images converted (produced by the program).\n");
  printf("\ttargets:   file path which specify the image details conversion. None will used default targets.\n");
  Str8 read = format_names(arena, false), written = format_names(arena, true);
  printf("\timage types: reads %.*s; writes %.*s.\n", (int)read.size, (char *)read.str, (int)written.size,
         (char *)written.str);
  printf("\tmetadatas: folder path images converted's metadatas. Which can be used to extract informations of "
         "them.\n");
  printf("\torientation: upright (default) turns the outputs as a viewer shows the photo; stored keeps them as "
         "stored.\n");
  printf("\tcolor:     sRGB (default) converts the outputs of a photo with a colour profile to sRGB; stored keeps "
         "its numbers.\n");
  printf("\tpng_level: 1 (fastest) to 12 (smallest, the default): how hard PNG outputs are compressed; their names "
         "do not change.\n");
  printf("\tthread:    how many pictures are converted at once, 1 to %llu; 0 (the default): the number of "
         "processors.\n",
         (unsigned long long)AppMaxThreads);
  printf("\tmax_pixels: pictures with more pixels than this are left in place; 0 (the default): %llu.\n",
         (unsigned long long)AppDefaultMaxPixels);
  printf("\tmetrics:   <address>:<port> (127.0.0.1:9464, [::1]:9464; port 0: any free one) serves /metrics, "
         "/health and a status page there; off by default.\n");
  printf("\tdrain:     end once every file in the input folder has been converted or tried and left in place; "
         "Ctrl+C or SIGTERM ends sooner, once the pictures being converted are done (a second one at once).\n");
  printf("\tlog:       text (the default) prints lines for people; json prints one JSON object a line for log "
         "collectors.\n");
  printf("\t--quiet:   on a crash, end without the crash report; also turns the progress line off.\n");
  printf("\t--version: print the versions of the program and of its libraries, then end.\n");
}

//~ Options
// Every key the program reads; "quiet" is start-up's, "version" ends the program before it.
static const char *const app_known_keys[] = {"in",    "out",   "metadatas",   "targets", "thread",
                                             "max_pixels", "help", "drain", "quiet",       "orientation",
                                             "color", "png_level", "version", "log", "metrics"};

static bool app_key_is_known(Str8 key) {
  for (const char *known : app_known_keys) {
    if (str8_equals(key, str8_cstring(known), 0)) return true;
  }
  return false;
}

static u64 app_number_option(Arena *arena, ArgTable *table, const char *key, const char *default_text,
                             Str8List *warnings) {
  u64 value = 0;
  if (!arg_u64_read(table, str8_cstring(key), &value)) {
    str8_list_addf(arena, warnings, "warning: %s value \"%S\" is not a number; using the default (%s)", key,
                   arg_value(table, str8_cstring(key)), default_text);
  }
  return value;
}

// A choice between the sound default and "stored" (any letter case); another value is warned
// about and the default kept.
static bool app_stored_option(Arena *arena, ArgTable *table, const char *key, const char *default_text,
                              Str8List *warnings) {
  Str8 value = arg_value(table, str8_cstring(key));
  if (value.size == 0 || str8_equals(value, str8_cstring(default_text), MatchIgnoreCase)) return false;
  if (str8_equals(value, str8_lit("stored"), MatchIgnoreCase)) return true;
  str8_list_addf(arena, warnings, "warning: %s value \"%S\" is neither %s nor stored; using the default (%s)", key,
                 value, default_text, default_text);
  return false;
}

AppCommandLine app_command_line_read(Arena *arena, ArgTable *table) {
  AppCommandLine line = {};
  line.help = arg_flag(table, str8_lit("help"));
  line.drain = arg_flag(table, str8_lit("drain"));
  AppOptions *options = &line.options;
  options->targets_path = arg_value(table, str8_lit("targets"));
  if (options->targets_path.size > 0) {
    options->targets_path = path_normalize(arena, options->targets_path);
  }
  options->metadatas = arg_value(table, str8_lit("metadatas"));
  options->in = arg_value(table, str8_lit("in"));
  options->out = arg_value(table, str8_lit("out"));

  u64 index = 0;
  for (Str8Node *n = table->keys.first; n; n = n->next, index += 1) {
    if (index >= table->program_key_count && !app_key_is_known(n->string)) {
      str8_list_addf(arena, &line.warnings, "warning: unknown option \"%S\"; it is ignored", n->string);
    }
  }
  options->threads = app_number_option(arena, table, "thread", "the processor count", &line.warnings);
  Str8 max_pixels_default = arena_format(arena, "%llu", (unsigned long long)AppDefaultMaxPixels);
  options->max_pixels =
      app_number_option(arena, table, "max_pixels", (const char *)max_pixels_default.str, &line.warnings);
  // A level outside 1..12 is warned about like a value that is no number.
  options->png_level = app_number_option(arena, table, "png_level", "12", &line.warnings);
  Str8 png_level = arg_value(table, str8_lit("png_level"));
  u64 level = 0;
  bool readable = png_level.size > 0 && arg_u64_read(table, str8_lit("png_level"), &level);
  if (readable && (level == 0 || level > AppDefaultPngLevel)) {
    str8_list_addf(arena, &line.warnings,
                   "warning: png_level value \"%S\" is not between 1 and 12; using the default (12)", png_level);
    options->png_level = 0;
  }
  options->keep_orientation = app_stored_option(arena, table, "orientation", "upright", &line.warnings);
  options->keep_color = app_stored_option(arena, table, "color", "sRGB", &line.warnings);
  // the log's form: text or json (any letter case); another value is warned about like the above
  Str8 log = arg_value(table, str8_lit("log"));
  line.json_log = str8_equals(log, str8_lit("json"), MatchIgnoreCase);
  if (log.size > 0 && !line.json_log && !str8_equals(log, str8_lit("text"), MatchIgnoreCase)) {
    str8_list_addf(arena, &line.warnings, "warning: log value \"%S\" is neither text nor json; using the default (text)",
                   log);
  }
  options->metrics = arg_value(table, str8_lit("metrics"));
  return line;
}

//~ Version
void app_print_version() {
  printf("vantor %s\nstb %s\nlibdeflate %s\nlibxxhash %s\nlcms2 %s\nlibheif %s\nlibwebp %s\n"
         "libjpeg-turbo %s\nlibtiff %s\ngiflib %s\nlibjxl %s\nLibRaw %s\n",
         VANTOR_VERSION, VANTOR_STB_VERSION, VANTOR_LIBDEFLATE_VERSION, VANTOR_LIBXXHASH_VERSION,
         VANTOR_LCMS2_VERSION, VANTOR_LIBHEIF_VERSION, VANTOR_LIBWEBP_VERSION, VANTOR_LIBJPEG_VERSION,
         VANTOR_LIBTIFF_VERSION, VANTOR_GIFLIB_VERSION, VANTOR_LIBJXL_VERSION, VANTOR_LIBRAW_VERSION);
}
