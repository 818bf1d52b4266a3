// Application layer: the targets document reader, the set-up of the process-wide AppState
// (folders, targets, conversion queue, ClaimTable, conversion workers), the command line
// (options, help, version), the scan of the input tree, the JSON log, what the service manager
// is told, and the entry with its main loop (progress line, drain report, the stop).
//
// Threads: everything here runs on the main thread. app_setup writes AppState's folders,
// targets and limits before it starts the workers, which only read them afterwards. The main
// loop is the only producer on the conversion queue; it pushes under the queue's critical
// section and never waits (deadline 0), and it holds no lock across a pass. The ClaimTable is
// built here and locked by the workers (one stripe lock at a time, never with another); the
// main loop does not touch it: it asks the intake which paths are settled.
// Lock order: no lock of this layer is held while another is taken.
//
// Memory: AppState and everything it points to live in its own arena until the process ends;
// the targets file is read into an arena destroyed when set-up returns; each scan pass uses a
// scratch region of the main thread that is restored after the pass.
#pragma once

#include "app/app_targets_doc.h"
#include "app/app_state.h"
#include "app/app_setup.h"
#include "app/app_options.h"
#include "app/app_scan.h"
#include "app/app_log.h"
#include "app/app_metrics.h"
#include "app/app_service.h"
#include "app/app_main.h"
