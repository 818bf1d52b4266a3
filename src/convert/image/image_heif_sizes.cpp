#include "convert/image/image_heif_sizes.h"

//~ Coded sizes
// HEVC pictures are coded in whole blocks of up to 64 x 64 pixels and cropped, so they may
// exceed the declared size by that.
static constexpr u64 HeifCodedSlack = 64;

struct BoxReader {
  Str8 bytes;
  u64 at, end;
  // The next box within [at, end): its type and its body; false at the end or on a bad size.
  bool next(const u8 **type, u64 *body, u64 *body_end) {
    if (at + 8 > end) return false;
    u64 size = read_be32(bytes.str + at), header = 8;
    if (size == 1) {
      if (at + 16 > end) return false;
      size = read_be32(bytes.str + at + 8) << 32 | read_be32(bytes.str + at + 12);
      header = 16;
    } else if (size == 0) {
      size = end - at;
    }
    if (size < header || size > end - at) return false;
    *type = bytes.str + at + 4;
    *body = at + header;
    *body_end = at + size;
    at += size;
    return true;
  }
};

// Reads bits most significant first; a read past the end gives zeros and marks the reader spent.
struct BitReader {
  const u8 *p;
  u64 size, bit;
  bool spent;
  u64 bits(u32 n) {
    u64 v = 0;
    for (u32 i = 0; i < n; i += 1, bit += 1) {
      if (bit / 8 >= size) {
        spent = true;
        return 0;
      }
      v = v << 1 | ((p[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return v;
  }
  u64 golomb() { // ue(v)
    u32 zeros = 0;
    while (!spent && bits(1) == 0 && zeros < 32) zeros += 1;
    return zeros >= 32 ? ~0ull : ((1ull << zeros) - 1 + bits(zeros));
  }
};

// The largest frame the sequence header among an AV1 item's first OBUs allows (a temporal
// delimiter may come before it); false when there is none.
static bool av1_coded_size(Str8 obus, u64 *width, u64 *height) {
  u64 at = 0;
  for (u32 obu = 0;; obu += 1) {
    if (obu == 4 || at + 2 > obus.size) return false;
    u8 header = obus.str[at];
    u64 size = obus.size, p = at + 1 + ((header >> 2) & 1); // after the extension byte
    if (header & 2) {                                          // a LEB128 size
      size = 0;
      for (u32 shift = 0; p < obus.size && shift < 56; shift += 7) {
        u8 byte = obus.str[p++];
        size |= (u64)(byte & 0x7F) << shift;
        if (!(byte & 0x80)) break;
      }
    }
    if (p > obus.size) return false;
    if (((header >> 3) & 15) == 1) { // OBU_SEQUENCE_HEADER
      at = p;
      break;
    }
    if (size > obus.size - p) return false;
    at = p + size;
  }
  BitReader r = {obus.str + at, obus.size - at, 0, false};
  r.bits(4); // seq_profile, still_picture
  if (r.bits(1)) {
    r.bits(5); // reduced_still_picture_header: seq_level_idx
  } else {
    u64 buffer_delay = 0;
    bool decoder_model = false;
    if (r.bits(1)) { // timing_info_present_flag
      r.bits(64);
      if (r.bits(1)) {
        u32 zeros = 0;
        while (!r.spent && r.bits(1) == 0 && zeros < 32) zeros += 1;
        r.bits(zeros);
      }
      decoder_model = r.bits(1) != 0;
      if (decoder_model) {
        buffer_delay = r.bits(5) + 1;
        r.bits(42);
      }
    }
    bool initial_display_delay = r.bits(1) != 0;
    u64 operating_points = r.bits(5) + 1;
    for (u64 i = 0; i < operating_points && !r.spent; i += 1) {
      r.bits(12);
      if (r.bits(5) > 7) r.bits(1);
      if (decoder_model && r.bits(1)) r.bits((u32)(2 * buffer_delay + 1));
      if (initial_display_delay && r.bits(1)) r.bits(4);
    }
  }
  u32 width_bits = (u32)r.bits(4) + 1, height_bits = (u32)r.bits(4) + 1;
  *width = r.bits(width_bits) + 1;
  *height = r.bits(height_bits) + 1;
  return !r.spent;
}

// The picture size of the first sequence parameter set an hvcC box holds.
static bool hevc_coded_size(Str8 hvcc, u64 *width, u64 *height) {
  if (hvcc.size < 23) return false;
  u64 at = 23;
  for (u64 arrays = hvcc.str[22]; arrays > 0 && at + 3 <= hvcc.size; arrays -= 1) {
    u32 type = hvcc.str[at] & 63;
    u64 count = read_be16(hvcc.str + at + 1);
    at += 3;
    for (; count > 0 && at + 2 <= hvcc.size; count -= 1) {
      u64 size = read_be16(hvcc.str + at);
      at += 2;
      if (size > hvcc.size - at) return false;
      if (type == 33 && size > 2) { // SPS_NUT: the payload without its emulation prevention bytes
        u8 rbsp[64];
        u64 n = 0, zeros = 0;
        for (u64 i = at + 2; i < at + size && n < sizeof(rbsp); i += 1) {
          if (zeros >= 2 && hvcc.str[i] == 3) {
            zeros = 0;
            continue;
          }
          zeros = hvcc.str[i] == 0 ? zeros + 1 : 0;
          rbsp[n++] = hvcc.str[i];
        }
        BitReader r = {rbsp, n, 0, false};
        r.bits(4);
        u32 sub_layers = (u32)r.bits(3);
        r.bits(1 + 96); // temporal nesting; the general profile, tier and level
        u32 profile_present = 0, level_present = 0;
        for (u32 i = 0; i < sub_layers; i += 1) {
          profile_present |= (u32)r.bits(1) << i;
          level_present |= (u32)r.bits(1) << i;
        }
        if (sub_layers > 0) r.bits(2 * (8 - sub_layers));
        for (u32 i = 0; i < sub_layers; i += 1) r.bits(((profile_present >> i) & 1) * 88 + ((level_present >> i) & 1) * 8);
        r.golomb(); // sps_seq_parameter_set_id
        if (r.golomb() == 3) r.bits(1);
        *width = r.golomb();
        *height = r.golomb();
        return !r.spent;
      }
      at += size;
    }
  }
  return false;
}

bool heif_coded_sizes_fit(Str8 bytes, u64 declared_width, u64 declared_height) {
  u64 allowed = (declared_width + HeifCodedSlack) * (declared_height + HeifCodedSlack);
  BoxReader top = {bytes, 0, bytes.size};
  const u8 *type;
  u64 body, body_end;
  while (top.next(&type, &body, &body_end)) {
    if (memcmp(type, "meta", 4) != 0) continue;
    // the items' types and the first extent of each, and the codec configurations
    BoxReader meta = {bytes, body + 4, body_end};
    u64 iinf = 0, iinf_end = 0, iloc = 0, iloc_end = 0;
    while (meta.next(&type, &body, &body_end)) {
      if (memcmp(type, "iinf", 4) == 0) iinf = body, iinf_end = body_end;
      if (memcmp(type, "iloc", 4) == 0) iloc = body, iloc_end = body_end;
      if (memcmp(type, "iprp", 4) != 0) continue;
      BoxReader iprp = {bytes, body, body_end};
      while (iprp.next(&type, &body, &body_end)) {
        if (memcmp(type, "ipco", 4) != 0) continue;
        BoxReader ipco = {bytes, body, body_end};
        while (ipco.next(&type, &body, &body_end)) {
          u64 w = 0, h = 0;
          if (memcmp(type, "hvcC", 4) == 0 && hevc_coded_size(Str8{bytes.str + body, body_end - body}, &w, &h) &&
              w * h > allowed) {
            return false;
          }
        }
      }
    }
    if (!iinf || !iloc || iloc + 8 > iloc_end) return true;
    // the AV1 items: their data starts with the sequence header
    const u8 *b = bytes.str;
    u32 version = b[iloc];
    if (version > 2 || iinf + 6 > iinf_end) return true;
    u32 offset_size = b[iloc + 4] >> 4, length_size = b[iloc + 4] & 15, base_size = b[iloc + 5] >> 4,
        index_size = version ? b[iloc + 5] & 15 : 0;
    u64 at = iloc + 6, items = 0;
    auto read = [&](u32 n) {
      u64 v = 0;
      for (u32 i = 0; i < n && at < iloc_end; i += 1) v = v << 8 | b[at++];
      return v;
    };
    items = read(version < 2 ? 2 : 4);
    for (; items > 0 && at < iloc_end; items -= 1) {
      u64 id = read(version < 2 ? 2 : 4);
      u64 method = version ? read(2) & 15 : 0;
      read(2);
      u64 base = read(base_size), extents = read(2);
      u64 first = ~0ull, length = 0;
      for (u64 e = 0; e < extents && at < iloc_end; e += 1) {
        read(index_size);
        u64 offset = read(offset_size), size = read(length_size);
        if (e == 0) first = base + offset, length = size;
      }
      // is it an av01 item? (infe version 2 or 3: the item's ID, a protection index, its type)
      bool av1 = false;
      BoxReader infos = {bytes, iinf + 4 + (b[iinf] ? 4u : 2u), iinf_end};
      while (!av1 && infos.next(&type, &body, &body_end)) {
        if (memcmp(type, "infe", 4) != 0 || body + 4 > body_end || b[body] < 2) continue;
        u64 field = b[body] == 2 ? 2 : 4, p = body + 4;
        if (p + field + 6 > body_end) continue;
        u64 item = field == 2 ? read_be16(b + p) : read_be32(b + p);
        av1 = item == id && memcmp(b + p + field + 2, "av01", 4) == 0;
      }
      if (!av1 || method != 0 || first >= bytes.size) continue;
      u64 w = 0, h = 0;
      Str8 data = {(u8 *)b + first, min_of(length ? length : bytes.size - first, bytes.size - first)};
      if (av1_coded_size(data, &w, &h) && w * h > allowed) return false;
    }
    return true;
  }
  return true;
}
