// The JSON log (-log=json): every line the program prints on standard output becomes one JSON
// object a line (base_json): the options summary, the option warnings, the sources' notes and
// warnings (printed so by the console itself), what became of each source, the drain summary
// and the end. The help and the versions stay text.
//
// Threads: app_log_json_start runs on the main thread before the workers start; the activity
// listener it adds runs on the workers and the committer, building each line in the calling
// thread's scratch and printing it whole through console_print, under the console's lock.
#pragma once

#include "app/app_state.h"

//~ The JSON log
// Turns the console to JSON and listens to what becomes of the sources: one line for each
// source converted ("converted"), left in place ("left_in_place") or set aside ("set_aside").
void app_log_json_start();

// One line: level ("info", "note", "warning", "error"), event and message.
void app_log_line(Arena *arena, const char *level, const char *event, Str8 message);
// The set-up's problems and the option warnings ("warning: ..." or "error: ..."), each a line of
// its level with the text after the label as its message.
void app_log_problems(Arena *arena, const Str8List *problems);
// The options summary: the folders, targets and settings as fields.
void app_log_options(Arena *arena, const AppState *state, Str8 targets_text);
// The drain summary: seconds and every count as fields; its text line (without the line feed)
// as the message.
void app_log_summary(Arena *arena, u64 elapsed_us, const OutcomeTally *tally, Str8 text);
