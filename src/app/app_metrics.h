// The metrics server (-metrics=<address>:<port>): Prometheus metrics at /metrics, a health
// check at /health, a status page for a person at / and the thumbnails it shows.
//
// Threads: the server answers on its own thread (os layer, HTTP server). What it reports comes
// from the activity it listens to (counted on the publishing threads under the metrics lock,
// a short copy, never across I/O or the network) and from atomics the application keeps (busy
// workers, sources waiting, each worker's current source). The server copies what it needs
// under that lock, then renders and sends with no lock held: a client never slows a worker.
#pragma once

#include "app/app_state.h"

//~ What the server watches
struct MetricsWatched {
  Str8 out_folder;
  Str8 metadatas_folder;
  WorkerWatch *workers; // worker_count of them
  u64 worker_count;
  u64 *workers_busy;    // atomic
  u64 *sources_waiting; // atomic: the main loop's pending count of its last pass
};

//~ The server
// At set-up, on the main thread, before the first worker starts: listens on `address` (see
// net_listen) and starts answering; *url is "http://<address>:<port>/" with the port bound.
// False with one "error:" line in *problems when the address is none or cannot be bound.
bool metrics_start(Arena *arena, Str8 address, const MetricsWatched *watched, Str8 *url, Str8List *problems);
void metrics_stop();

//~ Answers (for the server and for tests)
// The answer to a GET of `path`: /metrics, /health, /, /thumb/<name>; 404 otherwise.
void metrics_answer(Arena *arena, Str8 path, HttpAnswer *answer, void *user);
// Counts one event; the activity listener the server adds.
void metrics_note(const ActivityEvent *event, void *user);
