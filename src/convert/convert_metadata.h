// Metadata record: the text that describes one written file (the source copy or an output)
// in its source's metadata file, and the checksum text that names output files.
//
// Records are made and read by the worker that converts their source; the writers only
// append to the list they are given, so workers call them at the same time.
#pragma once

#include "base/base.h"
#include "os/os.h"
#include "convert/image/image.h"

//~ Output record
// One file of a conversion: the first record of a conversion is the source, written to the
// output folder as a byte-for-byte copy; every other record is one output.
struct OutputRecord {
  OutputRecord *next;
  u32 is_original; // 1 for the source record
  Str8 file_path;  // output folder, "/", checksum text, ".", extension, once named
  Str8 checksum;   // checksum text of the record's pixels
  FileProps file_info; // of the written file; its size is the file_size field
  ImageStats *image;
  u32 file_type; // FileType*: its format's, FileTypeNone while it has none
  MessageList messages;
  Str8 bytes; // the file's content; while encoding, the buffer and its capacity
  u8 quality; // 100, or the quality of an output whose format takes one
};

//~ Record text
Str8 pixel_layout_name(u32 pixel_layout); // "RGBA", "RGB", "GRAYSCALE_ALPHA", "GRAYSCALE", "UNKNOWN"

// Appends the 38 fields of the record's text to the list, each formatted in the arena. A
// record without an image prints zeros for every image field.
void format_metadata_record(Arena *arena, Str8List *list, OutputRecord *record);

// Decimal digest bytes 0-3 followed by decimal bytes 8-11, each read as a little-endian u32:
// 2 to 20 digits, no separator. Names the output files.
Str8 checksum_text(Arena *arena, U128 digest);
