// Conversion layer: the workers that turn a source into its outputs, and what they use.
//
// Owns: the table of image formats, the codec adapters (stb's decoder, resampler and encoder,
// libdeflate behind the PNG encoder's zlib step, libb2 for pixel checksums), its own JPEG
// writer (stb's JPEG bytes, written faster), the colour
// conversion (lcms2) and the image libraries' heap, the targets, the claim table, the claims
// shared with other instances on the same input folder, the
// statistics, the metadata records, the output plan of an attempt, the conversion workers and
// the committer that makes their outputs durable before a source is deleted. It uses the
// intake and the layers below, never the application: the application reads the targets into
// this layer's type and shares with the workers what they need (ConvertShared).
//
// Threads: one "[VANTOR] Convert #n" per worker, started by app_setup once ConvertShared is
// published (the PNG compression level is set before that); "[VANTOR] Commit", started with
// the first batch a worker hands over; "[VANTOR] Beat", started with the instances' board,
// renews this instance's heartbeat in the shared input folder. A worker holds one claimed source at a time; its memory
// (arenas, the libraries' kept blocks) is its own.
//
// Locks: the claim table's stripe locks, the intake's, the committer's critical section and the
// instances' board's two, each taken alone (the board's beat lock is held across the rewrite of
// the heartbeat, never with another).
#pragma once

#include "base/base.h"
#include "os/os.h"

#include "convert/convert_heap.h"
#include "convert/convert_codec.h"
#include "convert/convert_jpeg.h"
#include "convert/convert_format.h"
#include "convert/convert_target.h"
#include "convert/convert_claims.h"
#include "convert/instances/instances.h"
#include "convert/convert_color.h"
#include "convert/convert_stats.h"
#include "convert/convert_metadata.h"
#include "convert/convert_plan.h"
#include "convert/convert_worker.h"
