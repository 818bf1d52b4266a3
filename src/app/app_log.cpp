// The JSON log: the application's lines, and a listener for what became of each source.
#include "app/app.h"
#include "convert/convert.h"

//~ What became of the sources
// An output's name is its path below the output folder.
static Str8 app_log_output_name(Str8 out_folder, Str8 path) {
  if (out_folder.size > 0 && path.size > out_folder.size + 1 && str8_starts_with(path, out_folder, 0) &&
      path.str[out_folder.size] == '/') {
    return str8_drop_front(path, out_folder.size + 1);
  }
  return path;
}

// Warnings are printed as such by the console; the other events are a line of their own.
static void app_log_activity(const ActivityEvent *e, void *) {
  if (e->kind == ActivityWarning) return;
  Scratch scratch = scratch_begin(nullptr);
  u64 now = clock_wall_us();
  JsonLine line = {};
  if (e->kind == ActivityConverted) {
    line = json_line_begin(scratch.arena, now, "info", "converted");
    json_add_string(&line, "source", e->source);
    json_add_u64(&line, "source_bytes", e->source_bytes);
    json_add_seconds(&line, "seconds", e->seconds_us);
    ConvertShared *shared = convert_shared();
    Str8 out_folder = shared ? shared->out_folder : Str8{};
    json_open_array(&line, "outputs");
    for (u32 i = 0; i < e->output_count; i += 1) {
      const ActivityOutput *o = &e->outputs[i];
      json_open_object(&line, nullptr);
      json_add_string(&line, "name", app_log_output_name(out_folder, o->path));
      json_add_string(&line, "format", format_name(o->file_type));
      json_add_u64(&line, "width", o->width);
      json_add_u64(&line, "height", o->height);
      json_add_u64(&line, "bytes", o->bytes);
      json_close(&line);
    }
    json_close(&line);
  } else if (e->kind == ActivityLeftInPlace) {
    // said as a warning when the text output says something about it; silent there, info here
    line = json_line_begin(scratch.arena, now, e->message.size > 0 ? "warning" : "info", "left_in_place");
    json_add_string(&line, "source", e->source);
    json_add_string(&line, "reason", tally_reason_word(e->reason));
    json_add_u64(&line, "source_bytes", e->source_bytes);
    json_add_string(&line, "message", e->message);
  } else if (e->kind == ActivitySetAside) {
    line = json_line_begin(scratch.arena, now, "info", "set_aside");
    json_add_string(&line, "source", e->source);
    json_add_u64(&line, "source_bytes", e->source_bytes);
  } else {
    scratch_restore(scratch);
    return;
  }
  console_print(json_line_end(&line));
  scratch_restore(scratch);
}

void app_log_json_start() {
  console_json_set(true);
  activity_listen(app_log_activity, nullptr);
}

//~ The application's lines
void app_log_line(Arena *arena, const char *level, const char *event, Str8 message) {
  JsonLine line = json_line_begin(arena, clock_wall_us(), level, event);
  json_add_string(&line, "message", message);
  console_print(json_line_end(&line));
}

void app_log_problems(Arena *arena, const Str8List *problems) {
  Str8List lines = {};
  for (Str8Node *n = problems->first; n; n = n->next) {
    const char *level = "warning";
    Str8 text = n->string;
    if (str8_starts_with(text, str8_lit("error: "), 0)) {
      level = "error";
      text = str8_drop_front(text, 7);
    } else if (str8_starts_with(text, str8_lit("warning: "), 0)) {
      text = str8_drop_front(text, 9);
    }
    JsonLine line = json_line_begin(arena, clock_wall_us(), level, level);
    json_add_string(&line, "message", text);
    str8_list_add(arena, &lines, json_line_end(&line));
  }
  if (lines.node_count > 0) console_print(str8_list_join(arena, &lines, nullptr));
}

void app_log_options(Arena *arena, const AppState *state, Str8 targets_text) {
  JsonLine line = json_line_begin(arena, clock_wall_us(), "info", "options");
  json_add_string(&line, "in", state->in_folder);
  json_add_string(&line, "out", state->out_folder);
  json_add_string(&line, "metadatas", state->metadatas_folder);
  json_add_string(&line, "targets", targets_text);
  json_add_u64(&line, "thread", state->thread_count);
  json_add_string(&line, "orientation", state->keep_orientation ? str8_lit("stored") : str8_lit("upright"));
  json_add_string(&line, "color", state->keep_color ? str8_lit("stored") : str8_lit("sRGB"));
  json_add_u64(&line, "png_level", state->png_level);
  if (state->metrics_url.size > 0) json_add_string(&line, "metrics", state->metrics_url);
  console_print(json_line_end(&line));
}

void app_log_summary(Arena *arena, u64 elapsed_us, const OutcomeTally *t, Str8 text) {
  JsonLine line = json_line_begin(arena, clock_wall_us(), "info", "summary");
  json_add_seconds(&line, "seconds", elapsed_us);
  json_add_u64(&line, "converted", t->converted);
  json_add_u64(&line, "left_in_place", t->left_total);
  for (u32 r = TallyNone + 1; r < TallyReasonCount; r += 1) {
    json_add_u64(&line, (const char *)tally_reason_word(r).str, t->left[r]);
  }
  json_add_u64(&line, "set_aside", t->set_aside);
  if (text.size > 0 && text.str[text.size - 1] == '\n') text.size -= 1;
  json_add_string(&line, "message", text);
  console_print(json_line_end(&line));
}
