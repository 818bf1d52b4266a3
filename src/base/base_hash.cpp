#include <blake2.h>
#include <xxhash.h>

#include "base/base_hash.h"

U128 blake2b_128(const void *data, u64 size) {
  u8 digest[16] = {};
  blake2b(digest, data, nullptr, sizeof(digest), size, 0);
  U128 result = {};
  for (u32 i = 0; i < 16; i += 1) result.u64s[i / 8] |= (u64)digest[i] << (8 * (i % 8));
  return result;
}

U128 xxh3_128(const void *data, u64 size) {
  XXH128_hash_t hash = XXH3_128bits(data, size);
  U128 result = {};
  result.u64s[0] = hash.low64;
  result.u64s[1] = hash.high64;
  return result;
}
