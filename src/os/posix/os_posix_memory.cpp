// Virtual memory on POSIX: reserve with an inaccessible private mapping, commit by granting
// read/write access, release by unmapping the whole reservation.
#include <sys/mman.h>

#include "os/os.h"

//~ Virtual memory
void *mem_reserve(u64 size) {
  void *p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

bool mem_commit(void *ptr, u64 size) { return mprotect(ptr, size, PROT_READ | PROT_WRITE) == 0; }

bool mem_release(void *ptr, u64 size) { return munmap(ptr, size) == 0; }
