// stb_image_write implementation, with its zlib step replaced by our libdeflate hook.
#include "convert/convert_zlib_hook.h"
#define STBIW_ZLIB_COMPRESS zlib_compress_hook
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
