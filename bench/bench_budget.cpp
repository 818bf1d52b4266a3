// How many encodes the targets' byte budgets take on a folder of pictures: each file is converted
// in memory, as a worker would convert it (upright, in sRGB), and nothing is written.
//
//   bench_budget <folder> [<targets file>]
//
// Without a targets file the built-in targets are used. Prints the outputs, the encodes they
// took (all, and those of targets with a budget), how many were lowered to fit and how many
// stayed over, and the outputs of each file that has one lowered or over its budget.
#include <cstdio>

#include "app/app.h"
#include "convert/convert.h"

struct BudgetRun {
  Arena *arena;
  WorkerMemory memory;
  TargetList targets;
  u64 files;
  u64 failed;
};

// One file through the plan, as convert_attempt runs it up to the encoding.
static void budget_convert(BudgetRun *run, Str8 path) {
  Scratch scratch = scratch_begin(run->arena);
  Str8 bytes = file_read_all(scratch.arena, path);
  ConvertPlan plan;
  plan_begin(&plan, scratch.arena, run->memory.file_arena, run->memory.layout_arena, str8_lit("/out"), bytes);
  CodecProbe probe = {};
  if (!plan.format || !plan_probe(&plan, &probe)) {
    scratch_restore(scratch);
    return;
  }
  BudgetCounts before = budget_counts();
  plan_set_source(&plan, probe);
  plan_photo(&plan, false, false);
  plan_targets(&plan, &run->targets);
  plan_geometry(&plan);
  plan_decode(&plan);
  plan_resample(&plan);
  plan_stats_and_background(&plan);
  plan_checksums_and_encode(&plan);
  BudgetCounts after = budget_counts();
  run->files += 1;
  run->failed += plan.ok ? 0 : 1;
  if (after.lowered != before.lowered || after.over != before.over) {
    for (u64 i = 1; i < plan.pair_count; i += 1) {
      OutputRecord *r = plan.pairs[i].record;
      printf("%.*s: %llux%llu max_bytes %llu: %s %llu bytes at quality %d\n", (int)path.size, (const char *)path.str,
             (unsigned long long)plan.pairs[i].target.width, (unsigned long long)plan.pairs[i].target.height,
             (unsigned long long)plan.pairs[i].target.max_bytes,
             format_name(r->file_type).size ? (const char *)format_name(r->file_type).str : "-", (unsigned long long)r->bytes.size, (int)r->quality);
    }
  }
  plan_release_layouts(&plan);
  arena_reset(run->memory.file_arena);
  scratch_restore(scratch);
}

static void budget_walk(BudgetRun *run, Str8 folder) {
  Scratch scratch = scratch_begin(run->arena);
  DirIter *iter = dir_iter_open(scratch.arena, folder, DirSkipDotNames);
  DirEntry entry;
  while (iter && dir_iter_next(scratch.arena, iter, &entry)) {
    Str8 path = arena_format(scratch.arena, "%S/%S", folder, entry.name);
    if (entry.flags & FilePropsFolder) {
      budget_walk(run, path);
    } else {
      budget_convert(run, path);
    }
  }
  if (iter) dir_iter_close(iter);
  scratch_restore(scratch);
}

int main(int argc, char **argv) {
  process_init(argc, argv);
  if (process_argc() < 2 || process_argc() > 3) {
    fprintf(stderr, "usage: bench_budget <folder> [<targets file>]\n");
    return 2;
  }
  BudgetRun run = {};
  run.arena = arena_create(gib(1), mib(1));
  worker_memory_init(&run.memory);
  codec_set_png_compression_level((int)AppDefaultPngLevel);
  Str8 targets_path = process_argc() == 3 ? path_normalize(run.arena, str8_cstring(process_argv()[2])) : Str8{};
  u32 default_targets = 0;
  Str8List problems = {};
  run.targets = app_targets_load(run.arena, targets_path, &default_targets, &problems);
  for (Str8Node *n = problems.first; n; n = n->next) fprintf(stderr, "%.*s\n", (int)n->string.size, (const char *)n->string.str);
  budget_walk(&run, path_normalize(run.arena, str8_cstring(process_argv()[1])));

  BudgetCounts c = budget_counts();
  printf("files %llu (not converted %llu), targets %s\n", (unsigned long long)run.files, (unsigned long long)run.failed,
         default_targets ? "default" : "from the file");
  printf("outputs %llu, encodes %llu\n", (unsigned long long)c.outputs, (unsigned long long)c.encodes);
  printf("outputs with a budget %llu, their encodes %llu, lowered to fit %llu, over their budget %llu\n",
         (unsigned long long)c.budgeted, (unsigned long long)c.budgeted_encodes, (unsigned long long)c.lowered,
         (unsigned long long)c.over);
  return 0;
}
