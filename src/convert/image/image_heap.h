// The heap of the image libraries: stb's decoder, encoder and resampler, the zlib hook and the
// other formats' decoders, for the pictures they hand back, allocate through these three. A
// worker converts one file after another, mostly of similar sizes: the large blocks it frees
// are kept on its thread for its next file, so their pages are faulted in once per worker
// instead of once per file. Small blocks and very large ones go straight back to the C heap,
// and a thread keeps a bounded number of bytes, which it gives back when it ends. A block is
// freed on any thread (it is then kept by that thread). Pointers are 16-byte aligned.
#pragma once

#include <cstddef>

#include "base/base.h"

void *codec_heap_alloc(size_t size);
void *codec_heap_realloc(void *block, size_t size);
void codec_heap_release(void *block);

//~ Budget
// A decode's allowance, per thread: between begin and end, the blocks the calling thread
// allocates may hold at most `limit` bytes at once (counted at the sizes asked for, so the
// outcome does not depend on the blocks the thread kept). An allocation or growth past it fails
// as if memory were exhausted. End returns false when any was refused. Blocks from before the
// budget count nothing, also when they are freed or grown under it.
void codec_heap_budget_begin(u64 limit);
bool codec_heap_budget_end();
