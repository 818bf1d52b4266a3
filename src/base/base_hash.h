// BLAKE2b-128 (libb2 behind it) and XXH3-128 (libxxhash behind it); the only place that calls
// those libraries.
#pragma once

#include "base/base_string.h"

// The 16-byte BLAKE2b digest of the bytes (unkeyed, digest length 16), read as two
// little-endian words. Every input has its digest, the empty one too.
U128 blake2b_128(const void *data, u64 size);

// XXH3's 128-bit hash of the bytes (seed 0): its low half in the first word, its high half in
// the second. Fast and not cryptographic: for what never leaves the process.
U128 xxh3_128(const void *data, u64 size);
