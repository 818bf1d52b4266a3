// BLAKE2b-128 (our own, RFC 7693) and XXH3-128 (libxxhash behind it); the only place that
// computes either.
#pragma once

#include "base/base_string.h"

//~ BLAKE2b
// The 16-byte BLAKE2b digest of the bytes (unkeyed, digest length 16), read as two
// little-endian words. Every input has its digest, the empty one too.
U128 blake2b_128(const void *data, u64 size);

// The same digest fed piece by piece: begin, feed any number of times (pieces of any size,
// empty ones too), end. Feeding the bytes in pieces gives the digest of the whole.
struct Blake2b128 {
  u64 h[8];
  u64 total;  // bytes compressed so far
  u8 block[128];
  u64 filled; // bytes waiting in block: the last block is compressed only by blake2b128_end
};
void blake2b128_begin(Blake2b128 *state);
void blake2b128_feed(Blake2b128 *state, const void *data, u64 size);
U128 blake2b128_end(Blake2b128 *state);

//~ XXH3
// XXH3's 128-bit hash of the bytes (seed 0): its low half in the first word, its high half in
// the second. Fast and not cryptographic: for what never leaves the process.
U128 xxh3_128(const void *data, u64 size);
