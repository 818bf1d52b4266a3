#include "convert/image/image_sink.h"

//~ Sink
void encode_sink_begin(EncodeSink *sink, Arena *arena, Str8 *buffer, u64 capacity) {
  buffer->str = (u8 *)arena_alloc(arena, capacity, 8);
  buffer->size = capacity;
  sink->arena = arena;
  sink->buffer = buffer;
  sink->cursor = buffer->str;
  sink->end_offset = arena_offset(arena);
}

static bool encode_sink_extend_in_place(EncodeSink *sink, u64 extra) {
  Arena *arena = sink->arena;
  ArenaBlock *block = arena->current;
  if (arena_offset(arena) != sink->end_offset) return false;
  if (block->position + extra < extra || block->position + extra > block->reserved) return false;
  u8 *end = sink->buffer->str + sink->buffer->size;
  u8 *more = (u8 *)arena_alloc_zero(arena, extra, 1);
  if (more != end) {
    arena_rewind(arena, sink->end_offset);
    return false;
  }
  sink->buffer->size += extra;
  sink->end_offset = arena_offset(arena);
  return true;
}

// Doubling keeps the many small writes of the JPEG encoder from copying over and over.
static void encode_sink_move(EncodeSink *sink, u64 needed) {
  Str8 *buffer = sink->buffer;
  u64 used = (u64)(sink->cursor - buffer->str);
  u64 capacity = needed;
  if (buffer->size <= (~0ull >> 1) && buffer->size * 2 > capacity) capacity = buffer->size * 2;
  u8 *moved = (u8 *)arena_alloc_zero(sink->arena, capacity, 8);
  if (used) memcpy(moved, buffer->str, used);
  buffer->str = moved;
  buffer->size = capacity;
  sink->cursor = moved + used;
  sink->end_offset = arena_offset(sink->arena);
}

u8 *encode_sink_reserve(EncodeSink *sink, u64 count) {
  Str8 *buffer = sink->buffer;
  u64 used = (u64)(sink->cursor - buffer->str);
  u64 room = buffer->size - used;
  if (room < count && !encode_sink_extend_in_place(sink, count - room)) encode_sink_move(sink, used + count);
  return sink->cursor;
}

void encode_sink_write(void *context, void *data, int size) {
  EncodeSink *sink = (EncodeSink *)context;
  if (size <= 0 || !data) return;
  u8 *at = encode_sink_reserve(sink, (u64)size);
  memcpy(at, data, (u64)size);
  sink->cursor = at + size;
}

bool encode_sink_finish(EncodeSink *sink, bool ok) {
  sink->buffer->size = ok ? (u64)(sink->cursor - sink->buffer->str) : 0;
  if (!ok) sink->cursor = sink->buffer->str;
  return ok;
}
