// Application entry: reads the options, sets up, prints the summary, then scans the input
// tree forever (or prints the help text and returns).
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ Entry
// Exit statuses: a crash ends the process with 1 through the fatal report.
enum AppExitStatus : int {
  AppExitDone = 0,        // help; or a drain that converted every source and failed at nothing
  AppExitUsage = 2,       // set-up failed with the options given
  AppExitLeftInPlace = 3, // a drain left a source in place or failed at something
};
int app_main(ArgTable *table);
