// Base layer: fixed-width types, size helpers and the process facts the arena needs.
//
// The base layer owns memory (arenas and per-thread scratch), byte-string views and lists,
// UTF-8/UTF-16 conversion, paths and the formatting engine. It holds no locks and no shared
// mutable state apart from the process-wide SysInfo record and the path separator rule
// (base_string.h), both written once by start-up before any other thread exists and read-only
// afterwards. Everything here may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;
typedef int64_t i64;
typedef float f32;
typedef double f64;

constexpr u64 kib(u64 n) { return n << 10; }
constexpr u64 mib(u64 n) { return n << 20; }
constexpr u64 gib(u64 n) { return n << 30; }

template <typename T> constexpr T min_of(T a, T b) { return a < b ? a : b; }
template <typename T> constexpr T max_of(T a, T b) { return a > b ? a : b; }
template <typename T> constexpr T clamp_of(T lo, T x, T hi) { return x < lo ? lo : (x > hi ? hi : x); }

// Next multiple of g at or above x; g need not be a power of two.
constexpr u64 align_up(u64 x, u64 g) { return g == 0 ? x : ((x + g - 1) / g) * g; }

//~ Byte readers
// Numbers as files store them, a byte at a time, so that any address will do; the caller has
// checked that the bytes are there.
inline u64 read_be16(const u8 *p) { return (u64)p[0] << 8 | p[1]; }
inline u64 read_be32(const u8 *p) { return (u64)p[0] << 24 | (u64)p[1] << 16 | (u64)p[2] << 8 | p[3]; }
inline u64 read_le16(const u8 *p) { return (u64)p[0] | (u64)p[1] << 8; }
inline u64 read_le32(const u8 *p) { return (u64)p[0] | (u64)p[1] << 8 | (u64)p[2] << 16 | (u64)p[3] << 24; }

//~ Byte-string view (operations in base_string.h)
// A view never owns its bytes; text built in an arena is followed by a zero byte that the
// size does not count.
struct Str8 {
  u8 *str;
  u64 size;
};

//~ Process facts
// Filled once by start-up, before the first arena is made. The arena reads only
// large_page_minimum, as the granule of every reservation (4096 when it is 0), and error_write.
struct SysInfo {
  u32 processor_count;
  u64 page_size;
  u64 large_page_minimum;
  u64 allocation_granularity;
  Str8 machine_name;
  // Writes to the real standard error, which a library's call may have turned elsewhere (the OS
  // layer's console_error_write); null before start-up, when the C library's stderr serves.
  void (*error_write)(Str8 text);
};

SysInfo *sys_info();
