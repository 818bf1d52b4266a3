#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_targets_doc.h"
#include "test_text.h"

//~ Helpers


static Str8 str8_of(const std::string &s) { return str8(s.data(), s.size()); }

struct TargetsDoc : testing::Test {
  Arena *arena = nullptr;
  std::string text; // kept alive: every view points into it

  void SetUp() override { arena = arena_create(mib(4), kib(64)); }
  void TearDown() override { arena_destroy(arena); }

  DocTokenArray tokenize(const std::string &t) {
    text = t;
    DocErrorList errors = {};
    errors.count = 99;
    DocTokenArray tokens = targets_tokenize(arena, str8_of(text), &errors);
    EXPECT_EQ(errors.count, 0u);
    EXPECT_EQ(errors.first, nullptr);
    return tokens;
  }

  TargetsDocument parse(const std::string &t) {
    DocTokenArray tokens = tokenize(t);
    return targets_parse(arena, str8_of(text), tokens);
  }

  // One entry per token: a class letter, then the token text.
  std::vector<std::string> token_list(const std::string &t) {
    DocTokenArray tokens = tokenize(t);
    std::vector<std::string> out;
    for (u64 i = 0; i < tokens.count; i += 1) {
      DocToken tok = tokens.v[i];
      std::string cls;
      if (tok.flags & TokNumber) cls += "N";
      if (tok.flags & TokWord) cls += "W";
      if (tok.flags & TokString) cls += "S";
      if (tok.flags & TokPunct) cls += "P";
      if (tok.flags & TokSpace) cls += "_";
      if (tok.flags & TokNewline) cls += "L";
      if (tok.flags & TokComment) cls += "C";
      if (tok.flags & TokSingleQuote) cls += "'";
      if (tok.flags & TokDoubleQuote) cls += "\"";
      if (tok.flags & TokBad) cls += "B";
      if (tok.flags & TokUnterminated) cls += "U";
      out.push_back(cls + ":" + text.substr(tok.begin, tok.end - tok.begin));
    }
    return out;
  }

  std::vector<std::string> messages(const TargetsDocument &doc) {
    std::vector<std::string> out;
    for (DocErrorEntry *e = doc.errors.first; e != nullptr; e = e->next) {
      out.push_back(text_of(e->message));
    }
    return out;
  }
};

// A compact picture of the tree: key(values...), {keys...}, 'string', number.
static std::string dump(DocNode *node) {
  std::string out;
  switch (node->kind) {
  case DocValue:
    return node->value_type == DocValueString ? "'" + text_of(node->text) + "'" : text_of(node->text);
  case DocObject:
    out = "{";
    break;
  case DocKey:
    out = text_of(node->text) + "(";
    break;
  default:
    break;
  }
  bool first = true;
  for (DocNode *c = node->first; !doc_node_is_nil(c); c = c->next) {
    if (!first) out += " ";
    out += dump(c);
    first = false;
  }
  if (node->kind == DocObject) out += "}";
  if (node->kind == DocKey) out += ")";
  return out;
}

// Every link of the tree agrees with its neighbours.
static void expect_links_consistent(DocNode *parent) {
  DocNode *prev = doc_node_nil();
  for (DocNode *c = parent->first; !doc_node_is_nil(c); c = c->next) {
    EXPECT_EQ(c->parent, parent);
    EXPECT_EQ(c->prev, prev);
    expect_links_consistent(c);
    prev = c;
  }
  EXPECT_EQ(parent->last, prev);
}

static const char *example_text =
    "targets: [ { width: 300, height: 300, quality: 80, image_type: \"JPEG\", "
    "resampling_filter: \"MITCHELL\" }, { width: 100, height: 100 } ]";

//~ Tokenizer

TEST_F(TargetsDoc, TokenizesTheExampleDocument) {
  std::vector<std::string> t = token_list(example_text);
  ASSERT_GE(t.size(), 12u);
  EXPECT_EQ(t[0], "P:targets");
  EXPECT_EQ(t[1], "P::");
  EXPECT_EQ(t[2], "_: ");
  EXPECT_EQ(t[3], "P:[");
  EXPECT_EQ(t[5], "P:{");
  EXPECT_EQ(t[7], "P:width");
  EXPECT_EQ(t[10], "N:300");
  EXPECT_EQ(t[11], "P:,");
  EXPECT_EQ(t.back(), "P:]");

  // tokens tile the text exactly, in order
  DocTokenArray tokens = tokenize(example_text);
  u64 at = 0;
  for (u64 i = 0; i < tokens.count; i += 1) {
    EXPECT_EQ(tokens.v[i].begin, at);
    EXPECT_GT(tokens.v[i].end, tokens.v[i].begin);
    at = tokens.v[i].end;
  }
  EXPECT_EQ(at, text.size());

  EXPECT_EQ(tokenize("").count, 0u);
}

TEST_F(TargetsDoc, TokenClassesOfPlainBytes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(token_list(" \t\v\r \n\n,"), (V{"_: \t\v\r ", "L:\n", "L:\n", "P:,"}));
  EXPECT_EQ(token_list(":[]{}"), (V{"P::", "P:[", "P:]", "P:{", "P:}"}));
  // a form feed is not among the spaces
  EXPECT_EQ(token_list("\f"), (V{"B:\f"}));

  // key names: case-sensitive, and the byte after them is not looked at
  EXPECT_EQ(token_list("widthx"), (V{"P:width", "W:x"}));
  EXPECT_EQ(token_list("Width"), (V{"W:Width"}));
  EXPECT_EQ(token_list("xwidth"), (V{"W:xwidth"}));
  EXPECT_EQ(token_list("resampling_filter pixel_layout max_bytes edge_mode bg_color image_type"),
            (V{"P:resampling_filter", "_: ", "P:pixel_layout", "_: ", "P:max_bytes", "_: ",
               "P:edge_mode", "_: ", "P:bg_color", "_: ", "P:image_type"}));
  // a key cut by the end of the text is a word
  EXPECT_EQ(token_list("heigh"), (V{"W:heigh"}));

  // words go on over ? ! [ ] ( ) - and digits, and stop at an underscore
  EXPECT_EQ(token_list("ab9?!()-[x]_y"), (V{"W:ab9?!()-[x]", "W:_", "W:y"}));
  EXPECT_EQ(token_list("JPEG]"), (V{"W:JPEG]"}));

  // numbers
  EXPECT_EQ(token_list("-12 3.5 .5 0x1F 1e5 7-2"),
            (V{"N:-12", "_: ", "N:3.5", "_: ", "N:.5", "_: ", "N:0x1F", "_: ", "N:1e5", "_: ",
               "N:7", "N:-2"}));
  // "-" and "." without a digit after them start symbol runs
  EXPECT_EQ(token_list("-"), (V{"W:-"}));
  EXPECT_EQ(token_list(".x"), (V{"W:.", "W:x"}));

  // symbol runs take { } : but not letters, and ! starts but does not continue one
  EXPECT_EQ(token_list("~}:x"), (V{"W:~}:", "W:x"}));
  EXPECT_EQ(token_list("//a"), (V{"W://", "W:a"}));
  EXPECT_EQ(token_list("!!"), (V{"W:!", "W:!"}));
  EXPECT_EQ(token_list("@&*"), (V{"W:@&*"}));
  EXPECT_EQ(token_list("\\`;"), (V{"W:\\", "W:`", "W:;"}));

  // bytes that start nothing
  EXPECT_EQ(token_list("=<>"), (V{"B:=", "B:<", "B:>"}));
  EXPECT_EQ(token_list(std::string("a\0b", 3)), (V{"W:a", std::string("B:\0", 3), "W:b"}));
}

TEST_F(TargetsDoc, Utf8LeadBytesAreLettersContinuationBytesAreBad) {
  using V = std::vector<std::string>;
  EXPECT_EQ(token_list("\xC3\xA9"), (V{"W:\xC3", "B:\xA9"}));
  EXPECT_EQ(token_list("a\xC3\xA9t"), (V{"W:a\xC3", "B:\xA9", "W:t"}));
  EXPECT_EQ(token_list("\xE2\x82\xAC"), (V{"W:\xE2", "B:\x82", "B:\xAC"}));
  // lead bytes of every length continue a word, even the invalid 0xF8-0xFF ones
  EXPECT_EQ(token_list("x\xF0\xF8\xFF\xC0-"), (V{"W:x\xF0\xF8\xFF\xC0-"}));
  EXPECT_EQ(token_list("\x80"), (V{"B:\x80"}));
  EXPECT_EQ(token_list("\xBF"), (V{"B:\xBF"}));
}

TEST_F(TargetsDoc, StringsEndAtTheLastQuoteBeforeALineFeedCommaOrBracket) {
  using V = std::vector<std::string>;
  // the end of the text comes before any stop byte, so a string at the very end is marked
  // unterminated even when it is closed
  EXPECT_EQ(token_list("\"JPEG\""), (V{"S\"U:\"JPEG\""}));
  EXPECT_EQ(token_list("\"JPEG\"\n"), (V{"S\":\"JPEG\"", "L:\n"}));
  EXPECT_EQ(token_list("'png', "), (V{"S':'png'", "P:,", "_: "}));
  // quotes inside are kept; the last one before the stop byte closes
  EXPECT_EQ(token_list("\"a\"b\"c]"), (V{"S\":\"a\"b\"", "W:c]"}));
  EXPECT_EQ(token_list("'it's'x,"), (V{"S':'it's'", "W:x", "P:,"}));
  // the other quote does not close
  EXPECT_EQ(token_list("\"a'b'\n"), (V{"S\":\"", "W:a", "S':'b'", "L:\n"}));
  // no closing quote before the stop byte: the opening quote alone
  EXPECT_EQ(token_list("\"abc\n"), (V{"S\":\"", "W:abc", "L:\n"}));
  // a quote that a value's end follows closes first, so commas and brackets may be inside
  EXPECT_EQ(token_list("\"a,b\","), (V{"S\":\"a,b\"", "P:,"}));
  EXPECT_EQ(token_list("'x]' }"), (V{"S':'x]'", "_: ", "P:}"}));
  EXPECT_EQ(token_list("\"a,b\" # c \"d\"\n"), (V{"S\":\"a,b\"", "_: ", "C:# c \"d\"", "L:\n"}));
  // unterminated at the end of the text
  EXPECT_EQ(token_list("'abc"), (V{"S'U:'abc"}));
  EXPECT_EQ(token_list("\""), (V{"S\"U:\""}));
  // the two three-byte forms
  EXPECT_EQ(token_list("\"\"\"x"), (V{"S:\"\"\"", "W:x"}));
  EXPECT_EQ(token_list("\"'\"x"), (V{"S:\"'\"", "W:x"}));
  // with fewer than three bytes left they are ordinary strings
  EXPECT_EQ(token_list("\"\""), (V{"S\"U:\"\""}));
}

TEST_F(TargetsDoc, TokensSpanManyChunksInOrder) {
  // 3 tokens per unit, well over two chunks of 4096
  std::string t;
  const u64 units = 5000;
  for (u64 i = 0; i < units; i += 1) {
    t += std::to_string(i) + ", ";
  }
  DocTokenArray tokens = tokenize(t);
  ASSERT_EQ(tokens.count, units * 3);
  u64 at = 0;
  for (u64 i = 0; i < units; i += 1) {
    DocToken n = tokens.v[i * 3];
    ASSERT_EQ(n.flags, (u32)TokNumber);
    ASSERT_EQ(n.begin, at);
    ASSERT_EQ(text.substr(n.begin, n.end - n.begin), std::to_string(i));
    ASSERT_EQ(tokens.v[i * 3 + 1].flags, (u32)TokPunct);
    ASSERT_EQ(tokens.v[i * 3 + 2].flags, (u32)TokSpace);
    at = tokens.v[i * 3 + 2].end;
  }
  EXPECT_EQ(at, text.size());
}

//~ Parser

TEST_F(TargetsDoc, ParsesTheExampleDocument) {
  TargetsDocument doc = parse(example_text);
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(doc.errors.worst_severity, 0);
  EXPECT_EQ(dump(doc.root), "targets({width(300) height(300) quality(80) image_type('JPEG') "
                            "resampling_filter('MITCHELL')} {width(100) height(100)})");
  expect_links_consistent(doc.root);

  DocNode *root = doc.root;
  EXPECT_EQ(root->kind, DocRoot);
  EXPECT_EQ(text_of(root->text), text);
  EXPECT_EQ(text_of(root->raw), text);
  EXPECT_EQ(root->offset, 0u);
  EXPECT_TRUE(doc_node_is_nil(root->parent));

  DocNode *targets = root->first;
  ASSERT_EQ(targets->kind, DocKey);
  EXPECT_EQ(targets->offset, 0u);
  EXPECT_EQ(targets->value_type, 0);
  DocNode *object = targets->first;
  ASSERT_EQ(object->kind, DocObject);
  EXPECT_EQ(text_of(object->text), "{");
  EXPECT_EQ(object->offset, text.find('{'));

  DocNode *image_type = doc_find_by_text(object, str8_lit("image_type"), 0);
  ASSERT_FALSE(doc_node_is_nil(image_type));
  DocNode *jpeg = image_type->first;
  EXPECT_EQ(jpeg->kind, DocValue);
  EXPECT_EQ(jpeg->value_type, DocValueString);
  EXPECT_EQ(text_of(jpeg->text), "JPEG");
  EXPECT_EQ(text_of(jpeg->raw), "\"JPEG\"");
  EXPECT_EQ(jpeg->offset, text.find("\"JPEG\""));
  DocNode *width = object->first;
  EXPECT_EQ(width->first->value_type, DocValueNumber);
  EXPECT_EQ(text_of(width->first->raw), "300");

  EXPECT_EQ(text_of(doc_child_value(object, str8_lit("resampling_filter"), MatchIgnoreCase,
                                   DocValueString)),
            "MITCHELL");
  EXPECT_EQ(text_of(doc_child_value(object->next, str8_lit("width"), MatchIgnoreCase,
                                   DocValueNumber)),
            "100");
}

TEST_F(TargetsDoc, EmptyTextGivesABareRoot) {
  TargetsDocument doc = parse("");
  ASSERT_NE(doc.root, nullptr);
  EXPECT_EQ(doc.root->kind, DocRoot);
  EXPECT_TRUE(doc_node_is_nil(doc.root->first));
  EXPECT_TRUE(doc_node_is_nil(doc.root->last));
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(doc.errors.first, nullptr);
  EXPECT_TRUE(doc_node_is_nil(doc_find_by_text(doc.root, str8_lit("targets"), MatchIgnoreCase)));
}

TEST_F(TargetsDoc, QuotedValuesDropTheirQuotes) {
  TargetsDocument doc = parse("image_type: 'PNG'\nresampling_filter: \"box\"\n"
                              "pixel_layout: ''\nbg_color: \"\"\"\nedge_mode: \"'\"\n");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root),
            "image_type('PNG') resampling_filter('box') pixel_layout('') bg_color('\"') "
            "edge_mode(''')");
  DocNode *png = doc.root->first->first;
  EXPECT_EQ(png->value_type, DocValueString);
  EXPECT_EQ(text_of(png->raw), "'PNG'");
}

TEST_F(TargetsDoc, QuotedKeysAreRejectedWithWhatFollows) {
  TargetsDocument doc = parse("\"width\": 300\nheight: 5\n");
  EXPECT_EQ(messages(doc), (std::vector<std::string>{"Unexpected \"\"width\"\" token.",
                                                     "Unexpected \":\" token.",
                                                     "Unexpected \"300\" token."}));
  EXPECT_EQ(doc.errors.count, 3u);
  EXPECT_EQ(doc.errors.worst_severity, 2);
  EXPECT_EQ(dump(doc.root), "height(5)");

  // error nodes keep their token and position but stay out of the tree
  DocErrorEntry *first = doc.errors.first;
  EXPECT_EQ(first->severity, 2);
  EXPECT_EQ(first->node->kind, DocError);
  EXPECT_EQ(text_of(first->node->text), "\"width\"");
  EXPECT_EQ(text_of(first->node->raw), "\"width\"");
  EXPECT_EQ(first->node->offset, 0u);
  EXPECT_TRUE(doc_node_is_nil(first->node->parent));
  EXPECT_EQ(first->next->node->offset, 7u);
  EXPECT_EQ(doc.errors.last->node->offset, 9u);
  EXPECT_EQ(doc.errors.last->next, nullptr);
  // the message is zero-terminated text
  EXPECT_EQ(first->message.str[first->message.size], 0);
}

TEST_F(TargetsDoc, RejectedTokensOfEveryKind) {
  using V = std::vector<std::string>;
  // a bare word as a value
  TargetsDocument doc = parse("image_type: JPEG\n");
  EXPECT_EQ(messages(doc), (V{"Unexpected \"JPEG\" token."}));
  EXPECT_EQ(dump(doc.root), "image_type()");

  // a key name directly followed by letters
  doc = parse("widthx: 3");
  EXPECT_EQ(messages(doc), (V{"Unexpected \"x\" token."}));
  EXPECT_EQ(dump(doc.root), "width(3)");

  // UTF-8 outside quotes: the lead byte is a word, the continuation byte a bad token
  doc = parse("image_type: \xC3\xA9t\xC3\xA9\n");
  EXPECT_EQ(messages(doc), (V{"Unexpected \"\xC3\" token.", "Unexpected \"\xA9\" token.",
                              "Unexpected \"t\xC3\" token.", "Unexpected \"\xA9\" token."}));
  // inside quotes it is plain text
  doc = parse("image_type: \"\xC3\xA9t\xC3\xA9\"\n");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "image_type('\xC3\xA9t\xC3\xA9')");

  // numbers and strings where a key is expected
  doc = parse("5 'x'\n= width: 1");
  EXPECT_EQ(messages(doc), (V{"Unexpected \"5\" token.", "Unexpected \"'x'\" token.",
                              "Unexpected \"=\" token."}));
  EXPECT_EQ(dump(doc.root), "width(1)");
}

TEST_F(TargetsDoc, BracesAndBracketsUnwindTheStack) {
  using V = std::vector<std::string>;
  // objects only exist as values: a top-level "{" is rejected, its "}" is accepted
  TargetsDocument doc = parse("{ width: 5 }\nheight: 6");
  EXPECT_EQ(messages(doc), (V{"Unexpected \"{\" token."}));
  EXPECT_EQ(dump(doc.root), "width(5) height(6)");

  // unmatched closers at the top level leave keys readable
  doc = parse("} }\n}, width: 1 } height: 2");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "width(1) height(2)");

  // "]" closes the value list; the next top-level key is accepted
  doc = parse("targets: [ 1 ] width: 2");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "targets(1) width(2)");

  // a key right after "]" in the object still belongs to the object
  doc = parse("targets: { width: [1 2] height: 3 }");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "targets({width(1 2) height(3)})");

  // an unclosed object is not an error
  doc = parse("targets: { width: 1");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "targets({width(1)})");

  // one "," after "}" in a list is consumed, even across a line feed
  doc = parse("targets: [ {width:1} ,\n {width:2}, ]\nquality: 9");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "targets({width(1)} {width(2)}) quality(9)");

  // after "]" a second ":" reopens the same key's values
  doc = parse("targets: [ 1 ] : 2");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "targets(1 2)");

  // ":" or "," where a key is expected is rejected
  doc = parse("width: 1 } : , height: 2");
  EXPECT_EQ(messages(doc), (V{"Unexpected \":\" token.", "Unexpected \",\" token."}));
  EXPECT_EQ(dump(doc.root), "width(1) height(2)");
}

TEST_F(TargetsDoc, ListsNeedNeitherBracketsNorCommas) {
  TargetsDocument listed = parse("targets: [ { width: 1, height: 2 } ]");
  std::string with_brackets = dump(listed.root);
  EXPECT_EQ(with_brackets, "targets({width(1) height(2)})");
  TargetsDocument bare = parse("targets: { width: 1 height: 2 }");
  EXPECT_EQ(dump(bare.root), with_brackets);
  EXPECT_EQ(bare.errors.count, 0u);

  TargetsDocument two = parse("targets:\n{ width: 1 }\n{ width: 2 quality: 3 }\n");
  EXPECT_EQ(two.errors.count, 0u);
  EXPECT_EQ(dump(two.root), "targets({width(1)} {width(2) quality(3)})");

  // several values stay in order; a key without a value has no children; "," after a key is
  // read as the colon
  TargetsDocument values = parse("width: 1 '2' 3 height: quality, 4\nmax_bytes:");
  EXPECT_EQ(values.errors.count, 0u);
  EXPECT_EQ(dump(values.root), "width(1 '2' 3) height() quality(4) max_bytes()");
  expect_links_consistent(values.root);

  // keys are matched without regard to case by the parser, but the tokenizer only knows them
  // in lower case
  TargetsDocument upper = parse("WIDTH: 3");
  EXPECT_EQ(upper.errors.count, 3u);
  EXPECT_TRUE(doc_node_is_nil(upper.root->first));
}

TEST_F(TargetsDoc, CommaInsideAQuotedValueStaysInIt) {
  TargetsDocument doc = parse("keep: \"exif, icc\"\nquality: 5\n");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "keep('exif, icc') quality(5)");
  // without a closing quote before the line's end, the comma still cuts it
  doc = parse("image_type: \"a,b\nquality: 5\n");
  EXPECT_EQ(messages(doc), (std::vector<std::string>{"Unexpected \"a\" token.", "Unexpected \"b\" token."}));
  EXPECT_EQ(dump(doc.root), "image_type('\"') quality(5)");
}

TEST_F(TargetsDoc, StringsThatRunToTheEndOfTheText) {
  // a closed value on the last line without a line feed reads as usual
  TargetsDocument doc = parse("image_type: 'PNG'");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "image_type('PNG')");

  // an unclosed one is accepted too, and loses its last byte like a closing quote
  doc = parse("image_type: \"JPEG");
  EXPECT_EQ(doc.errors.count, 0u);
  DocNode *value = doc.root->first->first;
  ASSERT_EQ(value->kind, DocValue);
  EXPECT_EQ(value->value_type, DocValueString);
  EXPECT_EQ(text_of(value->raw), "\"JPEG");
  EXPECT_EQ(text_of(value->text), "JPE");

  // a lone quote keeps its byte
  doc = parse("image_type: '");
  EXPECT_EQ(text_of(doc.root->first->first->text), "'");
}

TEST_F(TargetsDoc, NumbersKeepTheirWrittenForm) {
  TargetsDocument doc = parse("width: -12\nheight: 7.5\nbg_color: 0xFF00FF\nquality: .5\n");
  EXPECT_EQ(doc.errors.count, 0u);
  EXPECT_EQ(dump(doc.root), "width(-12) height(7.5) bg_color(0xFF00FF) quality(.5)");
  for (DocNode *key = doc.root->first; !doc_node_is_nil(key); key = key->next) {
    EXPECT_EQ(key->first->value_type, DocValueNumber);
    EXPECT_EQ(text_of(key->first->text), text_of(key->first->raw));
  }
}

TEST_F(TargetsDoc, HashStartsACommentOutsideStrings) {
  TargetsDocument doc = parse("// note\nwidth: 3 # width: 4\n# height: 5\nimage_type: \"a#b\" # \"c\"\n");
  EXPECT_EQ(messages(doc), (std::vector<std::string>{"Unexpected \"//\" token.", "Unexpected \"note\" token."}));
  EXPECT_EQ(dump(doc.root), "width(3) image_type('a#b')");
}

TEST_F(TargetsDoc, DeepNestingAndLongListsParse) {
  std::string t;
  for (int i = 0; i < 20000; i += 1) t += "targets: {";
  t += "width: 1";
  for (int i = 0; i < 20000; i += 1) t += "}";
  t += " height: 2";
  TargetsDocument doc = parse(t);
  EXPECT_EQ(doc.errors.count, 0u);
  // the closers unwound every level: height is a top-level key again
  EXPECT_EQ(text_of(doc.root->last->text), "height");
  DocNode *deepest = doc_find_by_text(doc.root, str8_lit("width"), 0);
  ASSERT_FALSE(doc_node_is_nil(deepest));
  u64 depth = 0;
  for (DocNode *n = deepest; n != doc.root; n = n->parent) depth += 1;
  EXPECT_EQ(depth, 2u * 20000 + 1);
}

TEST_F(TargetsDoc, ArbitraryBytesTileAndParseCleanly) {
  // deterministic noise biased towards the bytes that steer both passes
  const char alphabet[] = "{}[]:,'\" \n\t-.0123456789abwidth_#/\xC3\xA9\x80=";
  u64 seed = 0x9E3779B97F4A7C15ull;
  for (int round = 0; round < 300; round += 1) {
    std::string t;
    u64 length = 1 + (u64)round % 97;
    for (u64 k = 0; k < length; k += 1) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      u64 pick = seed >> 33;
      if ((pick & 7) == 0) {
        t += "width";
      } else {
        t += alphabet[pick % (sizeof(alphabet) - 1)];
      }
    }
    DocTokenArray tokens = tokenize(t);
    u64 at = 0;
    for (u64 i = 0; i < tokens.count; i += 1) {
      ASSERT_EQ(tokens.v[i].begin, at) << t;
      ASSERT_GT(tokens.v[i].end, at) << t;
      ASSERT_NE(tokens.v[i].flags, 0u);
      at = tokens.v[i].end;
    }
    ASSERT_EQ(at, t.size()) << t;

    TargetsDocument doc = targets_parse(arena, str8_of(text), tokens);
    expect_links_consistent(doc.root);
    for (DocErrorEntry *e = doc.errors.first; e != nullptr; e = e->next) {
      ASSERT_EQ(text_of(e->message), "Unexpected \"" + text_of(e->node->raw) + "\" token.");
      ASSERT_EQ(text_of(e->node->raw), text.substr(e->node->offset, e->node->raw.size));
    }
  }
}

//~ Nodes and lookups

TEST_F(TargetsDoc, NilNodeAndLinks) {
  DocNode *nil = doc_node_nil();
  EXPECT_EQ(nil->kind, DocNil);
  EXPECT_EQ(nil->next, nil);
  EXPECT_EQ(nil->prev, nil);
  EXPECT_EQ(nil->parent, nil);
  EXPECT_EQ(nil->first, nil);
  EXPECT_EQ(nil->text.size, 0u);
  EXPECT_TRUE(doc_node_is_nil(nullptr));
  EXPECT_TRUE(doc_node_is_nil(nil));
  DocNode *fake = doc_node_new(arena, DocNil, Str8{}, Str8{}, 0);
  EXPECT_TRUE(doc_node_is_nil(fake));

  DocNode *a = doc_node_new(arena, DocObject, str8_lit("a"), str8_lit("a"), 3);
  EXPECT_FALSE(doc_node_is_nil(a));
  EXPECT_EQ(a->next, nil);
  EXPECT_EQ(a->prev, nil);
  EXPECT_EQ(a->parent, nil);
  EXPECT_EQ(a->first, nil);
  EXPECT_EQ(a->last, nil);
  EXPECT_EQ(a->offset, 3u);
  EXPECT_EQ(a->value_type, 0);

  // the nil node is never written, so pushing onto it or pushing it is refused
  doc_node_push_child(nil, a);
  EXPECT_EQ(a->parent, nil);
  doc_node_push_child(a, nil);
  EXPECT_EQ(a->first, nil);
  EXPECT_EQ(nil->parent, nil);

  DocNode *b = doc_node_new(arena, DocKey, str8_lit("b"), str8_lit("b"), 0);
  DocNode *c = doc_node_new(arena, DocKey, str8_lit("c"), str8_lit("c"), 0);
  DocNode *d = doc_node_new(arena, DocValue, str8_lit("d"), str8_lit("d"), 0);
  DocNode *e = doc_node_new(arena, DocObject, str8_lit("e"), str8_lit("e"), 0);
  doc_node_push_child(a, b);
  doc_node_push_child(a, c);
  doc_node_push_child(b, d);
  doc_node_push_child(e, a);
  expect_links_consistent(e);
  EXPECT_EQ(a->first, b);
  EXPECT_EQ(a->last, c);
  EXPECT_EQ(c->prev, b);
  EXPECT_EQ(c->next, nil);

  // pre-order, bounded by the subtree root
  EXPECT_EQ(doc_node_next_depth_first(a, a), b);
  EXPECT_EQ(doc_node_next_depth_first(b, a), d);
  EXPECT_EQ(doc_node_next_depth_first(d, a), c);
  EXPECT_EQ(doc_node_next_depth_first(c, a), nil);
  EXPECT_EQ(doc_node_next_depth_first(b, b), d);
  EXPECT_EQ(doc_node_next_depth_first(d, b), nil);
  EXPECT_EQ(doc_node_next_depth_first(nil, a), nil);
  EXPECT_EQ(doc_node_next_depth_first(nullptr, a), nil);
  EXPECT_EQ(doc_find_by_text(b, str8_lit("c"), 0), nil);
  EXPECT_EQ(doc_find_by_text(e, str8_lit("c"), 0), c);
  EXPECT_EQ(doc_find_by_text(nil, str8_lit(""), 0), nil);
}

TEST_F(TargetsDoc, FindByTextVisitsInPreOrder) {
  TargetsDocument doc =
      parse("image_type: \"targets\"\ntargets: { width: 1 }\nTARGETS_x: 2\n");
  DocNode *found = doc_find_by_text(doc.root, str8_lit("targets"), MatchIgnoreCase);
  ASSERT_FALSE(doc_node_is_nil(found));
  EXPECT_EQ(found->kind, DocValue);
  EXPECT_EQ(text_of(found->raw), "\"targets\"");

  found = doc_find_by_text(doc.root->first->next, str8_lit("TARGETS"), MatchIgnoreCase);
  EXPECT_EQ(found->kind, DocKey);
  EXPECT_TRUE(doc_node_is_nil(doc_find_by_text(doc.root, str8_lit("TARGETS"), 0)));
  EXPECT_EQ(doc_find_by_text(doc.root, str8_lit("{"), 0)->kind, DocObject);
  // the root itself counts
  EXPECT_EQ(doc_find_by_text(doc.root, str8_of(text), 0), doc.root);
}

TEST_F(TargetsDoc, ChildValuePicksTheFirstKeyWithTheWantedType) {
  TargetsDocument doc =
      parse("targets: {\nwidth: 'a'\nwidth: 5 width: 7 height: 1 2 quality: edge_mode: 'x'\n}");
  DocNode *object = doc.root->first->first;
  ASSERT_EQ(object->kind, DocObject);
  auto value = [&](const char *key, MatchFlags flags, i32 type) {
    return text_of(doc_child_value(object, str8_cstring(key), flags, type));
  };
  EXPECT_EQ(value("width", MatchIgnoreCase, DocValueNumber), "5");
  EXPECT_EQ(value("width", MatchIgnoreCase, DocValueString), "a");
  EXPECT_EQ(value("WIDTH", MatchIgnoreCase, DocValueNumber), "5");
  EXPECT_EQ(value("WIDTH", 0, DocValueNumber), "");
  EXPECT_EQ(value("height", MatchIgnoreCase, DocValueNumber), "1");
  EXPECT_EQ(value("height", MatchIgnoreCase, DocValueString), "");
  EXPECT_EQ(value("quality", MatchIgnoreCase, DocValueNumber), "");
  EXPECT_EQ(value("edge_mode", MatchIgnoreCase, DocValueString), "x");
  EXPECT_EQ(value("bg_color", MatchIgnoreCase, DocValueString), "");
  EXPECT_EQ(doc_child_value(doc_node_nil(), str8_lit("width"), 0, DocValueNumber).size, 0u);
}

//~ Errors

TEST_F(TargetsDoc, ErrorListAndPositions) {
  DocErrorList list = {};
  DocNode *n = doc_node_new(arena, DocError, str8_lit("x"), str8_lit("x"), 0);
  doc_error_push(arena, &list, n, 1, str8_lit("one"));
  doc_error_push(arena, &list, n, 3, str8_lit("two"));
  doc_error_push(arena, &list, n, 2, str8_lit("three"));
  EXPECT_EQ(list.count, 3u);
  EXPECT_EQ(list.worst_severity, 3);
  EXPECT_EQ(text_of(list.first->message), "one");
  EXPECT_EQ(text_of(list.first->next->message), "two");
  EXPECT_EQ(list.last, list.first->next->next);
  EXPECT_EQ(text_of(list.last->message), "three");
  EXPECT_EQ(list.last->next, nullptr);

  std::string t = "ab\n\xC3\xA9x\r\nq";
  Str8 s = str8_of(t);
  auto at = [&](u64 offset) {
    DocPosition p = doc_error_position(s, offset);
    return std::to_string(p.line) + ":" + std::to_string(p.column);
  };
  EXPECT_EQ(at(0), "1:1");
  EXPECT_EQ(at(1), "1:2");
  EXPECT_EQ(at(2), "1:3"); // the line feed itself
  EXPECT_EQ(at(3), "2:1");
  EXPECT_EQ(at(5), "2:2"); // after one two-byte character
  EXPECT_EQ(at(8), "3:1");
  EXPECT_EQ(at(1000), "3:2");
  EXPECT_EQ(doc_error_position(Str8{}, 5).line, 1u);

  // the parser's rejected tokens map back to where they were written
  TargetsDocument doc = parse("width: 1\n  height: ?\n");
  ASSERT_EQ(doc.errors.count, 1u);
  DocPosition p = doc_error_position(str8_of(text), doc.errors.first->node->offset);
  EXPECT_EQ(p.line, 2u);
  EXPECT_EQ(p.column, 11u);
}
