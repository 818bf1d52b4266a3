// Image library: the heap of the image libraries.
#pragma once

#include "base/base.h"

#include "convert/image/image_heap.h"
#include "convert/image/image_sink.h"
#include "convert/image/image_jpeg_writer.h"
#include "convert/image/image_stats.h"
#include "convert/image/image_pixels.h"
