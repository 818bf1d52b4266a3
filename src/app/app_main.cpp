// Application entry: options, set-up, the option summary, then the scan loop.
#include <cstdio>

#include "app/app.h"
#include "intake/intake.h"
#include "convert/convert.h"

//~ Progress and summary
// The status line on a terminal, redrawn at most four times a second; the rate is that of the
// last two seconds or so.
static constexpr u64 ProgressRedrawUs = 250000;
static constexpr u32 ProgressSamples = 8;

struct Progress {
  u64 drawn_us;
  u64 sample_us[ProgressSamples];
  u64 sample_done[ProgressSamples];
  u32 next;
  u32 count;
};

static void progress_draw(Progress *p, Arena *arena, u64 waiting) {
  u64 now = clock_now_us();
  if (p->count > 0 && now - p->drawn_us < ProgressRedrawUs) return;
  OutcomeTally tally = outcome_tally_read(false);
  u64 done = tally.converted + tally.set_aside;
  u32 oldest = p->count < ProgressSamples ? 0 : p->next;
  double rate = 0;
  if (p->count > 0 && now > p->sample_us[oldest]) {
    rate = (double)(done - p->sample_done[oldest]) * 1e6 / (double)(now - p->sample_us[oldest]);
  }
  p->sample_us[p->next] = now;
  p->sample_done[p->next] = done;
  p->next = (p->next + 1) % ProgressSamples;
  p->count = min_of(p->count + 1, ProgressSamples);
  p->drawn_us = now;
  console_status_show(arena_format(arena, "%llu converted, %llu left in place, %llu waiting, %.1f files/s",
                                   (unsigned long long)tally.converted, (unsigned long long)tally.left_total,
                                   (unsigned long long)waiting, rate));
}

static Str8 drain_summary(Arena *arena, u64 elapsed_us, const OutcomeTally *t) {
  auto n = [](u64 v) { return (unsigned long long)v; };
  return arena_format(arena,
                      "[Vantor] drained in %.1f s: %llu converted, %llu left in place (too large %llu, cut short or "
                      "empty %llu, not decodable %llu, unreadable %llu, write failed %llu, could not be deleted "
                      "%llu), %llu unsupported set aside.\n",
                      (double)elapsed_us / 1e6, n(t->converted), n(t->left_total), n(t->left[TallyTooLarge]),
                      n(t->left[TallyCutShortOrEmpty]), n(t->left[TallyNotDecodable]), n(t->left[TallyUnreadable]), n(t->left[TallyWriteFailed]),
                      n(t->left[TallyNotDeleted]), n(t->set_aside));
}

//~ Entry
// The pause between two passes over the input tree, and the shortest one when a change ended it
// early (see the loop).
static constexpr u64 AppScanPauseUs = 200000;
static constexpr u64 AppScanGapUs = 20000;

int app_main(ArgTable *table) {
  // --version (or -version) answers before set-up, which would create the folders
  if (arg_flag(table, str8_lit("version"))) {
    app_print_version();
    fflush(stdout);
    return AppExitDone;
  }

  // options; the targets path lives for the whole run
  Arena *options_arena = arena_create(kib(512), kib(256));
  AppCommandLine line = app_command_line_read(options_arena, table);
  AppOptions options = line.options;
  bool help = line.help, drain = line.drain;
  // The help stays text whatever the log's form; the JSON log listens from before the first
  // worker starts, and the status line stays off, as standard error may be collected with it.
  bool json = line.json_log && !help;
  if (json) app_log_json_start();

  // What becomes of the sources is counted for the summary (a drain's end or a stop's) and the
  // status line, from before the first worker starts. From here on a stop asked for (SIGTERM,
  // Ctrl+C) lets the sources in flight finish; a second one ends the process at once.
  bool status_line = !help && !json && console_status_wanted();
  if (!help) {
    outcome_tally_enable();
    stop_requests_install();
  }

  // set-up, then the summary and whatever the user should know about the options
  Str8List problems = {};
  u32 running = app_setup(&options, &problems);
  if (json) {
    Scratch scratch = scratch_mark(thread_scratch_arena(nullptr, 0));
    if (running) {
      AppState *state = app_state();
      app_log_options(scratch.arena, state, state->default_targets ? str8_lit("default") : options.targets_path);
    }
    str8_list_append_list(&problems, &line.warnings);
    app_log_problems(scratch.arena, &problems);
    if (running) app_log_line(scratch.arena, "info", "waiting", str8_lit("Waiting for PNG/JPEG files..."));
    else app_log_line(scratch.arena, "error", "error", str8_lit("Unable to run the program, check paramaters."));
    scratch_restore(scratch);
  } else if (running) {
    AppState *state = app_state();
    Str8 targets_text = state->default_targets ? str8_lit("default") : options.targets_path;
    printf("Options:\n\tin:        %.*s\n\tout:       %.*s\n\tmetadatas: %.*s\n\ttargets:   %.*s\n\tthread:    "
           "%d\n\torientation: %s\n\tcolor:     %s\n\tpng_level: %d\n",
           (int)state->in_folder.size, (const char *)state->in_folder.str, (int)state->out_folder.size,
           (const char *)state->out_folder.str, (int)state->metadatas_folder.size,
           (const char *)state->metadatas_folder.str, (int)targets_text.size, (const char *)targets_text.str,
           (int)state->thread_count, state->keep_orientation ? "stored" : "upright",
           state->keep_color ? "stored" : "sRGB", (int)state->png_level);
    if (state->metrics_url.size > 0) {
      printf("\tmetrics:   %.*s\n", (int)state->metrics_url.size, (const char *)state->metrics_url.str);
    }
    printf("\nWaiting for PNG/JPEG files...\n");
    str8_list_append_list(&problems, &line.warnings);
    for (Str8Node *n = problems.first; n; n = n->next) {
      printf("%.*s\n", (int)n->string.size, (const char *)n->string.str);
    }
    fflush(stdout);
  } else {
    for (Str8Node *n = problems.first; n; n = n->next) {
      printf("%.*s\n", (int)n->string.size, (const char *)n->string.str);
    }
    printf("Unable to run the program, check paramaters.\n");
    fflush(stdout);
  }
  int status = running ? AppExitDone : AppExitUsage;
  ServiceNotes service = {};
  if (running && !help) app_service_ready(&service);

  // the loop: it ends after the help text, once a drain is done, or once a stop is
  u64 started_us = clock_now_us();
  u64 held_until_us = 0; // a drain that buried an instance goes on at least until then
  Progress progress = {};
  bool stopped = false;  // a stop was asked for: nothing new is taken, what was taken finishes
  u64 stop_deadline_us = 0;
  while (running) {
    Scratch scratch = scratch_mark(thread_scratch_arena(nullptr, 0));
    if (!help && !stopped && stop_requests() > 0) {
      stopped = true;
      stop_deadline_us = clock_now_us() + AppStopGraceUs;
      service_notify(str8_lit("STOPPING=1"));
      convert_stop();
    }
    if (help) {
      app_print_help(scratch.arena);
      fflush(stdout);
      running = 0;
    } else if (stopped) {
      // No pass offers anything now. The sources in flight are committed, or what is not done
      // by the deadline is left as a killed run leaves it: in place, never half-written.
      if (!convert_in_flight() || clock_now_us() >= stop_deadline_us) running = 0;
      app_service_beat(&service);
    } else {
      // Drain mode ends once nothing is left that a worker could still change: every file in
      // the tree has had an attempt since its last change and no worker is in a cycle. A source
      // that a live instance sharing the folder claimed is that one's (settled for a while);
      // one whose claimer went quiet is not, and is asked about again until it is taken over.
      u64 pending = 0;
      if (instances_bury_gone(false) > 0) held_until_us = clock_now_us() + ElsewhereRecheckUs;
      app_scan_pass(scratch.arena, &pending);
      if (app_state()->metrics_url.size > 0) atomic_store_u64(&app_state()->sources_waiting, pending);
      if (status_line) progress_draw(&progress, scratch.arena, pending);
      app_service_tick(&service, outcome_tally_read(false).converted, pending);
      // A settled file that changed a moment ago may not have been looked at yet: all of them
      // are, before the drain ends. A neighbour killed since the last look for gone instances
      // left temporaries that only its burial sweeps, so the drain looks once more and ends
      // only when that look buried no one; the sources that a buried instance held are asked
      // about again first, as they are anyone's now.
      // A source a worker has converted is in flight until the committer is done with it: its
      // removal from the folder comes before its claim is released and its outcome told.
      u64 busy = atomic_load_u64(&app_state()->workers_busy);
      bool in_flight = drain && convert_in_flight();
      u64 rechecked = drain && pending == 0 && !in_flight ? intake_recheck_settled() : 0;
      bool idle = drain && pending == 0 && !in_flight && rechecked == 0;
      if (idle && clock_now_us() >= held_until_us) {
        if (instances_bury_gone(true) > 0) {
          held_until_us = clock_now_us() + ElsewhereRecheckUs;
        } else {
          running = 0;
        }
      }
      scratch_restore(scratch);
      if (running) {
        // With nothing waiting, a file closed after writing (or moved in, or removed) starts the
        // next pass at once instead of after the pause: a photo dropped into a quiet folder is
        // taken as soon as its writer is done. After a pass that found something waiting, the
        // next one comes after the full pause; one woken early comes no sooner than the
        // shortest gap, however many files change meanwhile. A drain looks again as soon as it
        // can tell more: once the workers have taken everything queued, when what waits is all
        // in their hands (each source's removal wakes the pause), and after the shortest gap
        // when only the last steps of a worker or of the committer, or the sources looked at
        // again (gone: another instance took them) stand between it and its end.
        u64 pause_from = clock_now_us();
        bool woken = false;
        if (drain && pending == 0 && (in_flight || rechecked > 0)) {
          sleep_ms(AppScanGapUs / 1000);
        } else if (pending == 0 || (drain && pending <= busy)) {
          woken = folder_watch_wait(pause_from + AppScanPauseUs);
        } else if (drain) {
          do {
            sleep_ms(AppScanGapUs / 1000);
          } while (clock_now_us() - pause_from < AppScanPauseUs &&
                   !string_ring_is_empty(&app_state()->conversion_queue));
        } else {
          sleep_ms(AppScanPauseUs / 1000);
        }
        u64 since = clock_now_us() - pause_from;
        if (woken && since < AppScanGapUs) sleep_ms((u32)((AppScanGapUs - since + 999) / 1000));
        continue;
      }
    }
    if (running) sleep_ms(100);
    scratch_restore(scratch);
  }

  if (status == AppExitDone && !help && !stopped) service_notify(str8_lit("STOPPING=1"));
  if (status == AppExitDone) instances_stop();
  metrics_stop();
  if (status_line) console_status_clear();
  // A stopped run has its summary too, and ends with 0: it did what it was asked. Files cut
  // short are named only by a drain that ended by itself: a stop may come while one is written.
  if ((drain || stopped) && status == AppExitDone && !help) {
    Scratch scratch = scratch_mark(thread_scratch_arena(nullptr, 0));
    if (!stopped) outcome_tally_report_cut_short();
    OutcomeTally tally = outcome_tally_read(true);
    u64 elapsed_us = clock_now_us() - started_us;
    Str8 summary = drain_summary(scratch.arena, elapsed_us, &tally);
    if (json) app_log_summary(scratch.arena, elapsed_us, &tally, summary);
    else console_print(summary);
    if (!stopped && tally.left_total > 0) status = AppExitLeftInPlace;
    scratch_restore(scratch);
  }
  if (json) {
    Scratch scratch = scratch_mark(thread_scratch_arena(nullptr, 0));
    app_log_line(scratch.arena, "info", "ended", str8_lit("[Vantor] ended."));
    scratch_restore(scratch);
  } else {
    console_print(str8_lit("[Vantor] ended.\n"));
  }
  return status;
}

const ProcessHooks *process_hooks() {
  static const ProcessHooks hooks = {content_store_start, intake_start, app_main};
  return &hooks;
}
