// What became of the sources: the counts a drain's summary and the progress line print.
//
// The workers note each path they leave in place, the committer each source that leaves the
// input folder, and the application reads the counts; one critical section guards the tally,
// taken alone and never across I/O.
#pragma once

#include "base/base.h"

//~ What became of the sources
// Counted once enabled (for a drain's summary and the progress line): the sources converted
// and the unsupported files set aside as they leave the input, and the latest reason of every
// path left in place, so that a version tried again (a write that failed, then worked) is
// counted once, under what happened to it last.
enum TallyReason : u32 {
  TallyNone = 0,
  TallyTooLarge,
  TallyCutShortOrEmpty,
  TallyNotDecodable,
  TallyUnreadable,
  TallyWriteFailed,
  TallyNotDeleted, // the source, or the unsupported file, could not leave the input folder
  TallyReasonCount,
};

// The reason as one word, as logs and metrics name it ("too_large", "cut_short_or_empty",
// "not_decodable", "unreadable", "write_failed", "not_deleted"); empty for TallyNone.
Str8 tally_reason_word(u32 reason);

struct OutcomeTally {
  u64 converted;
  u64 set_aside; // unsupported files
  u64 left[TallyReasonCount];
  u64 left_total;
};

void outcome_tally_enable();
// With recount, a path left in place counts only while its file is still there.
OutcomeTally outcome_tally_read(bool recount);
// A warning for each file still left in place as empty or cut short (said once, as a drain ends).
void outcome_tally_report_cut_short();
