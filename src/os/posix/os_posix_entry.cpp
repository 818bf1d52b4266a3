// The program's entry on POSIX: arguments are already UTF-8 bytes, each element of argv one
// argument exactly as the shell or the starting program passed it.
#include "os/os.h"

// Ends through process_exit rather than returning: worker threads are still running, and a
// return would run static destructors underneath them.
int main(int argc, char **argv) {
  process_exit(process_startup(argc, argv));
}
