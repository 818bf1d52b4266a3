// What happens to the sources as the program runs, for those who watch it: the JSON log and
// the metrics server listen; the workers, the committer and the warnings publish.
//
// Listeners are added at set-up, before the first worker starts, and never removed. Each is
// called on the publishing thread (a worker, the committer or the main thread), several at
// once from different threads, with no lock of the publisher's held: a listener keeps only what
// it copies, guards its own state, and never waits on the disk or the network.
#pragma once

#include "base/base.h"

//~ Events
enum ActivityKind : u32 {
  ActivityConverted,   // the source's outputs and metadata are in place and it left the input
  ActivityLeftInPlace, // a version of the source stays where it is (reason: a TallyReason)
  ActivitySetAside,    // an unsupported file was moved into <out>/unsupported
  ActivityWarning,     // a warning printed on the console (message), about source when it is known
};

struct ActivityOutput {
  Str8 path;      // the file as it was put in place, the source's copy first
  u32 file_type;  // FileType
  u32 width;      // pixels; 0 for the source's copy of a format not decoded
  u32 height;
  u64 bytes;
};

struct ActivityEvent {
  u32 kind;        // ActivityKind
  u32 reason;      // TallyReason for ActivityLeftInPlace, TallyNone otherwise
  Str8 source;     // the source's path below the input folder ('/' between names); may be empty for a warning
  u64 source_bytes;
  u64 seconds_us;  // from the worker taking the source to its outcome; 0 when not timed
  ActivityOutput *outputs; // converted: the copy, then one per target, in the targets' order
  u32 output_count;
  Str8 message;    // the warning's text, or the one printed about a source left in place
};

// The event and what it points to live only during the call.
typedef void ActivityListener(const ActivityEvent *event, void *user);

constexpr u32 ActivityListenersMax = 4;

// At set-up only (the main thread, before the workers start). False once there are
// ActivityListenersMax.
bool activity_listen(ActivityListener *listener, void *user);
// Whether anyone listens: a publisher gathers an event's parts only then.
bool activity_wanted();
// Any thread; calls every listener in the order they were added.
void activity_publish(const ActivityEvent *event);
