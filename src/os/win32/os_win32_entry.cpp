// The program's entry on Windows: the wide main receives the arguments as UTF-16, which
// start-up converts to UTF-8.
#include "os/win32/os_win32_internal.h"

// Ends through process_exit rather than returning: worker threads are still running, and a
// return would run static destructors underneath them.
int wmain(int argc, wchar_t **argv) {
  process_init_wide(argc, argv);
  process_exit(process_entry(process_hooks()->app_main, process_argc(), process_argv()));
}
