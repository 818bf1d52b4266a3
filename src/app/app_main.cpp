// Placeholder application entry until the options and scan loop land.
#include <cstdio>

#include "os/os.h"

static void app_main_placeholder(ArgTable *) { printf("[Vantor] ended.\n"); }

const ProcessHooks *process_hooks() {
  static const ProcessHooks hooks = {nullptr, nullptr, app_main_placeholder};
  return &hooks;
}
