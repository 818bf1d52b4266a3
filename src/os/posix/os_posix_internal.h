// Backend-private declarations shared by the POSIX files of the OS layer.
#pragma once

#include "os/os.h"

//~ Libraries' standard error
// The real standard error's descriptor (2 when the process started without one): what the fatal
// report writes to, also from a signal handler, while a library call may have descriptor 2.
int posix_error_fd();
// Sends what the pipe holds to the real standard error: a library's last words before a fault
// (an assertion's line) come before the report. Safe in a signal handler.
void posix_divert_send_pending();

//~ Fatal report
// Gives back the calling thread's alternate signal stack; a thread started by thread_create
// calls it when its entry returns.
void fatal_report_thread_release();
