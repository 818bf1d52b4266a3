// The command line: the options the entry reads, the help text and the versions it prints.
#pragma once

#include "app/app_setup.h"

//~ Options
// The command line as the entry reads it. A key the program does not know and a number it
// cannot read each give one "warning:" line in `warnings` (living in `arena`), which names
// the default used instead; the rest of the line still applies.
struct AppCommandLine {
  AppOptions options;
  bool help;
  bool drain;
  bool json_log; // -log=json: one JSON object a line instead of text
  Str8List warnings;
};
AppCommandLine app_command_line_read(Arena *arena, ArgTable *table);

// The help text, with the formats read and written; to standard output.
void app_print_help(Arena *arena);
// The program's version and its libraries', one a line; to standard output.
void app_print_version();
