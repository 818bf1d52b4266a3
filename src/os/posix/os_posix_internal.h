// Backend-private declarations shared by the POSIX files of the OS layer.
#pragma once

#include "os/os.h"

//~ Fatal report
// Gives back the calling thread's alternate signal stack; a thread started by thread_create
// calls it when its entry returns.
void fatal_report_thread_release();
