// The program's entry on Windows: the arguments are split from the command line as the system
// hands it over, in UTF-16, by the same rules as CommandLineToArgvW, rather than taken from
// the runtime's argv, whose corner cases (`""` inside quotes, the program's path) have changed
// between C runtimes.
#include "os/win32/os_win32_internal.h"

// Ends through process_exit rather than returning: worker threads are still running, and a
// return would run static destructors underneath them.
int wmain(int, wchar_t **) {
  process_init_command_line(GetCommandLineW());
  process_exit(process_entry(process_hooks()->app_main, process_argc(), process_argv()));
}
