// The encoding of one output within its target's byte budget (max_bytes). A lossy output whose
// file is over the budget is encoded again at lower qualities, by bisection, until it fits; one
// that cannot fit is written all the same, with a note saying so. An output that fits at the
// target's quality costs its one encode, as it would without a budget; the source's copy is
// never encoded, so a budget never touches it.
//
// Workers encode at the same time, each on its own plan; the only thing they share is the
// process's counts, which are atomic.
#pragma once

#include "base/base.h"
#include "convert/image/image.h"
#include "convert/convert_plan.h"

//~ Budget
// The encodes one output may take: the first at the target's quality, the others bisecting
// the qualities below it. Six halvings settle up to 63 qualities exactly; above quality 64
// the result may be a step or two below the highest that fits.
constexpr u32 BudgetEncodesMax = 7;

// Encodes the pair's picture (`width` x `height`: the canvas when there is one) into its
// record's bytes, within the target's max_bytes as far as the format allows, and sets the
// record's file type and the quality written; `kept`, when not empty, is written into the file
// and counts in its size (what the format could not hold is emptied). False when the format
// cannot write it (the record's bytes are then empty).
bool plan_encode_output(ConvertPlan *plan, PlanPair *pair, u64 width, u64 height, ImageMetadata *kept);

//- counts
// The encodes of this process so far, for the benchmarks and tests.
struct BudgetCounts {
  u64 outputs;          // outputs encoded (or tried)
  u64 encodes;          // encoder calls for them
  u64 budgeted;         // of those outputs, the ones whose target has a budget
  u64 budgeted_encodes; // encoder calls for those
  u64 lowered;          // written below their target's quality to fit
  u64 over;             // written over their budget (at quality 1, or a lossless file)
};
BudgetCounts budget_counts();
