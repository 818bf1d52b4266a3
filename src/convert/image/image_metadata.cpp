#include "convert/image/image_metadata.h"

//~ EXIF
// The TIFF tags the rewrite treats apart from the others.
enum : u32 {
  TagOrientation = 0x0112,
  TagArtist = 0x013B,
  TagCopyright = 0x8298,
  TagExifIfd = 0x8769,
  TagGpsIfd = 0x8825,
  TagInteropIfd = 0xA005,
  TagMakerNote = 0x927C,
  TagPixelX = 0xA002,
  TagPixelY = 0xA003,
  // IFD0 tags that point at data outside the directories (strips, a thumbnail, sub-pictures):
  // the data is not carried over, so neither are they.
  TagStripOffsets = 0x0111,
  TagStripCounts = 0x0117,
  TagSubIfds = 0x014A,
  TagThumbOffset = 0x0201,
  TagThumbLength = 0x0202,
};
enum : u32 { DirIfd0, DirExif, DirGps, DirInterop };

// Bytes of one value of a TIFF field type; 0 for a type this rewrite does not know.
static u64 tiff_type_size(u64 type) {
  switch (type) {
  case 1: case 2: case 6: case 7: return 1;
  case 3: case 8: return 2;
  case 4: case 9: case 11: case 13: return 4;
  case 5: case 10: case 12: return 8;
  default: return 0;
  }
}

struct TiffEntry {
  u32 tag, type, count;
  const u8 *value; // its bytes (inline or at its offset), `count` × the type's size of them
  u32 number;      // when `value` is null: one LONG written as given (an edited or added field)
};

struct TiffEdit {
  Str8 in;
  bool little;
  u8 *out;
  u64 size; // written so far
  u32 keep, orientation;
  u64 width, height;
  bool failed;
  u64 r16(u64 at) const { return little ? read_le16(in.str + at) : read_be16(in.str + at); }
  u64 r32(u64 at) const { return little ? read_le32(in.str + at) : read_be32(in.str + at); }
  void w16(u64 at, u64 v) {
    out[at + (little ? 0 : 1)] = (u8)v;
    out[at + (little ? 1 : 0)] = (u8)(v >> 8);
  }
  void w32(u64 at, u64 v) {
    for (u32 i = 0; i < 4; i += 1) out[at + (little ? i : 3 - i)] = (u8)(v >> (8 * i));
  }
  // `count` bytes at the end, at an even offset as TIFF asks; ExifBlockMax at most in all
  u64 take(u64 count) {
    u64 at = align_up(size, 2);
    if (failed || at + count > ExifBlockMax) {
      failed = true;
      return 0;
    }
    size = at + count;
    return at;
  }
};

static bool exif_keeps(const TiffEdit *e, u32 dir, u32 tag) {
  if (dir == DirIfd0) {
    if (tag == TagGpsIfd) return e->keep & MetaGps;
    if (e->keep & MetaExif) {
      return tag != TagStripOffsets && tag != TagStripCounts && tag != TagSubIfds && tag != TagThumbOffset &&
             tag != TagThumbLength;
    }
    return (e->keep & MetaCopyright) && (tag == TagArtist || tag == TagCopyright);
  }
  if (dir == DirExif) return tag != TagMakerNote;
  return true;
}

// The directory a pointer tag leads to from `dir`; DirIfd0 where it does not belong there.
static u32 exif_sub_dir(u32 dir, u32 tag) {
  if (dir == DirIfd0 && tag == TagExifIfd) return DirExif;
  if (dir == DirIfd0 && tag == TagGpsIfd) return DirGps;
  if (dir == DirExif && tag == TagInteropIfd) return DirInterop;
  return DirIfd0;
}

// Writes the directory at `at` of the input and returns its offset in the output; 0 when it
// was left with no entry or could not be read.
static u64 exif_write_dir(TiffEdit *e, u64 at, u32 dir) {
  if (at < 8 || at > e->in.size - 2) return e->failed = true, 0;
  u64 count = e->r16(at);
  if (count > (e->in.size - at - 2) / 12) return e->failed = true, 0;
  Scratch scratch = scratch_begin(nullptr);
  TiffEntry *entries = arena_push<TiffEntry>(scratch.arena, count + 2);
  u64 kept = 0;
  bool have_x = false, have_y = false;
  for (u64 i = 0; i < count; i += 1) {
    u64 entry = at + 2 + 12 * i;
    TiffEntry t = {(u32)e->r16(entry), (u32)e->r16(entry + 2), (u32)e->r32(entry + 4), nullptr, 0};
    if (!exif_keeps(e, dir, t.tag) || tiff_type_size(t.type) == 0) continue;
    u64 bytes = tiff_type_size(t.type) * t.count;
    if (bytes <= 4) {
      t.value = e->in.str + entry + 8;
    } else {
      u64 offset = e->r32(entry + 8);
      if (offset > e->in.size || bytes > e->in.size - offset) continue; // a field out of its block is left out
      t.value = e->in.str + offset;
    }
    // a directory is followed only from its own parent, so a loop of pointers ends
    bool pointer = t.tag == TagExifIfd || t.tag == TagGpsIfd || t.tag == TagInteropIfd;
    if (pointer && exif_sub_dir(dir, t.tag) == DirIfd0) continue;
    if (pointer && (t.count != 1 || (t.type != 4 && t.type != 13))) continue;
    if (dir == DirIfd0 && t.tag == TagOrientation && t.count == 1 && (t.type == 3 || t.type == 4)) {
      t.value = nullptr;
      t.number = e->orientation;
    }
    if (dir == DirExif && (t.tag == TagPixelX || t.tag == TagPixelY)) {
      (t.tag == TagPixelX ? have_x : have_y) = true;
      t = TiffEntry{t.tag, 4, 1, nullptr, (u32)(t.tag == TagPixelX ? e->width : e->height)};
    }
    entries[kept++] = t;
  }
  if (dir == DirExif && !have_x) entries[kept++] = TiffEntry{TagPixelX, 4, 1, nullptr, (u32)e->width};
  if (dir == DirExif && !have_y) entries[kept++] = TiffEntry{TagPixelY, 4, 1, nullptr, (u32)e->height};
  // directories list their tags in ascending order; a few entries, so insertion sort
  for (u64 i = 1; i < kept; i += 1) {
    for (u64 j = i; j > 0 && entries[j - 1].tag > entries[j].tag; j -= 1) {
      TiffEntry swap = entries[j];
      entries[j] = entries[j - 1];
      entries[j - 1] = swap;
    }
  }
  u64 table = kept ? e->take(2 + 12 * kept + 4) : 0;
  u64 written = 0;
  for (u64 i = 0; i < kept && !e->failed; i += 1) {
    TiffEntry t = entries[i];
    u64 out_entry = table + 2 + 12 * written;
    u64 bytes = tiff_type_size(t.type) * t.count;
    u64 value = 0;
    bool inline_value = false;
    if (t.tag == TagExifIfd || t.tag == TagGpsIfd || t.tag == TagInteropIfd) {
      value = exif_write_dir(e, e->r32((u64)(t.value - e->in.str)), exif_sub_dir(dir, t.tag));
      if (value == 0) continue;
      t.type = 4;
    } else if (!t.value) {
      inline_value = true;
    } else if (bytes > 4) {
      value = e->take(bytes);
      if (e->failed) break;
      memcpy(e->out + value, t.value, bytes);
    } else {
      memset(e->out + out_entry + 8, 0, 4);
      memcpy(e->out + out_entry + 8, t.value, bytes);
    }
    e->w16(out_entry, t.tag);
    e->w16(out_entry + 2, t.type);
    e->w32(out_entry + 4, t.count);
    if (inline_value) {
      memset(e->out + out_entry + 8, 0, 4);
      if (t.type == 3) e->w16(out_entry + 8, t.number);
      else e->w32(out_entry + 8, t.number);
    } else if (bytes > 4 || t.tag == TagExifIfd || t.tag == TagGpsIfd || t.tag == TagInteropIfd) {
      e->w32(out_entry + 8, value);
    }
    written += 1;
  }
  scratch_restore(scratch);
  if (e->failed || written == 0) return 0;
  e->w16(table, written);
  e->w32(table + 2 + 12 * written, 0); // no next directory: the thumbnail's IFD1 is never kept
  return table;
}

Str8 exif_edit(Arena *arena, Str8 tiff, u32 keep, u32 orientation, u64 width, u64 height) {
  const u8 *b = tiff.str;
  if (tiff.size < 8 || !((b[0] == 'I' && b[1] == 'I') || (b[0] == 'M' && b[1] == 'M'))) return Str8{};
  if (!(keep & (MetaExif | MetaGps | MetaCopyright))) return Str8{};
  u64 mark = arena_offset(arena);
  TiffEdit e = {tiff, b[0] == 'I', (u8 *)arena_alloc_zero(arena, ExifBlockMax, 8), 8, keep, orientation, width, height, false};
  if (e.r16(2) != 42) return arena_rewind(arena, mark), Str8{};
  memcpy(e.out, b, 4);
  u64 ifd0 = exif_write_dir(&e, e.r32(4), DirIfd0);
  if (e.failed || ifd0 == 0) return arena_rewind(arena, mark), Str8{};
  e.w32(4, ifd0);
  return Str8{e.out, e.size};
}

// Whether IFD0 holds one of `tags`, its entries read within the block.
static bool exif_ifd0_holds(Str8 tiff, const u32 *tags, u32 tag_count) {
  if (tiff.size < 8 || !((tiff.str[0] == 'I' && tiff.str[1] == 'I') || (tiff.str[0] == 'M' && tiff.str[1] == 'M'))) return false;
  TiffEdit e = {};
  e.in = tiff;
  e.little = tiff.str[0] == 'I';
  u64 at = e.r32(4);
  if (at < 8 || at > tiff.size - 2) return false;
  u64 count = e.r16(at);
  for (u64 i = 0, entry = at + 2; i < count && entry + 12 <= tiff.size; i += 1, entry += 12) {
    for (u32 k = 0; k < tag_count; k += 1) {
      if (e.r16(entry) == tags[k]) return true;
    }
  }
  return false;
}

bool exif_has_gps(Str8 tiff) {
  const u32 tags[] = {TagGpsIfd};
  return exif_ifd0_holds(tiff, tags, 1);
}

bool exif_has_copyright(Str8 tiff) {
  const u32 tags[] = {TagArtist, TagCopyright};
  return exif_ifd0_holds(tiff, tags, 2);
}

//~ XMP
// The end of the element that opens at `at` ("<dc:rights ..."), past its closing tag, or 0.
static u64 xml_element_end(Str8 xml, u64 at, Str8 name) {
  u64 open_end = str8_find(xml, str8_lit(">"), at, 0);
  if (open_end >= xml.size) return 0;
  if (xml.str[open_end - 1] == '/') return open_end + 1;
  Str8 closing = str8_lit("</");
  for (u64 from = open_end; (from = str8_find(xml, closing, from, 0)) < xml.size; from += 2) {
    Str8 rest = str8_drop_front(xml, from + 2);
    if (str8_starts_with(rest, name, 0) && rest.size > name.size && (rest.str[name.size] == '>' || rest.str[name.size] == ' ')) {
      u64 end = str8_find(xml, str8_lit(">"), from, 0);
      return end < xml.size ? end + 1 : 0;
    }
  }
  return 0;
}

Str8 xmp_copyright(Arena *arena, Str8 xmp) {
  Scratch scratch = scratch_begin(arena);
  Str8List elements = {}, attributes = {};
  const Str8 wanted[] = {str8_lit("dc:creator"), str8_lit("dc:rights"), str8_lit("xmpRights:")};
  for (u64 at = 0; (at = str8_find(xmp, str8_lit("<"), at, 0)) < xmp.size; at += 1) {
    Str8 rest = str8_drop_front(xmp, at + 1);
    for (Str8 w : wanted) {
      if (!str8_starts_with(rest, w, 0)) continue;
      u64 name_size = 0;
      while (name_size < rest.size && rest.str[name_size] != '>' && rest.str[name_size] != ' ' && rest.str[name_size] != '/' &&
             rest.str[name_size] != '\n' && rest.str[name_size] != '\t' && rest.str[name_size] != '\r') {
        name_size += 1;
      }
      u64 end = xml_element_end(xmp, at, str8_keep_front(rest, name_size));
      if (end == 0) break;
      str8_list_add(scratch.arena, &elements, str8_slice(xmp, RangeU64{at, end}));
      at = end - 1;
      break;
    }
  }
  // simple xmpRights properties are often attributes of rdf:Description
  Str8 attribute = str8_lit("xmpRights:");
  for (u64 at = 0; (at = str8_find(xmp, attribute, at, 0)) < xmp.size; at += attribute.size) {
    if (at == 0 || (xmp.str[at - 1] != ' ' && xmp.str[at - 1] != '\n' && xmp.str[at - 1] != '\t' && xmp.str[at - 1] != '\r')) continue;
    u64 eq = at;
    while (eq < xmp.size && xmp.str[eq] != '=' && xmp.str[eq] != '>' && xmp.str[eq] != ' ') eq += 1;
    if (eq + 1 >= xmp.size || xmp.str[eq] != '=' || (xmp.str[eq + 1] != '"' && xmp.str[eq + 1] != '\'')) continue;
    u8 quote[1] = {xmp.str[eq + 1]};
    u64 close = str8_find(xmp, Str8{quote, 1}, eq + 2, 0);
    if (close >= xmp.size) continue;
    str8_list_add(scratch.arena, &attributes, str8_slice(xmp, RangeU64{at, close + 1}));
  }
  Str8 packet = {};
  if (elements.node_count || attributes.node_count) {
    JoinParams spaced = {str8_lit(" "), str8_lit(" "), Str8{}};
    Str8 attrs = attributes.node_count ? str8_list_join(scratch.arena, &attributes, &spaced) : Str8{};
    Str8 body = str8_list_join(scratch.arena, &elements, nullptr);
    packet = arena_format(arena,
                          "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
                          "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
                          "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                          "xmlns:xmpRights=\"http://ns.adobe.com/xap/1.0/rights/\"%S>%S</rdf:Description></rdf:RDF>"
                          "</x:xmpmeta><?xpacket end=\"w\"?>",
                          attrs, body);
  }
  scratch_restore(scratch);
  return packet;
}

//~ IPTC
// A dataset: 0x1C, its record and number, a 16-bit size (or, with its top bit set, the count
// of bytes of a longer size that follows), then its data.
Str8 iptc_copyright(Arena *arena, Str8 iptc) {
  u8 *out = (u8 *)arena_alloc(arena, max_of<u64>(iptc.size, 1), 8);
  u64 size = 0;
  bool any = false;
  for (u64 at = 0; at < iptc.size;) {
    if (iptc.size - at < 5 || iptc.str[at] != 0x1C) return Str8{};
    u64 head = 5, length = read_be16(iptc.str + at + 3);
    if (length & 0x8000) {
      u64 bytes = length & 0x7FFF;
      if (bytes == 0 || bytes > 4 || iptc.size - at - 5 < bytes) return Str8{};
      length = 0;
      for (u64 i = 0; i < bytes; i += 1) length = length << 8 | iptc.str[at + 5 + i];
      head += bytes;
    }
    if (length > iptc.size - at - head) return Str8{};
    u32 record = iptc.str[at + 1], number = iptc.str[at + 2];
    if (record == 2 && (number == 0 || number == 80 || number == 116)) {
      memcpy(out + size, iptc.str + at, head + length);
      size += head + length;
      any |= number != 0;
    }
    at += head + length;
  }
  return any ? Str8{out, size} : Str8{};
}

//~ Reading helpers shared by formats
// Resources: "8BIM", a 16-bit id, a Pascal-string name padded to an even size, a 32-bit size,
// the data padded to an even size.
Str8 photoshop_iptc(Str8 r) {
  for (u64 at = 0; at + 12 <= r.size && memcmp(r.str + at, "8BIM", 4) == 0;) {
    u64 id = read_be16(r.str + at + 4);
    u64 name = align_up(1 + (u64)r.str[at + 6], 2);
    if (at + 6 + name + 4 > r.size) break;
    u64 size = read_be32(r.str + at + 6 + name);
    u64 data = at + 6 + name + 4;
    if (size > r.size - data) break;
    if (id == 0x0404) return Str8{r.str + data, size};
    at = data + align_up(size, 2);
  }
  return Str8{};
}
