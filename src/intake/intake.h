// Intake layer: reads source files into memory exactly when they are complete.
//
// (Design note to be completed with the modules.) Public API used by the application and the
// conversion workers.
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ Digests
// BLAKE2b-128 of the bytes; the empty view gives zero (zero stands for "no content").
U128 digest128(Str8 s);

//~ Start-up (called by process_entry, in this order)
void content_store_start();
void intake_start();

//~ Requests
// Registers the path (normalised), queues it for reading when it is not already queued, and
// answers the digest of its latest complete read, zero when there is none. Waits for a read
// until the deadline (absolute microseconds; a deadline already past never waits).
U128 intake_request(Str8 path, u64 deadline);

//~ Leases
// A lease keeps published contents alive while a worker reads their bytes; views obtained
// under a lease must not be used after content_lease_end.
struct ContentLease;
ContentLease *content_lease_begin();
Str8 content_lease_get(ContentLease *lease, U128 digest); // empty when the digest is unknown
void content_lease_end(ContentLease *lease);
