// Metadata record: the text that describes one written file (the source copy or an output)
// in its source's metadata file, the checksum text that names output files, and where a
// source's record goes and under which name.
//
// Records are made and read by the worker that converts their source; the writers only
// append to the list they are given, so workers call them at the same time. The record names
// given in this run are the one table shared by the workers, behind its own critical section,
// taken alone.
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
  RectU64 crop; // a cover output's window of the upright source; width 0 for any other record
  Str8 metadata_kept; // what its file holds of the source's metadata ("exif, icc"); empty: nothing
};

//~ Record text
Str8 pixel_layout_name(u32 pixel_layout); // "RGBA", "RGB", "GRAYSCALE_ALPHA", "GRAYSCALE", "UNKNOWN"

// Appends the 38 fields of the record's text to the list, each formatted in the arena. A
// record without an image prints zeros for every image field. A cover output adds its crop
// window after the others, and an output that keeps some of its source's metadata its list,
// both before the end mark; other records are unchanged.
void format_metadata_record(Arena *arena, Str8List *list, OutputRecord *record);

// Decimal digest bytes 0-3 followed by decimal bytes 8-11, each read as a little-endian u32:
// 2 to 20 digits, no separator. Names the output files.
Str8 checksum_text(Arena *arena, U128 digest);

//~ Where a source's files go
// The source's path below the input folder ("cam1/IMG_0001.jpg"), a view into `path`; its
// bare name when it does not lie below it. It places the source's record and, for a file that
// is no picture, the copy set aside; it also names the source's claim among instances.
Str8 source_below_input(Str8 in_folder, Str8 path);

// "<metadatas>/<sub-folders>/<name without extension>.metadatas": same-named sources in
// different folders keep a record each.
Str8 metadata_path_of(Arena *arena, Str8 in_folder, Str8 metadatas_folder, Str8 path);

//~ Metadata names
// Sources of one folder whose names differ only by their extension (a.jpg, a.png) would share
// one record name; each keeps a record of its own instead: the first of "<stem>.metadatas",
// "<stem>.1.metadatas", "<stem>.2.metadatas", ... that is its own or free. The names given in
// this run are remembered with the source path they belong to, so a new version of a path takes
// the name it had before. A name this run has not given is the source's unless a record there
// begins otherwise than the source's would (`mark`: a picture of another file type, another
// unsupported file's note): a record left by an earlier run is replaced by its source's next
// version, never by a source of another type. Workers call it at the same time: the names
// given are kept under one critical section, held across the queries of a name not given yet.
Str8 metadata_name_take(Arena *arena, Str8 planned, Str8 source, Str8 mark);
