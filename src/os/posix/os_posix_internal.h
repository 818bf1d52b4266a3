// Backend-private declarations shared by the POSIX files of the OS layer.
#pragma once

#include "os/os.h"

//~ Threads, locks and clocks
// Prepares the SyncPool's lock and arena; start-up calls it once, before any other thread.
void sync_pool_init();

//~ Fatal report
// Gives back the calling thread's alternate signal stack; a thread started by thread_create
// calls it when its entry returns.
void fatal_report_thread_release();
