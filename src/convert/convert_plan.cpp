#include "convert/convert_plan.h"

//~ Plan
static OutputRecord *plan_new_record(ConvertPlan *plan) {
  OutputRecord *record = arena_push<OutputRecord>(plan->arena);
  record->image = arena_push<ImageStats>(plan->arena);
  if (plan->last_record) {
    plan->last_record->next = record;
  } else {
    plan->first_record = record;
  }
  plan->last_record = record;
  plan->record_count += 1;
  return record;
}

u32 plan_file_type_of(Str8 bytes) {
  const ImageFormat *format = format_of_bytes(bytes);
  return format ? format->file_type : FileTypeNone;
}

void plan_begin(ConvertPlan *plan, Arena *arena, Arena *file_arena, Arena *layout_arena, Str8 out_folder,
                Str8 source_bytes) {
  memset(plan, 0, sizeof(*plan));
  plan->arena = arena;
  plan->file_arena = file_arena;
  plan->layout_arena = layout_arena;
  plan->layout_mark = arena_offset(layout_arena);
  plan->out_folder = out_folder;
  plan->source_bytes = source_bytes;
  plan->format = format_of_bytes(source_bytes);
  plan->ok = true;
  OutputRecord *source = plan_new_record(plan);
  source->is_original = 1;
  source->file_type = plan->format ? plan->format->file_type : FileTypeNone;
  source->bytes = source_bytes;
  source->quality = 100;
}

OutputRecord *plan_source_record(ConvertPlan *plan) { return plan->first_record; }

//- what the format's library prints
// A line as a note: control characters go (a tab becomes a space), a long line is cut before
// a character it would split, and the note ends as a sentence does, so that notes that follow
// one another in a record stay apart.
static Str8 plan_library_note(Arena *arena, Str8 library, Str8 line, bool shared) {
  u8 kept[PlanLibraryLineMax];
  u64 size = 0, i = 0;
  for (; i < line.size && size < sizeof(kept); i += 1) {
    u8 c = line.str[i] == '\t' ? ' ' : line.str[i];
    if (c >= 0x20 && c != 0x7F) kept[size++] = c;
  }
  if (i < line.size) {
    u64 lead = size - 1;
    while (lead > 0 && (kept[lead] & 0xC0) == 0x80) lead -= 1;
    u8 b = kept[lead];
    u64 length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (size - lead < length) size = lead;
  }
  Str8 text = str8_trim_space(str8(kept, size));
  if (text.size == 0) return Str8{};
  Str8 also = shared ? str8_lit(" (printed while another file was being converted too)") : Str8{};
  u8 last = shared ? ')' : text.str[text.size - 1];
  Str8 stop = last == '.' || last == '!' || last == '?' ? Str8{} : str8_lit(".");
  return arena_format(arena, "%S: %S%S%S", library, text, also, stop);
}

void plan_library_notes(ConvertPlan *plan, OutputRecord *record, Str8 library, Str8 printed, bool shared) {
  const u8 breaks[] = {'\n', '\r'};
  Scratch scratch = scratch_begin(plan->arena);
  Str8List lines = str8_split_by(scratch.arena, printed, breaks, sizeof(breaks), 0);
  for (Str8Node *n = lines.first; n && plan->library_notes < PlanLibraryNotes; n = n->next) {
    Str8 note = plan_library_note(scratch.arena, library, n->string, shared);
    bool known = note.size == 0;
    for (Message *m = record->messages.first; m && !known; m = m->next) known = str8_equals(m->text, note, 0);
    if (known) continue;
    message_add(plan->arena, &record->messages, MessageNote, str8_copy(plan->arena, note));
    plan->library_notes += 1;
  }
  scratch_restore(scratch);
}

void plan_library_begin(const ImageFormat *format, StderrCapture *capture) {
  capture->taken = false;
  if (format->library.size > 0) stderr_capture_begin(capture);
}

void plan_library_end(ConvertPlan *plan, OutputRecord *record, const ImageFormat *format,
                             StderrCapture *capture) {
  if (!capture->taken) return;
  stderr_capture_end(capture);
  plan_library_notes(plan, record, format->library, str8(capture->own, capture->own_size), false);
  plan_library_notes(plan, record, format->library, str8(capture->shared, capture->shared_size), true);
}

bool plan_probe(ConvertPlan *plan, CodecProbe *out) {
  StderrCapture capture;
  plan_library_begin(plan->format, &capture);
  bool probed = plan->format->probe(plan->source_bytes, out);
  plan_library_end(plan, plan->first_record, plan->format, &capture);
  return probed;
}

void plan_set_source(ConvertPlan *plan, CodecProbe probe) {
  plan->probe = probe;
  ImageStats *image = plan->first_record->image;
  image->width = probe.width;
  image->height = probe.height;
  image->pixel_layout = probe.channels;
  image->bytes_per_channel = probe.bytes_per_channel;
  image->bytes_per_pixel = (u8)(probe.channels * probe.bytes_per_channel);
  image->x_stride = image->bytes_per_pixel * probe.width;
  image->pixel_count = probe.width * probe.height;
  plan->needed[probe.channels - 1] = true;
}

//- what a viewer applies
void plan_photo(ConvertPlan *plan, bool keep_orientation, bool keep_color) {
  plan->orientation = 1;
  plan->color = nullptr;
  if (!plan->ok) return;
  StderrCapture capture;
  plan_library_begin(plan->format, &capture);
  CodecPhotoTags tags = plan->format->photo_tags(plan->arena, plan->source_bytes);
  plan_library_end(plan, plan->first_record, plan->format, &capture);
  if (!keep_orientation) plan->orientation = tags.orientation;
  // Pixels left as stored keep what their tag says; turned ones, and those the decoder turned
  // itself (whose format gives no orientation), are upright.
  plan->kept_orientation = keep_orientation ? tags.orientation : 1;
  plan->source_icc = tags.icc_profile;
  // a grey source keeps its numbers, whatever its profile
  if (!keep_color && plan->probe.channels >= 3) {
    plan->color = tags.icc_profile.size > 0 ? color_to_srgb(tags.icc_profile)
                                            : color_to_srgb_from_primaries(&tags.primaries);
  }
}

// The source's size as a viewer shows it.
static SizeU64 plan_upright_size(const ConvertPlan *plan) {
  if (orientation_swaps(plan->orientation)) return SizeU64{plan->probe.height, plan->probe.width};
  return SizeU64{plan->probe.width, plan->probe.height};
}

//- effective targets
void plan_targets(ConvertPlan *plan, const TargetList *targets) {
  if (!plan->ok) return;
  CodecProbe src = plan->probe;
  // Outputs are made of the picture as a viewer shows it; an identity target (that picture at
  // its size, the source's type, quality 100) is the source's copy, which a viewer shows so.
  plan->targets = targets;
  SizeU64 upright = plan_upright_size(plan);
  u32 source_type = plan->first_record->file_type;
  plan->pairs = arena_push<PlanPair>(plan->arena, targets->count + 1);
  plan->pair_count = 1; // pairs[0] waits for the source record's identity target
  bool have_identity = false;

  for (TargetNode *node = targets->first; node; node = node->next) {
    Target t = *node->target;
    if (t.quality == 0) t.quality = 100;
    if (t.pixel_layout == 0) t.pixel_layout = (i32)src.channels;
    if (t.width == 0 && t.height == 0) {
      t.width = upright.width;
      t.height = upright.height;
    }
    // One side given: the other follows the picture's proportions, and the picture is the box.
    bool one_side = (t.width == 0) != (t.height == 0);
    if (t.width == 0) t.width = max_of<u64>(1, (u64)((f64)t.height * upright.width / upright.height + 0.5));
    if (t.height == 0) t.height = max_of<u64>(1, (u64)((f64)t.width * upright.height / upright.width + 0.5));
    if (one_side) t.fit = FitInside;

    // An earlier effective target of the same quality and size (and, when this one names a
    // file type, the same type) already gives this output.
    bool duplicate = false;
    for (u64 i = 0; i < plan->pair_count; i += 1) {
      if (i == 0 && !have_identity) continue;
      const Target *e = &plan->pairs[i].target;
      if (e->quality == t.quality && e->width == t.width && e->height == t.height &&
          (t.image_type == FileTypeNone || e->image_type == t.image_type) && e->fit == t.fit &&
          e->crop == t.crop && e->no_enlarge == t.no_enlarge && e->edge_mode == t.edge_mode &&
          plan->pairs[i].one_side == one_side) {
        duplicate = true;
        break;
      }
    }
    if (duplicate) continue;

    bool identity =
        t.width == upright.width && t.height == upright.height && t.image_type == FileTypeNone && t.quality == 100;
    if (identity) {
      t.image_type = (i32)source_type;
      if (!have_identity) {
        plan->pairs[0].target = t;
        have_identity = true;
      }
      // A second identity target is a duplicate of the first by the rule above.
      continue;
    }
    PlanPair *pair = &plan->pairs[plan->pair_count++];
    pair->target = t;
    pair->one_side = one_side;
    pair->record = plan_new_record(plan);
  }

  // Without an identity target the source record is paired with the source's own size,
  // type and layout at quality 100.
  if (!have_identity) {
    Target t = {};
    t.image_type = (i32)source_type;
    t.width = src.width;
    t.height = src.height;
    t.quality = 100;
    t.pixel_layout = (i32)src.channels;
    plan->pairs[0].target = t;
  }
  plan->pairs[0].record = plan->first_record;
}

//- geometry
// The size of an output's picture, and the window of the upright source a cover output shows
// (centred; the attention search may move it once the pixels are decoded). A picture is not
// scaled up past the source's own size when the target says so.
static SizeU64 plan_picture_size(const PlanPair *pair, SizeU64 upright, OutputRecord *record) {
  const Target *t = &pair->target;
  SizeU64 box = {t->width, t->height};
  if (pair->one_side) {
    return t->no_enlarge && (box.width > upright.width || box.height > upright.height) ? upright : box;
  }
  if (t->fit == FitCover) {
    SizeU64 window = fit_cover_window(upright.width, upright.height, box.width, box.height);
    record->crop = RectU64{(upright.width - window.width) / 2, (upright.height - window.height) / 2, window.width,
                           window.height};
    return t->no_enlarge && (window.width < box.width || window.height < box.height) ? window : box;
  }
  SizeU64 fit = fit_inside(upright.width, upright.height, box.width, box.height);
  return t->no_enlarge && (fit.width > upright.width || fit.height > upright.height) ? upright : fit;
}

void plan_geometry(ConvertPlan *plan) {
  if (!plan->ok) return;
  SizeU64 upright = plan_upright_size(plan);
  for (u64 i = 0; i < plan->pair_count; i += 1) {
    PlanPair *pair = &plan->pairs[i];
    Target *t = &pair->target;
    ImageStats *image = pair->record->image;
    bool is_source = i == 0;

    // The source record keeps the stored size; an output's box holds the upright picture.
    if (image->width == 0) image->width = t->width;
    if (image->height == 0) image->height = t->height;
    SizeU64 fit = is_source ? SizeU64{image->width, image->height} : plan_picture_size(pair, upright, pair->record);
    // only a padded picture lies on a canvas of the box's size
    if (t->fit != FitPad) {
      image->width = fit.width;
      image->height = fit.height;
    }
    if (image->width != fit.width || image->height != fit.height) {
      image->width_bg = t->width;
      image->height_bg = t->height;
      image->width = fit.width;
      image->height = fit.height;
      image->bg_color = t->bg_color;
    }

    // One channel count L per output, used for its decoded layout, its resampling, its
    // statistics and its encoding. The source record keeps the source's own count. A picture
    // on a see-through canvas goes to a format that keeps alpha; a format without alpha
    // takes grey or colour alone.
    if (!is_source) {
      const ImageFormat *format = format_of_type((u32)t->image_type);
      u32 channels;
      if (image->width_bg != 0 && (t->bg_color & 0xFF) != 0xFF) {
        if (!format || !format->keeps_alpha) format = format_with_alpha();
        channels = 4;
      } else {
        if (!format) format = format_default_output();
        if (format->keeps_alpha) {
          channels = (u32)clamp_of<i32>(1, t->pixel_layout, 4);
        } else {
          channels = (t->pixel_layout == 1 || t->pixel_layout == 2) ? 1 : 3;
        }
      }
      t->image_type = (i32)format->file_type;
      t->pixel_layout = (i32)channels;
      image->pixel_layout = channels;
      image->bytes_per_channel = 1;
      plan->needed[channels - 1] = true;
    }

    if (image->bytes_per_pixel == 0) image->bytes_per_pixel = (u8)image->pixel_layout;
    if (image->pixel_count == 0) {
      image->pixel_count = image->width * image->height;
      image->x_stride = image->bytes_per_pixel * image->width;
    }
    u32 g = gcd_u32((u32)image->width, (u32)image->height);
    if (g) {
      image->aspect_ratio_width = image->width / g;
      image->aspect_ratio_height = image->height / g;
    }
    if (image->width_bg != 0) {
      u32 g2 = gcd_u32((u32)image->width_bg, (u32)image->height_bg);
      if (g2) {
        image->aspect_ratio_width_bg = image->width_bg / g2;
        image->aspect_ratio_height_bg = image->height_bg / g2;
      }
      image->pixel_count_bg = image->width_bg * image->height_bg - image->pixel_count;
    }
  }
}
