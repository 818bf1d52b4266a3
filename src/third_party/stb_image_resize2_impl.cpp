// stb_image_resize2 implementation, on the image libraries' heap.
#include "convert/image/image_heap.h"
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STBIR_MALLOC(size, user_data) ((void)(user_data), codec_heap_alloc(size))
#define STBIR_FREE(block, user_data) ((void)(user_data), codec_heap_release(block))
#include <stb_image_resize2.h>
