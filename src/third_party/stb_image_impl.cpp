// stb_image implementation: PNG and JPEG loaders only, on the image libraries' heap, with the
// reasons for people ("Corrupt JPEG") rather than the short codes.
#include "convert/image/image_heap.h"
#define STB_IMAGE_IMPLEMENTATION
#define STBI_MALLOC(size) codec_heap_alloc(size)
#define STBI_REALLOC(block, size) codec_heap_realloc(block, size)
#define STBI_FREE(block) codec_heap_release(block)
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_FAILURE_USERMSG
#include <stb_image.h>

// The reason is the calling thread's and stays until the next failure sets another: cleared
// before each call, a failure that sets none never shows an earlier one's.
void stb_image_forget_failure() { stbi__g_failure_reason = nullptr; }
