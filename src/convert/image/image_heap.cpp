#include <atomic>
#include <cstdlib>
#include <cstring>

#include "base/base.h"
#include "convert/image/image_heap.h"

// Blocks from KeepSmallest to KeepLargest bytes are kept, at most KeptSlots of them and
// KeptBytes in all per thread: a 640x480 photo's decode fits, a 20-megapixel one does not.
static constexpr u64 KeepSmallest = kib(64);
static constexpr u64 KeepLargest = mib(16);
static constexpr u64 KeptSlots = 8;
static constexpr u64 KeptBytes = mib(24);

struct alignas(16) HeapHeader {
  u64 capacity; // bytes usable after the header
  u64 charged;  // bytes counted against the budget of `budget`
  u64 budget;   // the thread's budget the block was allocated or last grown under; 0: none
  u64 unused;
};

struct HeapBudget {
  u64 serial; // of the thread's latest budget; blocks of any other budget count nothing
  u64 limit;
  u64 held;
  bool active;
  bool refused;
};

static thread_local HeapBudget t_budget;
// Serials are unique across threads, so a block freed on another thread than its decode's
// never counts against that thread's budget.
static std::atomic<u64> g_budget_serial;

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

//~ Budget
void codec_heap_budget_begin(u64 limit) {
  HeapBudget *b = &t_budget;
  b->serial = g_budget_serial.fetch_add(1, std::memory_order_relaxed) + 1;
  b->limit = limit;
  b->held = 0;
  b->active = true;
  b->refused = false;
}

bool codec_heap_budget_end() {
  HeapBudget *b = &t_budget;
  b->active = false;
  return !b->refused;
}

// What `block` counts against the running budget: nothing when it was allocated before it.
static u64 budget_counted(const HeapHeader *block) {
  HeapBudget *b = &t_budget;
  return b->active && block && block->budget == b->serial ? block->charged : 0;
}

// Whether `block` (null: a new one) may hold `size` bytes under the running budget.
static bool budget_allows(const HeapHeader *block, u64 size) {
  HeapBudget *b = &t_budget;
  u64 before = budget_counted(block);
  if (!b->active || size <= before || size - before <= b->limit - b->held) return true;
  b->refused = true;
  return false;
}

// Counts `block` at `size` bytes from now on (budget_allows said it may).
static void budget_charge(HeapHeader *block, u64 size) {
  HeapBudget *b = &t_budget;
  if (!b->active) return;
  b->held = b->held - budget_counted(block) + size;
  block->charged = size;
  block->budget = b->serial;
}

static void budget_refund(HeapHeader *block) {
  t_budget.held -= budget_counted(block);
  block->budget = 0;
  block->charged = 0;
}

//~ Blocks
void *codec_heap_alloc(size_t size) {
  if (!budget_allows(nullptr, size)) return nullptr;
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
      budget_charge(block, size);
      return block + 1;
    }
    capacity = heap_class(size);
  }
  HeapHeader *block = (HeapHeader *)malloc(sizeof(HeapHeader) + capacity);
  if (!block) return nullptr;
  block->capacity = capacity;
  block->budget = 0;
  block->charged = 0;
  budget_charge(block, size);
  return block + 1;
}

void codec_heap_release(void *pointer) {
  if (!pointer) return;
  HeapHeader *block = (HeapHeader *)pointer - 1;
  budget_refund(block);
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
  if (!budget_allows(block, size)) return nullptr;
  if (block->capacity >= size) {
    budget_charge(block, size);
    return pointer;
  }
  // A large block grows in place where the C heap can (remapping its pages, no copy).
  if (!heap_keepable(block->capacity) && !heap_keepable(size)) {
    HeapHeader *grown = (HeapHeader *)realloc(block, sizeof(HeapHeader) + size);
    if (!grown) return nullptr;
    grown->capacity = size;
    budget_charge(grown, size);
    return grown + 1;
  }
  void *moved = codec_heap_alloc(size);
  if (!moved) return nullptr;
  memcpy(moved, pointer, block->capacity);
  codec_heap_release(pointer);
  return moved;
}
