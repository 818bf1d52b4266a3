// Image library (provisional list; the design note follows).
#pragma once

#include "base/base.h"

#include "convert/image/image_heap.h"
#include "convert/image/image_sink.h"
#include "convert/image/image_format.h"
#include "convert/image/image_exif.h"
#include "convert/image/image_png.h"
#include "convert/image/image_jpeg.h"
#include "convert/image/image_jpeg_writer.h"
#include "convert/image/image_stb.h"
#include "convert/image/image_webp.h"
#include "convert/image/image_heif_sizes.h"
#include "convert/image/image_heif.h"
#include "convert/image/image_stats.h"
#include "convert/image/image_color.h"
#include "convert/image/image_pixels.h"
