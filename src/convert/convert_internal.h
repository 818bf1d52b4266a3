// What the job's modules share among themselves and the application does not see: the
// worker's loop, one attempt's phases, the commit of a batch and the tally are each a module
// of their own, and call one another through what this header declares. Tests may include it.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "intake/intake.h"
#include "convert/convert.h"

//~ Versions and warnings
// A path the system would not look up counts as a file: the scan listed it as one, and it is
// tried, found unreadable and settled like any file that cannot be opened, not waited for.
inline bool props_is_file(FileProps p) {
  return (p.flags & FilePropsUnreachable) || ((p.flags & FilePropsExists) && !(p.flags & FilePropsFolder));
}

inline bool same_version(FileProps a, FileProps b) { return props_is_file(a) && file_props_same_version(a, b); }

// A warning of its own on the console, at once. A name or path in its text comes from the input
// tree: the caller escapes it (str8_escape_line), so that one warning is always its two lines.
inline void warn(Arena *arena, Str8 text) {
  MessageList note = {};
  message_add(arena, &note, MessageWarning, text);
  message_report(arena, &note, nullptr, 1);
}

//~ What became of the sources
// The latest reason a path was left in place (TallyReason); once enabled only.
void tally_left(Str8 path, u32 reason);
// A source that left the input: converted, or an unsupported file set aside.
void tally_gone(Str8 path, bool converted);
