// The sizes a HEIF's or AVIF's decoders will be asked for, read from the file's boxes and the
// headers of its coded pictures, without libheif.
//
// The decoders (dav1d, libde265) allocate for the size their bitstream gives, not the size the
// boxes declare, and libheif lets them up to 32768 x 32768: a file declaring 64 x 48 whose AV1
// sequence header says 16384 x 16384 would take gigabytes before the picture it gives is found
// too large. So every coded picture of the file (the primary one, a grid's tiles, an alpha
// plane, a thumbnail) is measured from its bitstream's header before anything is decoded; none
// is larger than the primary picture in a well-formed file.
//
// Every read stays inside the bytes it is given and nothing is kept: any thread reads at once.
#pragma once

#include "base/base.h"

//~ Coded sizes
// Whether every coded picture of the file is within the declared size, with the slack of whole
// coding blocks; true for what it cannot read, which the decoder then judges.
bool heif_coded_sizes_fit(Str8 bytes, u64 declared_width, u64 declared_height);
