#include <atomic>

#include "convert/convert_budget.h"

//~ Budget
static std::atomic<u64> budget_totals[6];

enum : u32 { CountOutputs, CountEncodes, CountBudgeted, CountBudgetedEncodes, CountLowered, CountOver };

static void budget_count(u32 which, u64 amount) { budget_totals[which].fetch_add(amount, std::memory_order_relaxed); }

BudgetCounts budget_counts() {
  BudgetCounts c = {};
  c.outputs = budget_totals[CountOutputs].load(std::memory_order_relaxed);
  c.encodes = budget_totals[CountEncodes].load(std::memory_order_relaxed);
  c.budgeted = budget_totals[CountBudgeted].load(std::memory_order_relaxed);
  c.budgeted_encodes = budget_totals[CountBudgetedEncodes].load(std::memory_order_relaxed);
  c.lowered = budget_totals[CountLowered].load(std::memory_order_relaxed);
  c.over = budget_totals[CountOver].load(std::memory_order_relaxed);
  return c;
}

// One encode into *bytes, at the top of the file arena, so that a file not kept is given back
// by rewinding the arena to where it began.
static bool budget_encode_once(ConvertPlan *plan, OutputRecord *record, const ImageFormat *format, Str8 *bytes,
                               u64 width, u64 height, int quality, bool lossless, ImageMetadata *kept) {
  ImageStats *image = record->image;
  EncodeSink sink;
  encode_sink_begin(&sink, plan->file_arena, bytes, image->pixel_size);
  StderrCapture capture;
  plan_library_begin(format, &capture);
  bool encoded = metadata_empty(kept)
                     ? format->encode(&sink, image->pixels, image->pixel_size, width, height, image->pixel_layout,
                                      quality, lossless)
                     : format->encode_kept(&sink, image->pixels, image->pixel_size, width, height,
                                           image->pixel_layout, quality, lossless, kept);
  plan_library_end(plan, record, format, &capture);
  if (!encoded) *bytes = Str8{};
  return encoded;
}

static void budget_note_over(ConvertPlan *plan, OutputRecord *record, u64 budget, bool at_quality_1) {
  Str8 how = at_quality_1 ? str8_lit("at quality 1") : str8_lit("as it is");
  message_add(plan->arena, &record->messages, MessageNote,
              arena_format(plan->arena, "Output is %llu bytes, over its budget of %llu bytes; it was written %S.",
                           (unsigned long long)record->bytes.size, (unsigned long long)budget, how));
  budget_count(CountOver, 1);
}

bool plan_encode_output(ConvertPlan *plan, PlanPair *pair, u64 width, u64 height, ImageMetadata *kept) {
  OutputRecord *record = pair->record;
  const ImageFormat *format = format_of_type((u32)pair->target.image_type);
  u64 budget = pair->target.max_bytes;
  budget_count(CountOutputs, 1);
  if (budget) budget_count(CountBudgeted, 1);
  if (!format || !format->encode) return false;
  bool lossless = format->can_be_lossless && pair->target.lossless;
  bool lossy = format->takes_quality && !lossless;
  int quality = pair->target.quality;

  // at the target's quality: an output that fits (or has no budget) is done
  u64 mark = arena_offset(plan->file_arena);
  bool encoded = budget_encode_once(plan, record, format, &record->bytes, width, height, quality, lossless, kept);
  u32 encodes = 1;
  if (encoded && budget && record->bytes.size > budget) {
    if (!lossy || quality <= 1) {
      budget_note_over(plan, record, budget, lossy);
    } else {
      // Bisection over the qualities below, each file over the budget given back at once. The
      // last encode tries quality 1 while nothing fits yet, so that a file written over its
      // budget is always the smallest this format makes.
      arena_rewind(plan->file_arena, mark);
      record->bytes = Str8{};
      Str8 best = {}, floor = {};
      int best_quality = 0, low = 1, high = quality - 1;
      for (; encodes < BudgetEncodesMax && low <= high; encodes += 1) {
        bool last = encodes + 1 == BudgetEncodesMax;
        int tried = last && best_quality == 0 ? low : (low + high + 1) / 2;
        Str8 bytes = {};
        u64 tried_mark = arena_offset(plan->file_arena);
        bool made = budget_encode_once(plan, record, format, &bytes, width, height, tried, lossless, kept);
        if (made && bytes.size <= budget) {
          best = bytes;
          best_quality = tried;
          low = tried + 1;
        } else {
          if (made && tried == 1) {
            floor = bytes;
          } else {
            arena_rewind(plan->file_arena, tried_mark);
          }
          high = tried - 1;
        }
      }
      encoded = best.size || floor.size;
      if (best.size) {
        record->bytes = best;
        quality = best_quality;
        budget_count(CountLowered, 1);
      } else if (floor.size) {
        record->bytes = floor;
        quality = 1;
        budget_note_over(plan, record, budget, true);
      }
    }
  }
  budget_count(CountEncodes, encodes);
  if (budget) budget_count(CountBudgetedEncodes, encodes);
  if (!encoded) return false;
  record->file_type = format->file_type;
  if (lossy) record->quality = (u8)quality;
  return true;
}
