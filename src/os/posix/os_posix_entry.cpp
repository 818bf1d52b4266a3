// The program's entry on POSIX: arguments are already UTF-8 bytes.
#include "os/os.h"

int main(int argc, char **argv) {
  process_startup(argc, argv);
  process_exit(0);
}
