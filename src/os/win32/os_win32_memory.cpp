// Virtual memory on Windows: reserve address space, commit pages read/write on demand, release
// the whole reservation at once.
#include "os/win32/os_win32_internal.h"

//~ Virtual memory
void *mem_reserve(u64 size) { return VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_READWRITE); }

bool mem_commit(void *ptr, u64 size) { return VirtualAlloc(ptr, size, MEM_COMMIT, PAGE_READWRITE) != nullptr; }

bool mem_release(void *ptr, u64) { return VirtualFree(ptr, 0, MEM_RELEASE) != 0; }
