#include "convert/convert_pipeline.h"

//~ Pipeline
//- decoding
static void plan_fill_slot(ConvertPlan *plan, u32 channels, Str8 pixels) {
  ImageStats *slot = &plan->slots[channels - 1];
  slot->width = plan->probe.width;
  slot->height = plan->probe.height;
  slot->pixel_count = plan->probe.width * plan->probe.height;
  slot->bytes_per_channel = 1;
  slot->pixel_layout = channels;
  slot->bytes_per_pixel = (u8)channels;
  slot->x_stride = channels * plan->probe.width;
  slot->pixels = pixels.str;
  slot->pixel_size = pixels.size;
}

// The records are planned again for the picture's real size: the source record's image, the
// outputs and their layouts start over from the source alone.
static void plan_resize_source(ConvertPlan *plan, u64 width, u64 height) {
  CodecProbe probe = plan->probe;
  probe.width = width;
  probe.height = height;
  OutputRecord *source = plan->first_record;
  source->next = nullptr;
  plan->last_record = source;
  plan->record_count = 1;
  *source->image = ImageStats{};
  memset(plan->needed, 0, sizeof(plan->needed));
  plan_set_source(plan, probe);
  plan_targets(plan, plan->targets);
  plan_geometry(plan);
}

// A layout the plan derives itself could not be made.
static CodecFailure plan_out_of_memory() {
  CodecFailure failure = {};
  codec_failure_set(&failure, DecodeRefused, "out of memory");
  return failure;
}

// The decode failed: the plan ends, saying why.
static void plan_decode_failed(ConvertPlan *plan, CodecFailure failure) {
  message_add(plan->arena, &plan->first_record->messages, MessageNote, str8_lit("Unable to load the image."));
  plan->failure = failure;
  plan->ok = false;
}

// A layout the source's own cannot give, decoded by the format's own decoder (a JPEG's grey
// is its luma plane) and kept in the layout arena.
static CodecDecoded plan_decode_layout(ConvertPlan *plan, u32 channels) {
  CodecDecoded layout = plan->format->decode_heap(plan->source_bytes, plan->probe.width, plan->probe.height, channels);
  if (layout.pixels.size == 0) return layout;
  Str8 copy = {arena_push_uninit<u8>(plan->layout_arena, layout.pixels.size), layout.pixels.size};
  memcpy(copy.str, layout.pixels.str, layout.pixels.size);
  codec_heap_free(layout.pixels);
  layout.pixels = copy;
  return layout;
}

void plan_decode(ConvertPlan *plan) {
  if (!plan->ok) return;
  OutputRecord *source = plan->first_record;
  CodecProbe probe = plan->probe;
  u32 own = probe.channels;

  // A 16-bit source: one 16-bit decode gives its own layout, reduced to 8 bits, and every
  // other layout it needs.
  if (probe.bytes_per_channel == 2) {
    Str8 layouts[4];
    CodecFailure failure =
        codec_decode_16_layouts(plan->layout_arena, plan->source_bytes, probe.width, probe.height, own, plan->needed, layouts);
    if (failure.kind != DecodeOk) {
      message_add(plan->arena, &source->messages, MessageNote,
                  str8_lit("Bitmap was 16bits per channel, we were unable to convert it."));
      plan->failure = failure;
      plan->ok = false;
      return;
    }
    for (u32 channels = 1; channels <= 4; channels += 1) {
      if (layouts[channels - 1].size) plan_fill_slot(plan, channels, layouts[channels - 1]);
    }
    message_add(plan->arena, &source->messages, MessageNote,
                str8_lit("Bitmap was 16bits/channel, we do not support it and convert it to 8bits/channel."));
    return;
  }

  // The source's own layout is decoded once; every other needed layout is derived from it
  // with the decoder's own conversion rules, or decoded where those cannot reproduce it.
  StderrCapture capture;
  plan_library_begin(plan->format, &capture);
  CodecDecoded decoded = plan->format->decode_heap(plan->source_bytes, probe.width, probe.height, own);
  plan_library_end(plan, source, plan->format, &capture);
  if (decoded.pixels.size == 0) return plan_decode_failed(plan, decoded.failure);
  Str8 own_pixels = decoded.pixels;
  plan->heap_layout = own_pixels;
  if (decoded.width != probe.width || decoded.height != probe.height) {
    plan_resize_source(plan, decoded.width, decoded.height);
    probe = plan->probe;
    if (!plan->ok) return;
  }
  u64 pixel_count = probe.width * probe.height;
  plan_fill_slot(plan, own, own_pixels);
  if (probe.deep) {
    message_add(plan->arena, &source->messages, MessageNote,
                str8_lit("Bitmap was 16bits/channel, we do not support it and convert it to 8bits/channel."));
  }

  // When no output reads the source's own layout, the widest layout it needs is made by
  // widening the decoder's buffer in place, so a large source is never held twice.
  bool own_read_by_outputs = false;
  for (u64 i = 1; i < plan->pair_count; i += 1) {
    own_read_by_outputs |= (u32)plan->pairs[i].target.pixel_layout == own;
  }
  u32 widen_to = 0;
  if (!own_read_by_outputs) {
    for (u32 channels = 4; channels > own; channels -= 1) {
      if (plan->needed[channels - 1] && codec_derivable(plan->source_bytes, own, channels)) {
        widen_to = channels;
        break;
      }
    }
  }

  for (u32 channels = 4; channels >= 1; channels -= 1) {
    if (!plan->needed[channels - 1] || plan->slots[channels - 1].pixel_size != 0 || channels == widen_to) continue;
    CodecDecoded layout = {};
    if (codec_derivable(plan->source_bytes, own, channels)) {
      layout.pixels = codec_derive_8(plan->layout_arena, own_pixels, own, channels, pixel_count);
      if (layout.pixels.size == 0) layout.failure = plan_out_of_memory();
    } else {
      layout = plan_decode_layout(plan, channels);
    }
    if (layout.pixels.size == 0) return plan_decode_failed(plan, layout.failure);
    Str8 pixels = layout.pixels;
    plan_fill_slot(plan, channels, pixels);
  }

  if (widen_to) {
    // The source record's statistics and checksum come from its own layout, before it goes.
    ImageStats *image = source->image;
    plan->source_digest = compute_image_stats_and_checksum(own_pixels.str, image->width, image->height,
                                                           image->x_stride, own_pixels.str, own_pixels.size, image);
    plan->source_done = true;
    Str8 wide = codec_expand_heap(own_pixels, own, widen_to, pixel_count);
    if (wide.size == 0) return plan_decode_failed(plan, plan_out_of_memory());
    plan->heap_layout = wide;
    plan->slots[own - 1] = ImageStats{};
    plan_fill_slot(plan, widen_to, wide);
  }
}

//- resampling
// A letterboxed output's canvas, where its picture is resampled in place: the picture's rows
// are the canvas's, at its offset, so composing it later only paints the borders.
static u8 *plan_canvas_for(ConvertPlan *plan, ImageStats *image, u64 *row) {
  u64 bpp = image->bytes_per_pixel;
  if (image->pixel_count_bg == 0 || image->width_bg < image->width || image->height_bg < image->height || bpp == 0 ||
      bpp > 4) {
    return nullptr;
  }
  *row = bpp * image->width_bg;
  return (u8 *)arena_alloc(plan->file_arena, *row * image->height_bg, 8);
}

// As if nothing had been drawn: black, never what the memory held before.
static void picture_clear(CodecPicture p, u32 bpp) {
  for (u64 y = 0; y < p.height; y += 1) memset(p.pixels + y * p.stride, 0, (u64)bpp * p.width);
}

void plan_resample(ConvertPlan *plan) {
  if (!plan->ok) return;
  for (u64 i = plan->source_done ? 1 : 0; i < plan->pair_count; i += 1) {
    PlanPair *pair = &plan->pairs[i];
    ImageStats *image = pair->record->image;
    u32 channels = i == 0 ? plan->probe.channels : (u32)pair->target.pixel_layout;
    ImageStats *slot = &plan->slots[channels - 1];
    // An output is resampled in the stored orientation, then turned and converted: the
    // smaller picture is the cheaper one to work on.
    bool turn = i > 0 && plan->orientation > 1;
    bool convert = i > 0 && plan->color;
    bool swap = turn && orientation_swaps(plan->orientation);
    u64 frame_width = swap ? image->height : image->width, frame_height = swap ? image->width : image->height;
    CodecPicture in = {slot->pixels, slot->pixel_size, slot->width, slot->height, slot->x_stride};
    // A cover output reads its window of the source alone, found in the stored picture.
    OutputRecord *record = pair->record;
    if (record->crop.width != 0) {
      if (pair->target.crop == CropAttention) {
        SizeU64 window = {record->crop.width, record->crop.height};
        record->crop = attention_window(slot->pixels, slot->x_stride, slot->width, slot->height, channels,
                                        turn ? plan->orientation : 1, window);
      }
      RectU64 r = orientation_stored_rect(turn ? plan->orientation : 1, slot->width, slot->height, record->crop);
      in.pixels += r.y * in.stride + r.x * channels;
      in.width = r.width;
      in.height = r.height;
      in.size = in.stride * (r.height - 1) + r.width * channels;
    }
    bool cropped = in.width != slot->width || in.height != slot->height;
    bool resize = frame_width != in.width || frame_height != in.height;
    if (!resize && !turn && !convert && !cropped) {
      if (!image->pixels) {
        image->pixels = slot->pixels;
        image->pixel_size = slot->pixel_size;
      }
      continue;
    }
    // The resampler writes every pixel of its output: nothing is cleared first.
    image->pixel_size = (u64)slot->bytes_per_pixel * image->pixel_count;
    u64 row = 0;
    u8 *canvas = plan_canvas_for(plan, image, &row);
    if (canvas) {
      u64 top = (image->height_bg - image->height) / 2, left = (image->width_bg - image->width) / 2;
      pair->canvas = canvas;
      image->pixels = canvas + top * row + left * image->bytes_per_pixel;
      image->x_stride = row;
      image->pixel_size = row * (image->height - 1) + (u64)image->bytes_per_pixel * image->width;
    } else {
      image->pixels = (u8 *)arena_alloc(plan->file_arena, image->pixel_size, 8);
    }
    CodecPicture out = {image->pixels, image->pixel_size, image->width, image->height, image->x_stride};

    // resample into the output, or into a stored-orientation frame that is then turned into it
    Scratch scratch = scratch_begin(plan->file_arena);
    CodecPicture frame = turn ? in : out;
    if (turn && resize) {
      u64 row = (u64)channels * frame_width;
      frame = CodecPicture{nullptr, row * frame_height, frame_width, frame_height, row};
      frame.pixels = (u8 *)arena_alloc(scratch.arena, frame.size, 8);
    }
    if (resize &&
        !codec_resize(in, frame, channels, (u32)pair->target.resampling_filter, (u32)pair->target.edge_mode)) {
      picture_clear(frame, channels);
    }
    if (turn) {
      picture_turn(frame.pixels, frame.stride, frame.width, frame.height, channels, plan->orientation, out.pixels,
                   out.stride);
    } else if (!resize && !convert) {
      // a window kept at its own size: its rows copied out as they are
      picture_turn(in.pixels, in.stride, in.width, in.height, channels, 1, out.pixels, out.stride);
    }
    if (convert) {
      CodecPicture from = turn || resize ? out : in;
      color_convert(plan->color, from.pixels, from.stride, out.pixels, out.stride, out.width, out.height, channels);
    }
    scratch_restore(scratch);
  }
}

//- statistics and background
void plan_stats_and_background(ConvertPlan *plan) {
  if (!plan->ok) return;
  for (u64 i = plan->source_done ? 1 : 0; i < plan->pair_count; i += 1) {
    PlanPair *pair = &plan->pairs[i];
    ImageStats *image = pair->record->image;
    // The statistics read the picture; the checksum reads what is encoded, the canvas once its
    // borders are painted (painting them leaves the picture's pixels as they are).
    const u8 *picture = image->pixels;
    u64 picture_stride = image->x_stride;
    if (image->pixel_count_bg != 0) {
      if (pair->canvas) {
        compose_borders(pair->canvas, image);
      } else {
        compose_background(plan->file_arena, image);
      }
    }
    if (picture && image->bytes_per_channel == 1) {
      pair->digest = compute_image_stats_and_checksum(picture, image->width, image->height, picture_stride,
                                                      image->pixels, image->pixel_size, image);
      pair->digest_taken = true;
    }
  }
}

//- kept metadata
// An ICC profile's data colour space (bytes 16 to 19 of its header) is RGB.
static bool profile_is_rgb(Str8 icc) { return icc.size >= 128 && memcmp(icc.str + 16, "RGB ", 4) == 0; }

// The blocks an output of `width` × `height` and `channels` keeps of its source: EXIF rewritten
// for it, XMP and IPTC whole or cut to their author and rights fields, and the profile of its
// colours (sRGB when they were converted, else the source's own where it is an RGB one).
static ImageMetadata plan_kept_metadata(ConvertPlan *plan, u32 keep, u64 width, u64 height, u32 channels) {
  if (!plan->metadata_read) {
    plan->metadata_read = true;
    if (plan->format->metadata) {
      StderrCapture capture;
      plan_library_begin(plan->format, &capture);
      plan->source_metadata = plan->format->metadata(plan->arena, plan->source_bytes);
      plan_library_end(plan, plan->first_record, plan->format, &capture);
    }
  }
  const ImageMetadata *source = &plan->source_metadata;
  ImageMetadata kept = {};
  kept.exif = exif_edit(plan->file_arena, source->exif, keep, plan->kept_orientation, width, height);
  if (keep & KeepXmp) kept.xmp = source->xmp;
  else if (keep & KeepCopyright) kept.xmp = xmp_copyright(plan->file_arena, source->xmp);
  if (keep & KeepIptc) kept.iptc = source->iptc;
  else if (keep & KeepCopyright) kept.iptc = iptc_copyright(plan->file_arena, source->iptc);
  if ((keep & KeepIcc) && channels >= 3) {
    kept.icc = plan->color ? color_srgb_profile() : profile_is_rgb(plan->source_icc) ? plan->source_icc : Str8{};
  }
  return kept;
}

// What an output's file holds of its source's metadata, for its record: "exif, gps, icc".
static Str8 plan_kept_names(Arena *arena, u32 keep, const ImageMetadata *written) {
  Str8List names = {};
  bool copyright = false;
  if (written->exif.size) {
    if (keep & KeepExif) str8_list_add(arena, &names, str8_lit("exif"));
    if (exif_has_gps(written->exif)) str8_list_add(arena, &names, str8_lit("gps"));
    copyright |= !(keep & KeepExif) && exif_has_copyright(written->exif);
  }
  if (written->xmp.size) {
    if (keep & KeepXmp) str8_list_add(arena, &names, str8_lit("xmp"));
    else copyright = true;
  }
  if (written->iptc.size) {
    if (keep & KeepIptc) str8_list_add(arena, &names, str8_lit("iptc"));
    else copyright = true;
  }
  if (copyright) str8_list_add(arena, &names, str8_lit("copyright"));
  if (written->icc.size) str8_list_add(arena, &names, str8_lit("icc"));
  JoinParams comma = {Str8{}, str8_lit(", "), Str8{}};
  return names.node_count ? str8_list_join(arena, &names, &comma) : Str8{};
}

//- checksums and encoding
void plan_checksums_and_encode(ConvertPlan *plan) {
  if (!plan->ok) return;
  for (u64 i = 0; i < plan->pair_count; i += 1) {
    OutputRecord *record = plan->pairs[i].record;
    ImageStats *image = record->image;
    bool early = i == 0 && plan->source_done;
    if (record->bytes.size == 0 && image->pixel_size == 0 && !early) continue;
    PlanPair *pair = &plan->pairs[i];
    U128 digest = early               ? plan->source_digest
                  : pair->digest_taken ? pair->digest
                                       : codec_blake2b128(image->pixels, image->pixel_size);
    record->checksum = checksum_text(plan->arena, digest);
    record->quality = 100;
    record->file_path = arena_format(plan->arena, "%S/%S", plan->out_folder, record->checksum);
  }

  // The source-size layouts are the largest buffers of an attempt; once every checksum is
  // taken, only an output of the source's own size still reads them.
  bool slots_needed = false;
  for (u64 i = 1; i < plan->pair_count; i += 1) {
    u8 *pixels = plan->pairs[i].record->image->pixels;
    for (u32 k = 0; k < 4; k += 1) slots_needed |= pixels && pixels == plan->slots[k].pixels;
  }
  if (!slots_needed) plan_release_layouts(plan);

  for (u64 i = 1; i < plan->pair_count; i += 1) {
    PlanPair *pair = &plan->pairs[i];
    OutputRecord *record = pair->record;
    ImageStats *image = record->image;
    if (record->bytes.size != 0 || image->pixel_size == 0) continue;

    u64 width = image->width;
    u64 height = image->height;
    if (image->width_bg != 0 || image->height_bg != 0) {
      width = image->width_bg;
      height = image->height_bg;
    }
    // only an output that keeps something takes the encoder that writes it: others stay as they were
    const ImageFormat *format = format_of_type((u32)pair->target.image_type);
    ImageMetadata kept = {};
    u32 keep = pair->target.keep;
    if (keep && format && format->encode_kept) kept = plan_kept_metadata(plan, keep, width, height, image->pixel_layout);
    if (plan_encode_output(plan, pair, width, height, &kept)) {
      if (!metadata_empty(&kept)) record->metadata_kept = plan_kept_names(plan->arena, keep, &kept);
    } else {
      record->bytes = Str8{};
      message_add(plan->arena, &record->messages, MessageNote, str8_lit("Was unable to produce the file."));
    }
  }
}

void plan_release_layouts(ConvertPlan *plan) {
  arena_rewind(plan->layout_arena, plan->layout_mark);
  codec_heap_free(plan->heap_layout);
  plan->heap_layout = Str8{};
  memset(plan->slots, 0, sizeof(plan->slots));
  // The source record's picture was one of them; its checksum and statistics are kept.
  plan->first_record->image->pixels = nullptr;
}
