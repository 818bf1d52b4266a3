// BLAKE2b-128 (libb2 behind it; the only place that calls that library).
#pragma once

#include "base/base_string.h"

// The 16-byte BLAKE2b digest of the bytes (unkeyed, digest length 16), read as two
// little-endian words. Every input has its digest, the empty one too.
U128 blake2b_128(const void *data, u64 size);
