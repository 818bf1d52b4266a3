// The zlib compression hook that stb_image_write calls for PNG image data (libdeflate behind
// it). Returns a buffer of the image libraries' heap (convert_heap.h), which the encoder
// releases, or null on failure. Safe on
// any number of threads at once: nothing survives between calls.
#pragma once

unsigned char *zlib_compress_hook(unsigned char *data, int length, int *out_length, int level);
