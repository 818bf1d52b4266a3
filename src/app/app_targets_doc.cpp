#include "app/app_targets_doc.h"

#include "base/base.h"

//~ Tokens

//- vocabulary
// Key names are punctuation to both passes, so keys must be written bare. The tokenizer tries
// them in this order, case-sensitive, without looking at the byte that follows.
static const Str8 doc_key_names[] = {
    str8_lit("width"),     str8_lit("height"),            str8_lit("bg_color"),
    str8_lit("max_bytes"), str8_lit("edge_mode"),         str8_lit("resampling_filter"),
    str8_lit("quality"),   str8_lit("targets"),           str8_lit("image_type"),
    str8_lit("pixel_layout"), str8_lit("lossless"),   str8_lit("fit"),
    str8_lit("crop"),      str8_lit("enlarge"),           str8_lit("keep"),
};
constexpr u64 DocKeyNameCount = sizeof(doc_key_names) / sizeof(doc_key_names[0]);

// UTF-8 sequence length by lead byte, indexed by byte >> 3; continuation bytes are 0.
static const u8 doc_utf8_class[32] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, // 0x00-0x7F
    0, 0, 0, 0, 0, 0, 0, 0,                         // 0x80-0xBF
    2, 2, 2, 2,                                     // 0xC0-0xDF
    3, 3,                                           // 0xE0-0xEF
    4,                                              // 0xF0-0xF7
    5,                                              // 0xF8-0xFF
};

static bool doc_byte_in(u8 c, const char *set) {
  for (const char *p = set; *p; p += 1) {
    if ((u8)*p == c) {
      return true;
    }
  }
  return false;
}

static bool doc_is_space(u8 c) { return c == ' ' || c == '\t' || c == 11 || c == '\r'; }

static bool doc_is_word_start(u8 c) { return char_is_alpha(c) || doc_utf8_class[c >> 3] >= 2; }

static bool doc_is_word_rest(u8 c) {
  return char_is_alpha(c) || char_is_digit(c) || doc_utf8_class[c >> 3] >= 2 ||
         doc_byte_in(c, "?![]()-");
}

static bool doc_is_number_rest(u8 c) { return char_is_alpha(c) || char_is_digit(c) || c == '.'; }

static bool doc_is_symbol_start(u8 c) { return doc_byte_in(c, "[]~$%^*-+./?!|()`&;_#@\\"); }

static bool doc_is_symbol_rest(u8 c) { return doc_byte_in(c, "~$%^&*-+./?|{}:"); }

// One past the first quote like the one at `open`, on its line, that spaces and then a comma,
// "}", "]", "#" or a line feed follow; 0 when there is none.
static u64 doc_string_closed_at(const u8 *s, u64 n, u64 open) {
  for (u64 scan = open + 1; scan < n && s[scan] != '\n'; scan += 1) {
    if (s[scan] != s[open]) continue;
    u64 after = scan + 1;
    while (after < n && doc_is_space(s[after])) after += 1;
    if (after < n && doc_byte_in(s[after], ",}]#\n")) return scan + 1;
  }
  return 0;
}

// Length of the key name that starts at `at`, or 0.
static u64 doc_key_name_at(const u8 *at, u64 available) {
  for (u64 k = 0; k < DocKeyNameCount; k += 1) {
    Str8 name = doc_key_names[k];
    if (name.size <= available && memcmp(at, name.str, name.size) == 0) {
      return name.size;
    }
  }
  return 0;
}

//- chunked storage
// Tokens are gathered in fixed chunks so that none moves until the one final copy.
constexpr u64 DocTokenChunkCapacity = 4096;

struct DocTokenChunk {
  DocTokenChunk *next;
  DocToken *v;
  u64 count;
  u64 capacity;
};

struct DocTokenChunkList {
  DocTokenChunk *first;
  DocTokenChunk *last;
  u64 token_count;
  u64 chunk_count;
};

static void doc_token_chunk_push(Arena *arena, DocTokenChunkList *list, DocToken token) {
  DocTokenChunk *chunk = list->last;
  if (chunk == nullptr || chunk->count == chunk->capacity) {
    chunk = arena_push<DocTokenChunk>(arena);
    chunk->v = arena_push<DocToken>(arena, DocTokenChunkCapacity);
    chunk->capacity = DocTokenChunkCapacity;
    sll_queue_push(list->first, list->last, chunk);
    list->chunk_count += 1;
  }
  chunk->v[chunk->count] = token;
  chunk->count += 1;
  list->token_count += 1;
}

//- tokenizer
DocTokenArray targets_tokenize(Arena *arena, Str8 text, DocErrorList *errors) {
  if (errors != nullptr) {
    *errors = DocErrorList{};
  }
  Scratch scratch = scratch_begin(arena);
  DocTokenChunkList chunks = {};
  const u8 *s = text.str;
  u64 n = text.size;
  u64 at = 0;
  while (at < n) {
    u64 begin = at;
    u8 c = s[at];
    DocTokenFlags flags = 0;
    u64 key_size = 0;
    if (doc_is_space(c)) {
      while (at < n && doc_is_space(s[at])) {
        at += 1;
      }
      flags = TokSpace;
    } else if (c == '\n') {
      at += 1;
      flags = TokNewline;
    } else if (c == '#') {
      // a comment, to the end of the line
      while (at < n && s[at] != '\n') {
        at += 1;
      }
      flags = TokComment;
    } else if (c == ',') {
      at += 1;
      flags = TokPunct;
    } else if (n - at >= 3 && c == '"' && s[at + 1] == '"' && s[at + 2] == '"') {
      at += 3;
      flags = TokString;
    } else if (n - at >= 3 && c == '"' && s[at + 1] == '\'' && s[at + 2] == '"') {
      at += 3;
      flags = TokString;
    } else if ((key_size = doc_key_name_at(s + at, n - at)) != 0) {
      at += key_size;
      flags = TokPunct;
    } else if (doc_byte_in(c, ":[]{}")) {
      at += 1;
      flags = TokPunct;
    } else if (doc_is_word_start(c)) {
      at += 1;
      while (at < n && doc_is_word_rest(s[at])) {
        at += 1;
      }
      flags = TokWord;
    } else if (char_is_digit(c) ||
               ((c == '.' || c == '-') && at + 1 < n && char_is_digit(s[at + 1]))) {
      at += 1;
      while (at < n && doc_is_number_rest(s[at])) {
        at += 1;
      }
      flags = TokNumber;
    } else if (c == '"' || c == '\'') {
      // A string is closed by the first matching quote on its line that a value's end follows
      // (spaces, then a comma, "}", "]", a comment or the line feed), so a list such as
      // "exif,icc" is one value. Without one it ends before the first line feed, comma or "]":
      // it is closed by the last matching quote ahead of that byte, which may be the opening
      // quote itself.
      flags = TokString | (c == '"' ? TokDoubleQuote : TokSingleQuote);
      u64 closed = doc_string_closed_at(s, n, at);
      u64 scan = at + 1;
      if (closed) at = closed;
      while (!closed) {
        if (scan >= n) {
          at = n;
          flags |= TokUnterminated;
          break;
        }
        u8 b = s[scan];
        if (b == '\n' || b == ',' || b == ']') {
          u64 close = scan - 1;
          while (s[close] != c) {
            close -= 1;
          }
          at = close + 1;
          break;
        }
        scan += 1;
      }
    } else if (doc_is_symbol_start(c)) {
      at += 1;
      while (at < n && doc_is_symbol_rest(s[at])) {
        at += 1;
      }
      flags = TokWord;
    } else {
      at += 1;
      flags = TokBad;
    }
    if (flags != 0 && at > begin) {
      doc_token_chunk_push(scratch.arena, &chunks, DocToken{begin, at, flags});
    }
  }

  // one contiguous copy, in order
  DocTokenArray result = {};
  result.v = arena_push_uninit<DocToken>(arena, chunks.token_count);
  for (DocTokenChunk *chunk = chunks.first; chunk != nullptr; chunk = chunk->next) {
    memcpy(result.v + result.count, chunk->v, chunk->count * sizeof(DocToken));
    result.count += chunk->count;
  }
  scratch_restore(scratch);
  return result;
}

//~ Parser

//- frames
enum ParseState : i32 {
  ParseKey = 0,      // inside the root or an object: a key is expected
  ParseAfterKey = 1, // a key was read: its colon is expected
  ParseValue = 2,    // values of the current key are read
};

// Frames link downwards through `next`: the top frame's next is the one below it.
struct ParseFrame {
  ParseFrame *next;
  ParseState state;
  DocNode *node;
};

struct Parser {
  Arena *arena;       // the document's nodes and errors
  Arena *frame_arena; // the frames
  ParseFrame *top;
  ParseFrame *free_frames;
  // Popping an empty stack always lands here, so stray closers at the top level are harmless.
  ParseFrame spare;
  DocNode *root;
  Str8 text;
  DocTokenArray tokens;
  u64 at; // the token being read
};

static void parse_push(Parser *p, ParseState state, DocNode *node) {
  ParseFrame *frame = sll_stack_pop(p->free_frames);
  if (frame == nullptr) frame = arena_push<ParseFrame>(p->frame_arena);
  frame->state = state;
  frame->node = node;
  sll_stack_push(p->top, frame);
}

static void parse_pop(Parser *p) {
  ParseFrame *frame = sll_stack_pop(p->top);
  if (frame != &p->spare) sll_stack_push(p->free_frames, frame);
  if (p->top == nullptr) {
    p->spare = ParseFrame{nullptr, ParseKey, p->root};
    p->top = &p->spare;
  }
}

static bool parse_is_key_name(Str8 t) {
  for (u64 k = 0; k < DocKeyNameCount; k += 1) {
    if (str8_equals(t, doc_key_names[k], MatchIgnoreCase)) {
      return true;
    }
  }
  return false;
}

static Str8 parse_token_text(Parser *p, u64 index) {
  return str8_slice(p->text, range_make(p->tokens.v[index].begin, p->tokens.v[index].end));
}

//- one handler per state
// A handler reads the token at p->at in its state and says what became of it: consumed
// (p->at moved past it), to be tried again in the state it left on top, or rejected.
enum ParseStep : i32 {
  ParseConsumed,
  ParseRetry,
  ParseRejected,
};

// ParseKey: a key name opens a key; "}" closes the object, and one comma after it (past any
// spaces) goes with it, since objects in a list may be separated by one.
static ParseStep parse_in_key(Parser *p, DocToken token, Str8 t) {
  if (!(token.flags & TokPunct)) return ParseRejected;
  if (parse_is_key_name(t)) {
    DocNode *key = doc_node_new(p->arena, DocKey, t, t, token.begin);
    doc_node_push_child(p->top->node, key);
    parse_push(p, ParseAfterKey, key);
    p->at += 1;
    return ParseConsumed;
  }
  if (!str8_equals(t, str8_lit("}"), 0)) return ParseRejected;
  parse_pop(p);
  p->at += 1;
  while (p->at < p->tokens.count && (p->tokens.v[p->at].flags & (TokSpace | TokNewline | TokComment))) p->at += 1;
  if (p->at < p->tokens.count && (p->tokens.v[p->at].flags & TokPunct) &&
      str8_equals(parse_token_text(p, p->at), str8_lit(","), 0)) {
    p->at += 1;
  }
  return ParseConsumed;
}

// ParseAfterKey: ":" (or "," in its place) starts the key's values; any other punctuation
// leaves the key, and the token is tried again.
static ParseStep parse_after_key(Parser *p, DocToken token, Str8 t) {
  if (!(token.flags & TokPunct)) return ParseRejected;
  if (str8_equals(t, str8_lit(":"), 0) || str8_equals(t, str8_lit(","), 0)) {
    parse_push(p, ParseValue, p->top->node);
    p->at += 1;
    return ParseConsumed;
  }
  parse_pop(p);
  return ParseRetry;
}

// ParseValue: strings and numbers become the key's values, "{" opens an object among them;
// "[" is skipped, "]" leaves the values, "," leaves the values and the key; any other
// punctuation (such as "}") leaves both, and the token is tried again.
static ParseStep parse_in_value(Parser *p, DocToken token, Str8 t) {
  DocNode *key = p->top->node;
  if (token.flags & (TokString | TokNumber)) {
    // A closed string that ends the text is also marked unterminated, so the last byte goes
    // in every case; a one-byte token keeps its byte.
    bool string = (token.flags & TokString) != 0;
    Str8 value_text = string ? str8_slice(t, range_make(1, t.size - 1)) : t;
    DocNode *value = doc_node_new(p->arena, DocValue, value_text, t, token.begin);
    value->value_type = string ? DocValueString : DocValueNumber;
    doc_node_push_child(key, value);
    p->at += 1;
    return ParseConsumed;
  }
  if (!(token.flags & TokPunct)) return ParseRejected;
  if (str8_equals(t, str8_lit("{"), 0)) {
    DocNode *object = doc_node_new(p->arena, DocObject, t, t, token.begin);
    doc_node_push_child(key, object);
    parse_push(p, ParseKey, object);
  } else if (str8_equals(t, str8_lit("]"), 0)) {
    parse_pop(p);
  } else if (str8_equals(t, str8_lit("["), 0)) {
  } else {
    parse_pop(p);
    parse_pop(p);
    if (!str8_equals(t, str8_lit(","), 0)) return ParseRetry;
  }
  p->at += 1;
  return ParseConsumed;
}

//- parser
TargetsDocument targets_parse(Arena *arena, Str8 text, DocTokenArray tokens) {
  Scratch scratch = scratch_begin(arena);
  TargetsDocument doc = {};
  doc.root = doc_node_new(arena, DocRoot, text, text, 0);

  Parser p = {};
  p.arena = arena;
  p.frame_arena = scratch.arena;
  p.root = doc.root;
  p.text = text;
  p.tokens = tokens;
  parse_push(&p, ParseKey, doc.root);

  while (p.at < tokens.count) {
    DocToken token = tokens.v[p.at];
    if (token.flags & (TokSpace | TokNewline | TokComment)) {
      p.at += 1;
      continue;
    }
    Str8 t = parse_token_text(&p, p.at);
    ParseStep step = ParseRejected;
    switch (p.top->state) {
    case ParseKey: step = parse_in_key(&p, token, t); break;
    case ParseAfterKey: step = parse_after_key(&p, token, t); break;
    case ParseValue: step = parse_in_value(&p, token, t); break;
    }
    if (step == ParseRejected) {
      DocNode *bad = doc_node_new(arena, DocError, t, t, token.begin);
      Str8 message = arena_format(arena, "Unexpected \"%S\" token.", t);
      doc_error_push(arena, &doc.errors, bad, 2, message);
      p.at += 1;
    }
  }

  // unclosed objects and lists are not errors: the remaining frames are dropped
  scratch_restore(scratch);
  return doc;
}

//~ Nodes and lookups

// Read-only: a stray write through a nil link faults instead of corrupting every tree.
static const DocNode doc_nil_storage = {
    const_cast<DocNode *>(&doc_nil_storage),
    const_cast<DocNode *>(&doc_nil_storage),
    const_cast<DocNode *>(&doc_nil_storage),
    const_cast<DocNode *>(&doc_nil_storage),
    const_cast<DocNode *>(&doc_nil_storage),
    DocNil,
    0,
    Str8{nullptr, 0},
    Str8{nullptr, 0},
    0,
};

DocNode *doc_node_nil() { return const_cast<DocNode *>(&doc_nil_storage); }

DocNode *doc_node_new(Arena *arena, DocNodeKind kind, Str8 text, Str8 raw, u64 offset) {
  DocNode *node = arena_push<DocNode>(arena);
  DocNode *nil = doc_node_nil();
  node->next = nil;
  node->prev = nil;
  node->parent = nil;
  node->first = nil;
  node->last = nil;
  node->kind = kind;
  node->value_type = 0;
  node->text = text;
  node->raw = raw;
  node->offset = offset;
  return node;
}

void doc_node_push_child(DocNode *parent, DocNode *child) {
  if (doc_node_is_nil(parent) || doc_node_is_nil(child)) {
    return;
  }
  DocNode *nil = doc_node_nil();
  child->parent = parent;
  child->next = nil;
  if (doc_node_is_nil(parent->first)) {
    child->prev = nil;
    parent->first = child;
    parent->last = child;
  } else {
    child->prev = parent->last;
    parent->last->next = child;
    parent->last = child;
  }
}

bool doc_node_is_nil(const DocNode *node) {
  return node == nullptr || node == &doc_nil_storage || node->kind == DocNil;
}

DocNode *doc_node_next_depth_first(DocNode *node, DocNode *root) {
  if (!doc_node_is_nil(node) && !doc_node_is_nil(node->first)) {
    return node->first;
  }
  for (DocNode *at = node;; at = at->parent) {
    if (doc_node_is_nil(at) || at == root) {
      return doc_node_nil();
    }
    if (!doc_node_is_nil(at->next)) {
      return at->next;
    }
  }
}

DocNode *doc_find_by_text(DocNode *root, Str8 text, MatchFlags flags) {
  for (DocNode *node = root; !doc_node_is_nil(node); node = doc_node_next_depth_first(node, root)) {
    if (str8_equals(node->text, text, flags)) {
      return node;
    }
  }
  return doc_node_nil();
}

Str8 doc_child_value(DocNode *node, Str8 key, MatchFlags flags, i32 wanted_value_type) {
  if (doc_node_is_nil(node)) {
    return Str8{};
  }
  for (DocNode *child = node->first; !doc_node_is_nil(child); child = child->next) {
    if (str8_equals(child->text, key, flags) && !doc_node_is_nil(child->first) &&
        child->first->value_type == wanted_value_type) {
      return child->first->text;
    }
  }
  return Str8{};
}

//~ Errors

void doc_error_push(Arena *arena, DocErrorList *list, DocNode *node, i32 severity, Str8 message) {
  DocErrorEntry *error = arena_push<DocErrorEntry>(arena);
  error->node = node;
  error->severity = severity;
  error->message = message;
  sll_queue_push(list->first, list->last, error);
  list->count += 1;
  if (severity > list->worst_severity) {
    list->worst_severity = severity;
  }
}

DocPosition doc_error_position(Str8 text, u64 offset) {
  DocPosition pos = {1, 1};
  u64 stop = min_of(offset, text.size);
  for (u64 k = 0; k < stop; k += 1) {
    u8 c = text.str[k];
    if (c == '\n') {
      pos.line += 1;
      pos.column = 1;
    } else if ((c & 0xC0) != 0x80) {
      pos.column += 1;
    }
  }
  return pos;
}
