#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_images.h"

//~ A TIFF structure of our own, and a reader for what comes back
struct Field {
  u32 tag, type, count;
  Bytes value; // in the structure's byte order
};

struct Tiff {
  bool little;
  Bytes b;
  void put16(u64 at, u64 v) {
    b[at + (little ? 0 : 1)] = (u8)v;
    b[at + (little ? 1 : 0)] = (u8)(v >> 8);
  }
  void put32(u64 at, u64 v) {
    for (u32 i = 0; i < 4; i += 1) b[at + (little ? i : 3 - i)] = (u8)(v >> (8 * i));
  }
  u64 get16(u64 at) const { return little ? read_le16(&b[at]) : read_be16(&b[at]); }
  u64 get32(u64 at) const { return little ? read_le32(&b[at]) : read_be32(&b[at]); }
  Bytes num(u64 v, u32 size) {
    Bytes out(size);
    for (u32 i = 0; i < size; i += 1) out[little ? i : size - 1 - i] = (u8)(v >> (8 * i));
    return out;
  }
  // Appends a directory whose fields follow it; `next` is its next-directory offset. Returns its offset.
  u64 dir(const std::vector<Field> &fields, u64 next = 0) {
    u64 at = b.size();
    b.resize(at + 2 + 12 * fields.size() + 4);
    put16(at, fields.size());
    for (size_t i = 0; i < fields.size(); i += 1) {
      u64 e = at + 2 + 12 * i;
      put16(e, fields[i].tag);
      put16(e + 2, fields[i].type);
      put32(e + 4, fields[i].count);
      if (fields[i].value.size() <= 4) {
        for (size_t k = 0; k < fields[i].value.size(); k += 1) b[e + 8 + k] = fields[i].value[k];
      } else {
        put32(e + 8, b.size());
        b.insert(b.end(), fields[i].value.begin(), fields[i].value.end());
        if (b.size() & 1) b.push_back(0);
      }
    }
    put32(at + 2 + 12 * fields.size(), next);
    return at;
  }
  // The value bytes of `tag` in the directory at `at`; empty when it is not there.
  Bytes find(u64 at, u32 tag) const {
    for (u64 i = 0, n = get16(at); i < n; i += 1) {
      u64 e = at + 2 + 12 * i;
      if (get16(e) != tag) continue;
      u64 sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
      u64 size = sizes[get16(e + 2)] * get32(e + 4);
      u64 from = size <= 4 ? e + 8 : get32(e + 8);
      return Bytes(b.begin() + from, b.begin() + from + size);
    }
    return {};
  }
  u64 pointer(u64 at, u32 tag) const {
    Bytes v = find(at, tag);
    return v.size() == 4 ? (little ? read_le32(v.data()) : read_be32(v.data())) : 0;
  }
};

static Bytes text(const char *s) { return Bytes(s, s + strlen(s) + 1); }

// IFD0 (orientation 6, make, artist, copyright, the Exif and GPS pointers), the Exif directory
// (exposure, a maker note, a pixel width), the GPS directory, and IFD1 with a thumbnail's tags.
static Tiff camera_exif(bool little) {
  Tiff t = {little, Bytes(8)};
  t.b[0] = t.b[1] = little ? 'I' : 'M';
  t.put16(2, 42);
  u64 exif = t.dir({{0x829A, 5, 1, t.num((u64)1 << 32 | 250, 8)}, {0x927C, 7, 12, Bytes(12, 7)},
                    {0xA002, 3, 1, t.num(4000, 2)}});
  u64 gps = t.dir({{0x0001, 2, 2, text("N")}, {0x0002, 5, 3, Bytes(24, 9)}});
  u64 ifd1 = t.dir({{0x0201, 4, 1, t.num(8, 4)}, {0x0202, 4, 1, t.num(100, 4)}});
  u64 ifd0 = t.dir({{0x010F, 2, 7, text("Camera")}, {0x0112, 3, 1, t.num(6, 2)}, {0x013B, 2, 4, text("Ann")},
                    {0x8298, 2, 9, text("(c) Ann.")}, {0x8769, 4, 1, t.num(exif, 4)}, {0x8825, 4, 1, t.num(gps, 4)}},
                   ifd1);
  t.put32(4, ifd0);
  return t;
}

static Tiff edited(Arena *arena, const Tiff &source, u32 keep, u32 orientation, u64 w, u64 h) {
  Str8 out = exif_edit(arena, str8(source.b.data(), source.b.size()), keep, orientation, w, h);
  return Tiff{source.little, bytes_of(out)};
}

//~ Editing
// The rewrite keeps what it is asked for, in either byte order, with its values where the new
// offsets say: the thumbnail and maker note never, GPS only when asked, the orientation and
// pixel size those of the output; copyright alone keeps the author and rights only.
TEST_F(CodecFixture, ExifRewriteKeepsWhatItIsAskedFor) {
  for (bool little : {true, false}) {
    Tiff source = camera_exif(little);
    Tiff all = edited(arena, source, MetaExif, 1, 300, 200);
    ASSERT_GT(all.b.size(), 8u);
    u64 ifd0 = all.get32(4);
    EXPECT_EQ(all.find(ifd0, 0x0112), all.num(1, 2));
    EXPECT_EQ(all.find(ifd0, 0x010F), text("Camera"));
    EXPECT_EQ(all.find(ifd0, 0x8298), text("(c) Ann."));
    EXPECT_TRUE(all.find(ifd0, 0x8825).empty());
    EXPECT_EQ(all.get32(ifd0 + 2 + 12 * all.get16(ifd0)), 0u) << "IFD1 dropped";
    u64 exif = all.pointer(ifd0, 0x8769);
    ASSERT_NE(exif, 0u);
    EXPECT_EQ(all.find(exif, 0x829A), source.find(source.pointer(source.get32(4), 0x8769), 0x829A));
    EXPECT_TRUE(all.find(exif, 0x927C).empty());
    EXPECT_EQ(all.find(exif, 0xA002), all.num(300, 4));
    EXPECT_EQ(all.find(exif, 0xA003), all.num(200, 4));
    EXPECT_FALSE(exif_has_gps(str8(all.b.data(), all.b.size())));

    Tiff gps = edited(arena, source, MetaExif | MetaGps, 6, 300, 200);
    u64 gps_dir = gps.pointer(gps.get32(4), 0x8825);
    ASSERT_NE(gps_dir, 0u);
    EXPECT_EQ(gps.find(gps_dir, 0x0002), Bytes(24, 9));
    EXPECT_EQ(gps.find(gps.get32(4), 0x0112), gps.num(6, 2)) << "pixels left as stored keep their tag";

    Tiff rights = edited(arena, source, MetaCopyright, 1, 300, 200);
    u64 r0 = rights.get32(4);
    EXPECT_EQ(rights.get16(r0), 2u);
    EXPECT_EQ(rights.find(r0, 0x013B), text("Ann"));
    EXPECT_EQ(rights.find(r0, 0x8298), text("(c) Ann."));
    EXPECT_TRUE(exif_has_copyright(str8(rights.b.data(), rights.b.size())));
  }
}

// A damaged block never reads outside itself (the sanitizer build watches) and is dropped
// when its directories cannot be read: every cut of a block, and its IFD0 pointer and entry
// count bent out of range.
TEST_F(CodecFixture, DamagedExifIsDroppedWithoutReadingOutside) {
  Tiff source = camera_exif(true);
  for (size_t size = 0; size < source.b.size(); size += 1) {
    Bytes cut(source.b.begin(), source.b.begin() + size);
    Str8 out = exif_edit(arena, str8(cut.data(), cut.size()), MetaExif | MetaGps, 1, 10, 10);
    if (size < source.get32(4) + 2) {
      EXPECT_EQ(out.size, 0u) << "cut at " << size;
    }
  }
  Tiff bad = source;
  bad.put32(4, 0xFFFFFFF0);
  EXPECT_EQ(exif_edit(arena, str8(bad.b.data(), bad.b.size()), MetaExif, 1, 10, 10).size, 0u);
  bad = source;
  bad.put16(bad.get32(4), 0xFFFF);
  EXPECT_EQ(exif_edit(arena, str8(bad.b.data(), bad.b.size()), MetaExif, 1, 10, 10).size, 0u);
  // an Exif pointer back at IFD0 is not followed round
  bad = source;
  u64 ifd0 = bad.get32(4);
  for (u64 i = 0; i < bad.get16(ifd0); i += 1) {
    if (bad.get16(ifd0 + 2 + 12 * i) == 0x8769) bad.put32(ifd0 + 2 + 12 * i + 8, ifd0);
  }
  Tiff looped = edited(arena, bad, MetaExif, 1, 10, 10);
  ASSERT_GT(looped.b.size(), 8u);
  EXPECT_EQ(looped.pointer(looped.pointer(looped.get32(4), 0x8769), 0x8769), 0u);
}

// Copyright alone keeps, of XMP, the creator, rights and xmpRights properties (as elements or
// attributes), and of IPTC the By-line and Copyright Notice; nothing when they hold none.
TEST_F(CodecFixture, CopyrightKeepsOnlyAuthorAndRights) {
  Str8 xmp = str8_lit("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description rdf:about=\"\" "
                      "xmpRights:Marked=\"True\" exif:GPSLatitude=\"51,30N\"><dc:title><rdf:Alt><rdf:li>Secret "
                      "place</rdf:li></rdf:Alt></dc:title><dc:creator><rdf:Seq><rdf:li>Ann</rdf:li></rdf:Seq>"
                      "</dc:creator><dc:rights><rdf:Alt><rdf:li xml:lang=\"x-default\">(c) Ann</rdf:li></rdf:Alt>"
                      "</dc:rights></rdf:Description></rdf:RDF></x:xmpmeta>");
  Str8 kept = xmp_copyright(arena, xmp);
  std::string k((const char *)kept.str, kept.size);
  EXPECT_NE(k.find("<dc:creator><rdf:Seq><rdf:li>Ann</rdf:li></rdf:Seq></dc:creator>"), std::string::npos) << k;
  EXPECT_NE(k.find("(c) Ann</rdf:li></rdf:Alt></dc:rights>"), std::string::npos) << k;
  EXPECT_NE(k.find("xmpRights:Marked=\"True\""), std::string::npos) << k;
  EXPECT_EQ(k.find("Secret"), std::string::npos);
  EXPECT_EQ(k.find("GPS"), std::string::npos);
  EXPECT_EQ(xmp_copyright(arena, str8_lit("<dc:title>t</dc:title>")).size, 0u);

  Bytes iptc = {0x1C, 2, 0, 0, 2, 0, 4, 0x1C, 2, 25, 0, 3, 'k', 'e', 'y', 0x1C, 2, 80, 0, 3, 'A', 'n', 'n',
                0x1C, 2, 116, 0, 2, '(', 'c'};
  Bytes rights = bytes_of(iptc_copyright(arena, view(iptc)));
  Bytes expected = {0x1C, 2, 0, 0, 2, 0, 4, 0x1C, 2, 80, 0, 3, 'A', 'n', 'n', 0x1C, 2, 116, 0, 2, '(', 'c'};
  EXPECT_EQ(rights, expected);
  for (size_t size = 1; size < iptc.size(); size += 1) {
    Bytes cut(iptc.begin(), iptc.begin() + size);
    Str8 out = iptc_copyright(arena, view(cut));
    if (size < 15) {
      EXPECT_EQ(out.size, 0u) << size;
    }
  }
}

//~ Writing and reading back
// Every written format carries the kept blocks where its readers (ours, and its own library
// for the pixels) find them: the EXIF, XMP and profile come back byte for byte, IPTC in JPEG
// only, and the file still decodes to its size.
TEST_F(CodecFixture, KeptBlocksReadBackFromEveryWrittenFormat) {
  Tiff exif = edited(arena, camera_exif(false), MetaExif | MetaGps, 1, 48, 32);
  Bytes iptc = {0x1C, 2, 80, 0, 3, 'A', 'n', 'n'};
  Str8 xmp = str8_lit("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><dc:rights>(c) Ann</dc:rights></x:xmpmeta>");
  Str8 srgb = color_srgb_profile();
  ASSERT_GT(srgb.size, 128u);
  EXPECT_EQ(memcmp(srgb.str + 16, "RGB ", 4), 0);
  Bytes px = gradient(48, 32, 3);
  for (u32 type : {FileTypeJpeg, FileTypePng, FileTypeWebp, FileTypeAvif}) {
    const ImageFormat *f = format_of_type(type);
    ASSERT_TRUE(f->encode_kept && f->metadata) << f->name.str;
    ImageMetadata kept = {str8(exif.b.data(), exif.b.size()), xmp, view(iptc), srgb};
    Str8 file = {};
    EncodeSink sink;
    encode_sink_begin(&sink, arena, &file, px.size());
    ASSERT_TRUE(f->encode_kept(&sink, px.data(), px.size(), 48, 32, 3, 80, false, &kept)) << f->name.str;
    ImageMetadata back = f->metadata(arena, file);
    EXPECT_EQ(bytes_of(back.exif), exif.b) << f->name.str;
    EXPECT_EQ(bytes_of(back.xmp), bytes_of(xmp)) << f->name.str;
    EXPECT_EQ(bytes_of(back.icc), bytes_of(srgb)) << f->name.str;
    EXPECT_EQ(bytes_of(back.iptc), type == FileTypeJpeg ? iptc : Bytes{}) << f->name.str;
    EXPECT_EQ(kept.iptc.size, type == FileTypeJpeg ? iptc.size() : 0u) << "what was not written is not named";
    EXPECT_TRUE(f->complete(file)) << f->name.str;
    CodecProbe probe;
    ASSERT_TRUE(f->probe(file, &probe)) << f->name.str;
    EXPECT_EQ(probe.width, 48u);
    CodecDecoded decoded = f->decode_heap(file, 48, 32, 3);
    EXPECT_EQ(decoded.pixels.size, 48u * 32 * 3) << f->name.str;
    codec_heap_free(decoded.pixels);
  }
}
