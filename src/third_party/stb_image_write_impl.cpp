// stb_image_write implementation, with its zlib step replaced by our libdeflate hook, on the image
// libraries' heap.
#include "convert/image/image_png.h"
#define STBIW_ZLIB_COMPRESS zlib_compress_hook
#include "convert/image/image_heap.h"
#define STBIW_MALLOC(size) codec_heap_alloc(size)
#define STBIW_REALLOC(block, size) codec_heap_realloc(block, size)
#define STBIW_FREE(block) codec_heap_release(block)
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
