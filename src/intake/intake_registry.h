// Request registry and detector: the front half of the intake.
//
// The registry holds every path that was asked for and still has a file: the properties of its
// last complete read and a claim flag that keeps the path on the intake queue at most once. The
// detector re-queues a path whose file no longer matches its last complete read. A read that
// finds the file gone forgets the path.
#pragma once

#include "intake/intake_store.h"

//~ Registry
struct RequestNode {
  RequestNode *next;
  Str8 path;         // normalised, zero-terminated; the key, compared byte for byte
  u64 path_capacity; // bytes of the path buffer (a power of two), kept for reuse
  DenseTime stamp;   // last-write time of the last complete read; 0 before that
  FileProps props;   // properties of the last complete read; valid when read_complete
  u32 read_complete;
  u32 claim;         // 1 while the path is on the intake queue or being read (atomic)
  u64 times_queued;  // atomic
  u64 reads_dropped; // atomic
};

struct RequestBucket {
  RequestNode *first;
  RequestNode *last;
};

// Free nodes are kept by the size of their path buffer: 2^class bytes.
constexpr u64 RequestNodeClassCount = 64;

struct IntakeStripe {
  Arena *arena;
  OsObject *cv;   // woken by a streamer after each read of a path of the stripe
  OsObject *lock; // SRW lock guarding the stripe's buckets, nodes and free nodes
  RequestNode *free_nodes[RequestNodeClassCount];
};

struct IntakeState {
  Arena *arena;
  u64 bucket_count; // 1024; a path's bucket is its key's first word modulo this
  u64 stripe_count;
  RequestBucket *buckets;
  IntakeStripe *stripes;
  IntakeQueue queue;
  u64 streamer_count;
  OsObject **streamers;
  OsObject *detector;
};

IntakeState *intake_state();
// Makes the registry and the queue, then starts the streamers and the detector; called once,
// after content_store_start.
void intake_start();

//~ Requests
// Registers the path (normalised), queues it for reading when it is not already queued, and
// answers the digest of its latest complete read: zero when there is none, when the latest read
// found an empty file, or when the file was found gone. Waits for a read until the deadline
// (absolute microseconds; a deadline already past never waits).
U128 intake_request(Str8 path, u64 deadline);
// intake_request, and *read_props receives the file's properties at the latest complete read,
// the one that produced the answer (an empty file's too, whose answer is zero; all zero when
// there is no read), so a caller can tell whether the answer is about the version on disk now.
U128 intake_request_version(Str8 path, u64 deadline, FileProps *read_props);

//- streamer side
enum ReadOutcome : u32 {
  ReadComplete = 1, // published; props are the file's version
  ReadDropped = 2,  // changed during the read, or fewer bytes came
  ReadGone = 3,     // no file there (nothing, or a folder) before and after; the path
                    // index entry is already forgotten
};
// Releases the path's claim after a read and records the outcome; wakes the stripe's waiters.
void registry_read_done(Str8 path, U128 path_key, ReadOutcome outcome, FileProps props);

//~ Detector
void detector_thread(u64 arg);

//~ Inspection
struct IntakePathInfo {
  bool registered;
  u32 claim;
  u32 read_complete;
  DenseTime stamp;
  u64 times_queued;
  u64 reads_dropped;
  u64 version; // reads published
  U128 latest;
  U128 previous;
};
IntakePathInfo intake_path_info(Str8 path);
