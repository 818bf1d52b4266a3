// stb_image implementation: PNG and JPEG loaders only, on the image libraries' heap.
#include "convert/convert_heap.h"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_MALLOC(size) codec_heap_alloc(size)
#define STBI_REALLOC(block, size) codec_heap_realloc(block, size)
#define STBI_FREE(block) codec_heap_release(block)
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#include <stb_image.h>
