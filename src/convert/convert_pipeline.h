// The image pipeline of one conversion attempt: the plan carried out, on the plan's arenas (see
// convert_plan.h). Each step runs only while plan->ok holds, after plan_geometry: decoding,
// resampling, statistics and background, checksums and encoding.
#pragma once

#include "base/base.h"
#include "convert/image/image.h"
#include "convert/convert_plan.h"
#include "convert/convert_budget.h"

// Decodes every needed layout once (a 16-bit source through the 16-bit decoder). A picture that
// the format's decoder crops or turns itself (HEIF) is planned again at the size it decoded to.
void plan_decode(ConvertPlan *plan);
// Resamples every output of another size than the source.
void plan_resample(ConvertPlan *plan);
// Statistics of every picture, then the background of letterboxed outputs.
void plan_stats_and_background(ConvertPlan *plan);
// Checksums and names of every record, then the encoding of every output (within its
// target's byte budget, see convert_budget). The decoded layouts
// are released in between when no output of the source's size still reads them.
void plan_checksums_and_encode(ConvertPlan *plan);
// Returns the decoded layouts' memory (the end of every attempt does it too).
void plan_release_layouts(ConvertPlan *plan);
