// Request registry and detector: the front half of the intake.
//
// The registry holds every path that was asked for and still has a file: the properties of its
// last complete read and an in-queue flag that keeps the path on the intake queue at most once. The
// detector re-queues a path whose file no longer matches its last complete read: within half a
// second while the path waits to be converted, within five seconds once the application has
// settled it (its bytes are then let go). A read that finds the file gone forgets the path.
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
  u32 unreadable;    // the last complete look found a file that could not be opened (props valid)
  u32 settled;       // 1 once the application decided about the version in props (atomic); its
                     // bytes are no longer held, and it is looked at rarely until it changes
  u64 retry_at;      // clock_now_us after which a settled version is read again anyway; 0 never
  u32 in_queue;      // 1 while the path is on the intake queue or being read (atomic)
  u64 times_queued;  // atomic
  u64 reads_dropped; // atomic
};

// Free nodes are kept by the size of their path buffer: 2^class bytes.
constexpr u64 RequestNodeClassCount = 64;

struct RegistryStripeExtra {
  OsObject *cv; // woken by a streamer after each read of a path of the stripe
  RequestNode *free_by_class[RequestNodeClassCount];
};
// Buckets of RequestNode lists: a path's bucket is its key's first word modulo the bucket count.
typedef StripedTable<RequestNode, RegistryStripeExtra> RegistryTable;

struct IntakeState {
  Arena *arena;
  RegistryTable registry; // 16384 buckets
  IntakeQueue queue;
  u64 streamer_count;
  OsObject **streamers;
  OsObject *detector;
};

IntakeState *intake_state();
// Makes the registry and the queue, then starts the streamers and the detector; called once,
// after content_store_start.
void intake_start();

// Asked by a streamer before it reads a file, with the file's properties then: true when the
// file is not this program's to read now (another program sharing the folder works on it). The
// read is not made; the path is read again when it is asked for again. Any streamer thread.
typedef bool IntakeReadGate(Str8 path, FileProps props);
// Installed once, before anything is requested; none means every file is read.
void intake_set_read_gate(IntakeReadGate *gate);

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

// What the intake knows of a path, for the worker that converts it.
enum IntakeReadKind : u32 {
  IntakeNoRead = 0,     // nothing read yet (or only an older version, when one was asked for)
  IntakeBytes = 1,      // a complete read: digest (zero for an empty file) and its props
  IntakeUnreadable = 2, // the file is there but cannot be opened; props are its version
  IntakeSettled = 3,    // the version in props was settled: its bytes are no longer held
};
struct IntakeRead {
  u32 kind; // IntakeReadKind
  U128 digest;
  FileProps props;
};
// intake_request for the worker: with `seen`, an answer about another version than this one
// is not taken; the file is read again at once (once per call) and the call waits for it.
IntakeRead intake_request_read(Str8 path, u64 deadline, const FileProps *seen);

// The application is done with this version of the path until the file changes: the bytes of
// its reads are let go (read again if it changes) and the detector looks at it only every few
// seconds. With retry_after_us, the version is read and offered again after that long anyway.
// False when the registry's last complete read is not of this version (nothing changes then).
bool intake_settle(Str8 path, FileProps version, u64 retry_after_us);
// intake_settle for a version the application leaves to another program for a while, whether it
// was read or not: its reads go, it is not read or offered until the file changes or the retry
// comes. False while a read of the path is under way (nothing changes then).
bool intake_hold(Str8 path, FileProps version, u64 retry_after_us);
// The caller deleted the path's file: the bytes of its reads are let go now (the path itself
// is forgotten once a read finds the file gone).
void intake_release_reads(Str8 path);
// True when the path's current registry state is a settled version (no file query).
bool intake_settled(Str8 path);
// Looks at every settled path's file now; changed ones are queued for reading. Returns how
// many changed. For the end of a drain, which must not wait for the detector's slow round.
u64 intake_recheck_settled();

//- streamer side
enum ReadOutcome : u32 {
  ReadComplete = 1, // published; props are the file's version
  ReadDropped = 2,  // changed during the read, or fewer bytes came
  ReadGone = 3,     // no file there (nothing, or a folder) before and after; the path
                    // index entry is already forgotten
  ReadUnreadable = 4, // the same file before and after, but it could not be opened; the path
                      // index entry (an older version's reads) is already forgotten
  ReadPassed = 5,     // not read: the read gate said it is not ours now; nothing is recorded
};
// Clears the path's in-queue flag after a read and records the outcome; wakes the stripe's waiters.
void registry_read_done(Str8 path, U128 path_key, ReadOutcome outcome, FileProps props);

//~ Detector
void detector_thread(u64 arg);

//~ Inspection
struct IntakePathInfo {
  bool registered;
  u32 in_queue;
  u32 read_complete;
  DenseTime stamp;
  u64 times_queued;
  u64 reads_dropped;
  u64 version; // reads published
  U128 latest;
  U128 previous;
};
IntakePathInfo intake_path_info(Str8 path);
