// Targets document reader: the text of a targets file becomes tokens, then a tree of nodes.
//
// Only the vocabulary of the targets file is understood: the key names are built into both
// passes, and everything else is a value, punctuation or an error. Everything built lives in
// the arena the caller hands in; token and node texts are views into the caller's document
// text, which must outlive the tree. No locks and no shared mutable state: the nil node is
// read-only, so any thread may read its own document at once.
#pragma once

#include "base/base.h"

//~ Tokens
typedef u32 DocTokenFlags;
enum : u32 {
  TokNumber = 0x1,
  TokWord = 0x2,         // a word, or a run of symbol characters
  TokString = 0x4,       // quotes included
  TokPunct = 0x10,       // one of the key names, or one of , : [ ] { }
  TokComment = 0x20,     // from a "#" outside a string to the end of its line
  TokSpace = 0x40,       // spaces, tabs, vertical tabs, carriage returns
  TokNewline = 0x80,     // one line feed
  TokSingleQuote = 0x100,
  TokDoubleQuote = 0x400,
  TokBad = 0x800,        // one byte that starts no other token
  TokUnterminated = 0x1000,
};

struct DocToken {
  u64 begin; // byte offset in the document text
  u64 end;   // one past the last byte
  DocTokenFlags flags;
};

struct DocTokenArray {
  DocToken *v;
  u64 count;
};

//~ Nodes
enum DocNodeKind : i32 {
  DocNil = 0,    // the shared nil node
  DocError = 1,  // a rejected token; lives only in the error list, never in the tree
  DocRoot = 2,   // the whole document; its children are the top-level keys
  DocObject = 3, // one block in braces; its children are keys
  DocKey = 4,    // its children are its values (value and object nodes), in order
  DocValue = 5,
};

enum : i32 {
  DocValueNumber = 1,
  DocValueString = 2,
};

struct DocNode {
  DocNode *next;
  DocNode *prev;
  DocNode *parent;
  DocNode *first;
  DocNode *last;
  i32 kind;       // DocNodeKind
  i32 value_type; // DocValueNumber or DocValueString for a value node, else 0
  Str8 text;      // a string value without its quotes; otherwise as raw
  Str8 raw;       // the token text as written
  u64 offset;     // of the token in the document text
};

//~ Errors
// One rejected token of the list: its DocError node, severity and message.
struct DocErrorEntry {
  DocErrorEntry *next;
  DocNode *node;
  i32 severity;
  Str8 message;
};

// The all-zero value is the empty list.
struct DocErrorList {
  DocErrorEntry *first;
  DocErrorEntry *last;
  u64 count;
  i32 worst_severity; // the highest severity added so far
};

struct TargetsDocument {
  DocNode *root;
  DocErrorList errors;
};

// 1-based; the column counts characters (UTF-8 lead bytes), not bytes.
struct DocPosition {
  u64 line;
  u64 column;
};

//~ Reading a document
// The tokenizer never fails and reports nothing: bytes it does not know become TokBad tokens,
// which the parser rejects. `errors`, when given, is set to the empty list.
DocTokenArray targets_tokenize(Arena *arena, Str8 text, DocErrorList *errors = nullptr);
// Never stops early: every rejected token adds a severity-2 error and parsing goes on. The
// tree holds everything that was accepted. `tokens` must come from the same text.
TargetsDocument targets_parse(Arena *arena, Str8 text, DocTokenArray tokens);

//~ Nodes and lookups
// The process-wide nil node: every walk ends on it; it is never written.
DocNode *doc_node_nil();
DocNode *doc_node_new(Arena *arena, DocNodeKind kind, Str8 text, Str8 raw, u64 offset);
void doc_node_push_child(DocNode *parent, DocNode *child); // a nil parent or child is ignored
bool doc_node_is_nil(const DocNode *node); // null, the nil node, or a node of kind DocNil
// Pre-order successor of node inside the subtree of root; nil at the end.
DocNode *doc_node_next_depth_first(DocNode *node, DocNode *root);
// The first node in pre-order (root included) whose text equals `text`; values count too.
DocNode *doc_find_by_text(DocNode *root, Str8 text, MatchFlags flags);
// The text of the first value of the first child named `key` whose first value has the
// wanted value_type; empty when there is none.
Str8 doc_child_value(DocNode *node, Str8 key, MatchFlags flags, i32 wanted_value_type);

//~ Errors
void doc_error_push(Arena *arena, DocErrorList *list, DocNode *node, i32 severity, Str8 message);
// Line and column of a byte offset in the text; an offset past the end counts as the end.
DocPosition doc_error_position(Str8 text, u64 offset);
