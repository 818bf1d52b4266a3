// The metrics server: what it keeps of the activity, and its answers.
#include "app/app.h"
#include "vantor_version.h" // written into the build folder by the build

//~ What the server keeps
constexpr u64 MetricsRecentMost = 20;
constexpr u64 MetricsWarningsMost = 64;
constexpr u64 MetricsMinutes = 60;
constexpr u64 MetricsTextMost = 512;
constexpr u64 MetricsPathMost = 1024;
constexpr u32 MetricsFileTypes = 16;
constexpr u64 MinuteUs = 60000000;
// A worker that holds one source longer than this is stuck; the folders are looked at again
// at most this often, however many requests come; a source needs at least this much room.
constexpr u64 HealthProgressUs = 600000000;
constexpr u64 HealthRecheckUs = 2000000;
constexpr u64 HealthRoomBytes = mib(1);

// The histogram's bounds, in seconds: from a small picture to a large raw one.
static const char *const metrics_bucket_labels[] = {"0.05", "0.1", "0.25", "0.5", "1", "2.5", "5", "10", "30", "60"};
static const u64 metrics_bucket_us[] = {50000,   100000,  250000,   500000,   1000000,
                                        2500000, 5000000, 10000000, 30000000, 60000000};
constexpr u64 MetricsBuckets = sizeof(metrics_bucket_us) / sizeof(metrics_bucket_us[0]);

static const char *const metrics_outcomes[] = {"converted", "left_in_place", "set_aside"};
static const char *const metrics_reasons[TallyReasonCount] = {
    "", "too_large", "cut_short_or_empty", "not_decodable", "unreadable", "write_failed", "not_deleted"};
static const char *const metrics_reason_words[TallyReasonCount] = {
    "", "too large", "cut short or empty", "not decodable", "unreadable", "write failed", "could not be deleted"};

// A name or message cut to its last (names) or first (messages) bytes.
struct MetricsText {
  u64 size;
  u8 bytes[MetricsTextMost];
};

struct MetricsRecent {
  u64 wall_us;
  u32 kind;
  u32 reason;
  u64 seconds_us;
  u32 thumb_type;
  MetricsText source;
  MetricsText thumb_name; // "<checksum>.<ext>": the one name /thumb/ answers for this source
  u64 thumb_path_size;
  u8 thumb_path[MetricsPathMost];
};

struct MetricsWarning {
  u64 wall_us;
  MetricsText source;
  MetricsText message;
};

struct MetricsCounts {
  u64 sources[3][TallyReasonCount]; // by ActivityKind (but warnings) and TallyReason
  u64 outputs[MetricsFileTypes];
  u64 read_bytes;
  u64 written_bytes;
  u64 bucket[MetricsBuckets + 1]; // per bound, not cumulative; the last is beyond every bound
  u64 seconds_count;
  u64 seconds_sum_us;
  u64 last_conversion_wall_us;
  u64 minute_of[MetricsMinutes]; // the minute (since 1970) a slot counts, and its conversions
  u64 minute_count[MetricsMinutes];
  u64 recent_total;
  MetricsRecent recent[MetricsRecentMost]; // by recent_total modulo the size
  u64 warning_total;
  MetricsWarning warnings[MetricsWarningsMost];
};

struct MetricsServer {
  OsObject *lock; // guards counts and the health cache; never held across I/O
  MetricsCounts counts;
  MetricsWatched watched;
  HttpServer *http;
  u64 health_checked_us; // the folders' last look, and what it found (empty: they can take files)
  MetricsText health_problem;
};
static MetricsServer g_metrics;

static void text_keep_back(MetricsText *t, Str8 s) {
  s = str8_keep_back(s, MetricsTextMost);
  if (s.size > 0) memcpy(t->bytes, s.str, s.size);
  t->size = s.size;
}

static void text_keep_front(MetricsText *t, Str8 s) {
  s = str8_keep_front(s, MetricsTextMost);
  if (s.size > 0) memcpy(t->bytes, s.str, s.size);
  t->size = s.size;
}

static Str8 text_of(const MetricsText *t) { return Str8{(u8 *)t->bytes, t->size}; }

// A browser shows these; of a source's image outputs the smallest shown is its thumbnail.
static bool metrics_shown_type(u32 file_type) {
  return file_type == FileTypeJpeg || file_type == FileTypePng || file_type == FileTypeWebp ||
         file_type == FileTypeAvif || file_type == FileTypeGif;
}

static Str8 metrics_content_type(u32 file_type) {
  switch (file_type) {
  case FileTypeJpeg: return str8_lit("image/jpeg");
  case FileTypePng: return str8_lit("image/png");
  case FileTypeWebp: return str8_lit("image/webp");
  case FileTypeAvif: return str8_lit("image/avif");
  case FileTypeGif: return str8_lit("image/gif");
  default: return str8_lit("application/octet-stream");
  }
}

void metrics_note(const ActivityEvent *event, void *) {
  MetricsServer *m = &g_metrics;
  u64 wall = clock_wall_us();
  if (event->kind == ActivityWarning) {
    cs_enter(m->lock);
    MetricsWarning *w = &m->counts.warnings[m->counts.warning_total % MetricsWarningsMost];
    m->counts.warning_total += 1;
    w->wall_us = wall;
    text_keep_back(&w->source, event->source);
    text_keep_front(&w->message, event->message);
    cs_leave(m->lock);
    return;
  }
  if (event->kind > ActivitySetAside) return;

  // the thumbnail is chosen before the lock is taken
  const ActivityOutput *thumb = nullptr;
  u64 written = 0;
  for (u32 i = 0; i < event->output_count; i += 1) {
    const ActivityOutput *o = &event->outputs[i];
    written += o->bytes;
    if (o->width == 0 || !metrics_shown_type(o->file_type) || o->path.size > MetricsPathMost) continue;
    u64 area = (u64)o->width * o->height;
    if (!thumb || area < (u64)thumb->width * thumb->height) thumb = o;
  }

  cs_enter(m->lock);
  MetricsCounts *c = &m->counts;
  u32 reason = event->kind == ActivityLeftInPlace && event->reason < TallyReasonCount ? event->reason : TallyNone;
  c->sources[event->kind][reason] += 1;
  for (u32 i = 0; i < event->output_count; i += 1) {
    if (event->outputs[i].file_type < MetricsFileTypes) c->outputs[event->outputs[i].file_type] += 1;
  }
  c->written_bytes += written;
  if (event->kind != ActivitySetAside) c->read_bytes += event->source_bytes;
  if (event->kind != ActivitySetAside && event->seconds_us > 0) {
    u64 b = 0;
    while (b < MetricsBuckets && event->seconds_us > metrics_bucket_us[b]) b += 1;
    c->bucket[b] += 1;
    c->seconds_count += 1;
    c->seconds_sum_us += event->seconds_us;
  }
  if (event->kind == ActivityConverted) {
    c->last_conversion_wall_us = wall;
    u64 minute = wall / MinuteUs, slot = minute % MetricsMinutes;
    if (c->minute_of[slot] != minute) {
      c->minute_of[slot] = minute;
      c->minute_count[slot] = 0;
    }
    c->minute_count[slot] += 1;
  }
  MetricsRecent *r = &c->recent[c->recent_total % MetricsRecentMost];
  c->recent_total += 1;
  r->wall_us = wall;
  r->kind = event->kind;
  r->reason = reason;
  r->seconds_us = event->seconds_us;
  text_keep_back(&r->source, event->source);
  r->thumb_type = thumb ? thumb->file_type : FileTypeNone;
  text_keep_back(&r->thumb_name, thumb ? str8_file_name(thumb->path) : Str8{});
  r->thumb_path_size = thumb ? thumb->path.size : 0;
  if (thumb) memcpy(r->thumb_path, thumb->path.str, thumb->path.size);
  cs_leave(m->lock);
}

//~ /metrics
static void metrics_family(Arena *arena, Str8List *out, const char *name, const char *type, const char *help) {
  str8_list_addf(arena, out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

static Str8 metrics_text(Arena *arena, const MetricsCounts *c, const MetricsWatched *w) {
  Str8List out = {};
  auto n = [](u64 v) { return (unsigned long long)v; };
  metrics_family(arena, &out, "vantor_sources_total", "counter",
                 "Sources dealt with, by what became of them and why a source was left in place.");
  for (u32 kind = 0; kind < 3; kind += 1) {
    for (u32 reason = 0; reason < TallyReasonCount; reason += 1) {
      // the series that can happen are there from the start, at 0
      bool possible = kind == ActivityLeftInPlace ? reason != TallyNone : reason == TallyNone;
      if (!possible && c->sources[kind][reason] == 0) continue;
      str8_list_addf(arena, &out, "vantor_sources_total{outcome=\"%s\",reason=\"%s\"} %llu\n", metrics_outcomes[kind],
                     metrics_reasons[reason], n(c->sources[kind][reason]));
    }
  }
  metrics_family(arena, &out, "vantor_outputs_total", "counter",
                 "Files put in place in the output folder, the sources' copies included, by format.");
  for (u32 type = 1; type < MetricsFileTypes; type += 1) {
    if (!format_of_type(type)) continue;
    Str8 name = format_name(type);
    u8 lower[32];
    u64 size = min_of(name.size, (u64)sizeof(lower));
    for (u64 i = 0; i < size; i += 1) lower[i] = (u8)(name.str[i] >= 'A' && name.str[i] <= 'Z' ? name.str[i] + 32 : name.str[i]);
    str8_list_addf(arena, &out, "vantor_outputs_total{format=\"%S\"} %llu\n", Str8{lower, size}, n(c->outputs[type]));
  }
  metrics_family(arena, &out, "vantor_read_bytes_total", "counter", "Bytes of the sources converted or left in place.");
  str8_list_addf(arena, &out, "vantor_read_bytes_total %llu\n", n(c->read_bytes));
  metrics_family(arena, &out, "vantor_written_bytes_total", "counter", "Bytes of the files put in place.");
  str8_list_addf(arena, &out, "vantor_written_bytes_total %llu\n", n(c->written_bytes));
  metrics_family(arena, &out, "vantor_source_seconds", "histogram",
                 "Seconds from a worker taking a source to its outcome (converted or left in place).");
  u64 cumulative = 0;
  for (u64 b = 0; b < MetricsBuckets; b += 1) {
    cumulative += c->bucket[b];
    str8_list_addf(arena, &out, "vantor_source_seconds_bucket{le=\"%s\"} %llu\n", metrics_bucket_labels[b], n(cumulative));
  }
  str8_list_addf(arena, &out, "vantor_source_seconds_bucket{le=\"+Inf\"} %llu\n", n(c->seconds_count));
  str8_list_addf(arena, &out, "vantor_source_seconds_sum %.6f\n", (double)c->seconds_sum_us / 1e6);
  str8_list_addf(arena, &out, "vantor_source_seconds_count %llu\n", n(c->seconds_count));
  metrics_family(arena, &out, "vantor_sources_waiting", "gauge",
                 "Files in the input tree waiting for a worker at the last scan.");
  str8_list_addf(arena, &out, "vantor_sources_waiting %llu\n", n(w->sources_waiting ? atomic_load_u64(w->sources_waiting) : 0));
  metrics_family(arena, &out, "vantor_sources_in_progress", "gauge", "Workers busy with a source.");
  str8_list_addf(arena, &out, "vantor_sources_in_progress %llu\n", n(w->workers_busy ? atomic_load_u64(w->workers_busy) : 0));
  metrics_family(arena, &out, "vantor_instances", "gauge", "Live instances sharing the input folder, this one included.");
  str8_list_addf(arena, &out, "vantor_instances %llu\n", n(instances_live()));
  metrics_family(arena, &out, "vantor_last_conversion_timestamp_seconds", "gauge",
                 "When the last source was converted, in seconds since 1970 (0: none yet).");
  str8_list_addf(arena, &out, "vantor_last_conversion_timestamp_seconds %.3f\n", (double)c->last_conversion_wall_us / 1e6);
  metrics_family(arena, &out, "vantor_build_info", "gauge", "The program's version, as a label; always 1.");
  str8_list_addf(arena, &out, "vantor_build_info{version=\"%s\"} 1\n", VANTOR_VERSION);

  ProcessUsage usage = {};
  process_usage_read(&usage);
  metrics_family(arena, &out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  str8_list_addf(arena, &out, "process_resident_memory_bytes %llu\n", n(usage.resident_bytes));
  metrics_family(arena, &out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
  str8_list_addf(arena, &out, "process_cpu_seconds_total %.6f\n", (double)usage.cpu_us / 1e6);
  metrics_family(arena, &out, "process_start_time_seconds", "gauge",
                 "Start time of the process since unix epoch in seconds.");
  str8_list_addf(arena, &out, "process_start_time_seconds %.3f\n", (double)usage.start_wall_us / 1e6);
  metrics_family(arena, &out, "process_open_fds", "gauge", "Number of open file descriptors (handles on Windows).");
  str8_list_addf(arena, &out, "process_open_fds %llu\n", n(usage.open_files));
  return str8_list_join(arena, &out, nullptr);
}

//~ /health
// Empty while the folders can take files and every worker is idle or moving; otherwise why not.
static Str8 metrics_health(Arena *arena, MetricsServer *m) {
  u64 now = clock_now_us();
  cs_enter(m->lock);
  bool stale = m->health_checked_us == 0 || now - m->health_checked_us >= HealthRecheckUs;
  Str8 problem = stale ? Str8{} : str8_copy(arena, text_of(&m->health_problem));
  cs_leave(m->lock);
  if (stale) {
    // a tiny file made and removed in each folder, with room for a source: at most every
    // HealthRecheckUs, whatever the number of requests
    Str8 folders[2] = {m->watched.out_folder, m->watched.metadatas_folder};
    const char *uses[2] = {"output", "metadata"};
    for (u32 i = 0; i < 2 && problem.size == 0; i += 1) {
      if (folders[i].size == 0 || folder_can_take(folders[i], HealthRoomBytes)) continue;
      problem = arena_format(arena, "the %s folder %S cannot take files: %S", uses[i], folders[i],
                             file_last_error_text(arena));
    }
    cs_enter(m->lock);
    m->health_checked_us = max_of(clock_now_us(), (u64)1);
    text_keep_front(&m->health_problem, problem);
    cs_leave(m->lock);
  }
  for (u64 i = 0; i < m->watched.worker_count && problem.size == 0; i += 1) {
    u8 name[WorkerWatchNameMost];
    u64 name_size = 0;
    u64 held = worker_watch_read(&m->watched.workers[i], name, &name_size);
    if (held >= HealthProgressUs) {
      problem = arena_format(arena, "a worker is stuck on %S for %llu s", str8_escape_line(arena, Str8{name, name_size}),
                             (unsigned long long)(held / 1000000));
    }
  }
  return problem;
}

//~ The status page
static Str8 html_escape(Arena *arena, Str8 s) {
  Str8List out = {};
  u64 start = 0;
  for (u64 i = 0; i <= s.size; i += 1) {
    const char *entity = nullptr;
    if (i < s.size) {
      switch (s.str[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&#39;"; break;
      default: break;
      }
    }
    if (entity || i == s.size) {
      if (i > start) str8_list_add(arena, &out, str8_slice(s, {start, i}));
      if (entity) str8_list_add(arena, &out, str8_cstring(entity));
      start = i + 1;
    }
  }
  return str8_list_join(arena, &out, nullptr);
}

static Str8 wall_clock_text(Arena *arena, u64 wall_us) {
  u64 s = wall_us / 1000000 % 86400;
  return arena_format(arena, "%02u:%02u:%02u", (u32)(s / 3600), (u32)(s / 60 % 60), (u32)(s % 60));
}

static Str8 outcome_text(Arena *arena, u32 kind, u32 reason) {
  if (kind == ActivityConverted) return str8_lit("converted");
  if (kind == ActivitySetAside) return str8_lit("set aside (unsupported)");
  return arena_format(arena, "left in place (%s)", metrics_reason_words[reason < TallyReasonCount ? reason : 0]);
}

static Str8 metrics_page(Arena *arena, const MetricsCounts *c, const MetricsWatched *w, Str8 health) {
  Str8List out = {};
  auto n = [](u64 v) { return (unsigned long long)v; };
  u64 now = clock_wall_us();
  u64 left = 0;
  for (u32 r = 0; r < TallyReasonCount; r += 1) left += c->sources[ActivityLeftInPlace][r];
  str8_list_addf(arena, &out,
                 "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Vantor</title>"
                 "<meta http-equiv=\"refresh\" content=\"30\">\n<style>body{font:14px sans-serif;margin:24px;color:#222}"
                 "table{border-collapse:collapse}td,th{padding:4px 10px;text-align:left;border-bottom:1px solid #ddd}"
                 ".n{text-align:right}img{max-width:96px;max-height:96px}.bad{color:#b00}</style></head><body>\n"
                 "<h1>Vantor %s</h1>\n<p class=\"%s\">Health: %S</p>\n",
                 VANTOR_VERSION, health.size ? "bad" : "ok", health.size ? html_escape(arena, health) : str8_lit("ok"));
  // counts
  str8_list_addf(arena, &out,
                 "<table><tr><th>Converted</th><th>Left in place</th><th>Set aside</th><th>Waiting</th>"
                 "<th>In progress</th><th>Instances</th><th>Read</th><th>Written</th></tr>\n"
                 "<tr><td class=\"n\">%llu</td><td class=\"n\">%llu</td><td class=\"n\">%llu</td><td class=\"n\">%llu</td>"
                 "<td class=\"n\">%llu</td><td class=\"n\">%llu</td><td class=\"n\">%.1f MB</td><td class=\"n\">%.1f MB</td></tr></table>\n",
                 n(c->sources[ActivityConverted][TallyNone]), n(left), n(c->sources[ActivitySetAside][TallyNone]),
                 n(w->sources_waiting ? atomic_load_u64(w->sources_waiting) : 0),
                 n(w->workers_busy ? atomic_load_u64(w->workers_busy) : 0), n(instances_live()),
                 (double)c->read_bytes / 1e6, (double)c->written_bytes / 1e6);

  // conversions per minute over the last hour, oldest on the left
  u64 minute_now = now / MinuteUs, most = 1, per[MetricsMinutes];
  for (u64 i = 0; i < MetricsMinutes; i += 1) {
    u64 minute = minute_now - (MetricsMinutes - 1 - i), slot = minute % MetricsMinutes;
    per[i] = c->minute_of[slot] == minute ? c->minute_count[slot] : 0;
    most = max_of(most, per[i]);
  }
  str8_list_addf(arena, &out,
                 "<h2>Conversions per minute, last hour</h2>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"740\" "
                 "height=\"180\" viewBox=\"0 0 740 180\" role=\"img\"><title>conversions per minute</title>"
                 "<line x1=\"40\" y1=\"150\" x2=\"730\" y2=\"150\" stroke=\"#888\"/>"
                 "<text x=\"34\" y=\"24\" font-size=\"11\" text-anchor=\"end\">%llu</text>"
                 "<text x=\"34\" y=\"150\" font-size=\"11\" text-anchor=\"end\">0</text>"
                 "<text x=\"40\" y=\"168\" font-size=\"11\">-60 min</text>"
                 "<text x=\"730\" y=\"168\" font-size=\"11\" text-anchor=\"end\">now</text>",
                 n(most));
  for (u64 i = 0; i < MetricsMinutes; i += 1) {
    if (per[i] == 0) continue;
    u64 height = per[i] * 130 / most;
    str8_list_addf(arena, &out,
                   "<rect x=\"%llu\" y=\"%llu\" width=\"9\" height=\"%llu\" fill=\"#3a7bd5\"><title>%llu</title></rect>",
                   n(42 + i * 11 + 1), n(150 - height), n(height), n(per[i]));
  }
  str8_list_addf(arena, &out, "</svg>\n");

  // the last sources, newest first
  str8_list_addf(arena, &out,
                 "<h2>Last sources</h2>\n<table><tr><th></th><th>Source</th><th>Outcome</th><th class=\"n\">Seconds</th>"
                 "<th>Time (UTC)</th></tr>\n");
  u64 shown = min_of(c->recent_total, MetricsRecentMost);
  for (u64 k = 0; k < shown; k += 1) {
    const MetricsRecent *r = &c->recent[(c->recent_total - 1 - k) % MetricsRecentMost];
    Str8 img = r->thumb_name.size
                   ? arena_format(arena, "<img src=\"/thumb/%S\" alt=\"\">", html_escape(arena, text_of(&r->thumb_name)))
                   : Str8{};
    str8_list_addf(arena, &out, "<tr><td>%S</td><td>%S</td><td>%S</td><td class=\"n\">%.2f</td><td>%S</td></tr>\n", img,
                   html_escape(arena, text_of(&r->source)), outcome_text(arena, r->kind, r->reason),
                   (double)r->seconds_us / 1e6, wall_clock_text(arena, r->wall_us));
  }
  str8_list_addf(arena, &out, "</table>\n<h2>Warnings of the last hour</h2>\n<ul>\n");
  u64 warned = min_of(c->warning_total, MetricsWarningsMost), listed = 0;
  for (u64 k = 0; k < warned; k += 1) {
    const MetricsWarning *wn = &c->warnings[(c->warning_total - 1 - k) % MetricsWarningsMost];
    if (now - wn->wall_us > 60 * MinuteUs) break;
    str8_list_addf(arena, &out, "<li>%S %S%s%S</li>\n", wall_clock_text(arena, wn->wall_us),
                   html_escape(arena, text_of(&wn->source)), wn->source.size ? ": " : "",
                   html_escape(arena, text_of(&wn->message)));
    listed += 1;
  }
  if (listed == 0) str8_list_addf(arena, &out, "<li>none</li>\n");
  str8_list_addf(arena, &out, "</ul>\n</body></html>\n");
  return str8_list_join(arena, &out, nullptr);
}

//~ Answers
void metrics_answer(Arena *arena, Str8 path, HttpAnswer *answer, void *) {
  MetricsServer *m = &g_metrics;
  Str8 thumb_prefix = str8_lit("/thumb/");
  if (str8_equals(path, str8_lit("/health"), 0)) {
    Str8 problem = metrics_health(arena, m);
    answer->status = problem.size ? 503 : 200;
    answer->content_type = str8_lit("text/plain; charset=utf-8");
    answer->body = problem.size ? arena_format(arena, "%S\n", problem) : str8_lit("ok\n");
  } else if (str8_equals(path, str8_lit("/metrics"), 0) || str8_equals(path, str8_lit("/"), 0)) {
    // the counts are copied under the lock, then rendered with none held
    MetricsCounts *counts = arena_push<MetricsCounts>(arena);
    cs_enter(m->lock);
    *counts = m->counts;
    cs_leave(m->lock);
    if (path.size == 1) {
      answer->content_type = str8_lit("text/html; charset=utf-8");
      answer->body = metrics_page(arena, counts, &m->watched, metrics_health(arena, m));
    } else {
      answer->content_type = str8_lit("text/plain; version=0.0.4; charset=utf-8");
      answer->body = metrics_text(arena, counts, &m->watched);
    }
  } else if (str8_starts_with(path, thumb_prefix, 0) && path.size > thumb_prefix.size) {
    // only a name the list holds now is served, from the path the program wrote it to:
    // nothing a client writes ever becomes a path on the disk
    Str8 name = str8_drop_front(path, thumb_prefix.size), file = {};
    u32 type = FileTypeNone;
    cs_enter(m->lock);
    u64 held = min_of(m->counts.recent_total, MetricsRecentMost);
    for (u64 i = 0; i < held && file.size == 0; i += 1) {
      const MetricsRecent *r = &m->counts.recent[i];
      if (r->thumb_name.size && str8_equals(text_of(&r->thumb_name), name, 0)) {
        file = str8_copy(arena, Str8{(u8 *)r->thumb_path, r->thumb_path_size});
        type = r->thumb_type;
      }
    }
    cs_leave(m->lock);
    Str8 bytes = file.size ? file_read_all(arena, file) : Str8{};
    if (bytes.size) {
      answer->content_type = metrics_content_type(type);
      answer->body = bytes;
    } else {
      answer->status = 404;
    }
  } else {
    answer->status = 404;
  }
  if (answer->status == 404) {
    answer->content_type = str8_lit("text/plain; charset=utf-8");
    answer->body = str8_lit("not found\n");
  }
}

//~ The server
bool metrics_start(Arena *arena, Str8 address, const MetricsWatched *watched, Str8 *url, Str8List *problems) {
  MetricsServer *m = &g_metrics;
  static bool listening;
  if (!m->lock) m->lock = cs_create();
  cs_enter(m->lock);
  m->counts = {};
  m->watched = *watched;
  // the folders' names are the server's own for as long as it runs
  m->watched.out_folder = str8_copy(arena, watched->out_folder);
  m->watched.metadatas_folder = str8_copy(arena, watched->metadatas_folder);
  m->health_checked_us = 0;
  cs_leave(m->lock);
  NetListener listener = {};
  Str8 error = {};
  if (!net_listen(arena, address, &listener, &error)) {
    str8_list_addf(arena, problems, "error: the metrics server cannot listen on %S: %S", address, error);
    return false;
  }
  // the listener is added once per process (listeners are never removed)
  if (!listening && !activity_listen(metrics_note, m)) {
    net_close(listener.socket);
    str8_list_addf(arena, problems, "error: the metrics server cannot listen to the activity");
    return false;
  }
  listening = true;
  Str8 host = {};
  u32 port = 0;
  bool ipv6 = false;
  net_address_split(address, &host, &port, &ipv6);
  m->http = http_serve(&listener, metrics_answer, m);
  if (!m->http) {
    str8_list_addf(arena, problems, "error: the metrics server cannot start on %S", address);
    return false;
  }
  *url = arena_format(arena, ipv6 ? "http://[%S]:%u/" : "http://%S:%u/", host, listener.port);
  return true;
}

void metrics_stop() {
  if (g_metrics.http) http_stop(g_metrics.http);
  g_metrics.http = nullptr;
}
