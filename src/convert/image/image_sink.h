// Where an encoder writes: a buffer of the caller's arena that grows as the file does, so that
// an encoded file is one contiguous run of bytes however the encoder hands them over. A sink
// belongs to the encoding that began it; any number of threads encode at once, each into its
// own.
#pragma once

#include "base/base.h"

//~ Sink
// Receives an encoder's output in a buffer of the arena. The buffer grows in place while it
// is the arena's latest allocation and the arena's block has room; otherwise its bytes move
// to a larger buffer. Either way the encoded bytes stay contiguous at buffer->str.
struct EncodeSink {
  Arena *arena;
  Str8 *buffer;    // data and capacity while encoding; data and size written afterwards
  u8 *cursor;      // next byte to write
  u64 end_offset;  // arena offset just past the buffer
};

// Allocates `capacity` bytes for *buffer from the arena.
void encode_sink_begin(EncodeSink *sink, Arena *arena, Str8 *buffer, u64 capacity);
// Room for `count` more bytes at the cursor, which the buffer's growth may move: an encoder
// that writes into the buffer itself asks before writing, then sets the cursor past its bytes.
u8 *encode_sink_reserve(EncodeSink *sink, u64 count);
// The encoders' write callback; context is the EncodeSink.
void encode_sink_write(void *context, void *data, int size);
// Ends an encoding: *buffer then holds what was written, or nothing when !ok. Returns ok.
bool encode_sink_finish(EncodeSink *sink, bool ok);
