#include <cstdlib>
#include <cstring>

#include "base/base.h"
#include "convert/convert_heap.h"

// Blocks from KeepSmallest to KeepLargest bytes are kept, at most KeptSlots of them and
// KeptBytes in all per thread: a 640x480 photo's decode fits, a 20-megapixel one does not.
static constexpr u64 KeepSmallest = kib(64);
static constexpr u64 KeepLargest = mib(16);
static constexpr u64 KeptSlots = 8;
static constexpr u64 KeptBytes = mib(24);

struct alignas(16) HeapHeader {
  u64 capacity; // bytes usable after the header
  u64 unused;
};

// A thread that ends gives its kept blocks back.
struct KeptBlocks {
  HeapHeader *blocks[KeptSlots];
  u64 count;
  u64 bytes;
  ~KeptBlocks() {
    for (u64 i = 0; i < count; i += 1) free(blocks[i]);
  }
};

static thread_local KeptBlocks t_kept;

static bool heap_keepable(u64 capacity) { return capacity >= KeepSmallest && capacity <= KeepLargest; }

// Kept sizes come in steps of a quarter of a power of two, so that the buffers of files of
// nearly the same size fit each other's blocks.
static u64 heap_class(u64 size) {
  u64 power = KeepSmallest;
  while (power * 2 <= size) power *= 2;
  u64 quarter = power / 4;
  return align_up(size, quarter);
}

void *codec_heap_alloc(size_t size) {
  KeptBlocks *kept = &t_kept;
  u64 capacity = size;
  if (heap_keepable(size)) {
    // the smallest kept block that holds it, if it is not more than twice as large
    u64 best = KeptSlots;
    for (u64 i = 0; i < kept->count; i += 1) {
      u64 c = kept->blocks[i]->capacity;
      if (c >= size && c <= 2 * (u64)size && (best == KeptSlots || c < kept->blocks[best]->capacity)) best = i;
    }
    if (best != KeptSlots) {
      HeapHeader *block = kept->blocks[best];
      kept->blocks[best] = kept->blocks[--kept->count];
      kept->bytes -= block->capacity;
      return block + 1;
    }
    capacity = heap_class(size);
  }
  HeapHeader *block = (HeapHeader *)malloc(sizeof(HeapHeader) + capacity);
  if (!block) return nullptr;
  block->capacity = capacity;
  return block + 1;
}

void codec_heap_release(void *pointer) {
  if (!pointer) return;
  HeapHeader *block = (HeapHeader *)pointer - 1;
  KeptBlocks *kept = &t_kept;
  if (heap_keepable(block->capacity) && kept->count < KeptSlots && kept->bytes + block->capacity <= KeptBytes) {
    kept->blocks[kept->count++] = block;
    kept->bytes += block->capacity;
    return;
  }
  free(block);
}

void *codec_heap_realloc(void *pointer, size_t size) {
  if (!pointer) return codec_heap_alloc(size);
  HeapHeader *block = (HeapHeader *)pointer - 1;
  if (block->capacity >= size) return pointer;
  // A large block grows in place where the C heap can (remapping its pages, no copy).
  if (!heap_keepable(block->capacity) && !heap_keepable(size)) {
    HeapHeader *grown = (HeapHeader *)realloc(block, sizeof(HeapHeader) + size);
    if (!grown) return nullptr;
    grown->capacity = size;
    return grown + 1;
  }
  void *moved = codec_heap_alloc(size);
  if (!moved) return nullptr;
  memcpy(moved, pointer, block->capacity);
  codec_heap_release(pointer);
  return moved;
}
