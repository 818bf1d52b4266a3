// The README, run: its targets example and the tables that describe it, every command of its
// sh-example blocks, the help output it quotes and the service unit it shows. A README that
// drifts from the program fails here instead of misleading its reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_setup.h"
#include "test_images.h"
#include "test_json.h"
#include "test_process.h"

namespace fs = std::filesystem;

namespace {

//~ The README and its parts
std::string read_text(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream s;
  s << file.rdbuf();
  return s.str();
}

std::string source_file(const std::string &name) { return std::string(VANTOR_SOURCE_DIR) + "/" + name; }

const std::string &readme() {
  static const std::string text = read_text(source_file("README.md"));
  return text;
}

struct Block {
  std::string tag;  // what follows the opening fence
  std::string text; // the lines between the fences, each with its line feed
  size_t line;      // of the opening fence
  size_t end;       // offset just past the closing fence
};

std::vector<Block> fenced_blocks(const std::string &text) {
  std::vector<Block> blocks;
  Block current;
  bool inside = false;
  size_t line = 0;
  for (size_t pos = 0; pos < text.size(); line += 1) {
    size_t eol = std::min(text.find('\n', pos), text.size());
    std::string l = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!inside && l.rfind("```", 0) == 0) {
      current = Block{l.substr(3), "", line + 1, 0};
      inside = true;
    } else if (inside && l == "```") {
      current.end = std::min(pos, text.size());
      blocks.push_back(current);
      inside = false;
    } else if (inside) {
      current.text += l + "\n";
    }
  }
  EXPECT_FALSE(inside) << "README: the block opened on line " << current.line << " is never closed";
  return blocks;
}

std::vector<Block> blocks_tagged(const std::string &tag) {
  std::vector<Block> out;
  for (const Block &b : fenced_blocks(readme())) {
    if (b.tag == tag) out.push_back(b);
  }
  return out;
}

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t");
  size_t b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The first Markdown table whose header starts with `first_header`: its body rows, cells
// trimmed and without backticks.
std::vector<std::vector<std::string>> table_after_header(const std::string &first_header) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(readme());
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] != '|') {
      if (inside) break;
      continue;
    }
    std::vector<std::string> cells;
    size_t at = 1;
    for (size_t bar = line.find('|', at); bar != std::string::npos; bar = line.find('|', at)) {
      std::string cell = trim(line.substr(at, bar - at));
      cell.erase(std::remove(cell.begin(), cell.end(), '`'), cell.end());
      cells.push_back(cell);
      at = bar + 1;
    }
    if (!inside) {
      inside = !cells.empty() && cells[0] == first_header;
      continue;
    }
    if (cells.empty() || cells[0].rfind("---", 0) == 0) continue;
    rows.push_back(cells);
  }
  EXPECT_FALSE(rows.empty()) << "README: no table headed \"" << first_header << "\"";
  return rows;
}

//~ Metadata text
typedef std::vector<std::pair<std::string, std::string>> Record;

std::vector<Record> records_of(const std::string &text) {
  std::vector<Record> records;
  std::regex field(R"(\[([A-Za-z_]+)\]([^;\[]*);)");
  Record current;
  for (std::sregex_iterator it(text.begin(), text.end(), field), end; it != end; ++it) {
    current.push_back({(*it)[1], (*it)[2]});
    if ((*it)[1] == "END_FILE") {
      records.push_back(current);
      current.clear();
    }
  }
  return records;
}

std::string field(const Record &r, const std::string &name) {
  for (const auto &[key, value] : r) {
    if (key == name) return value;
  }
  return "<missing>";
}

//~ Running commands the way a reader would
// Shell words with single and double quotes and backslashes; anything that would need a real
// shell (variables, pipes, redirections, several commands on one line) is refused, so that
// every example stays runnable here exactly as written.
bool shell_words(const std::string &line, std::vector<std::string> *words, std::string *error) {
  std::string word;
  bool have = false;
  for (size_t i = 0; i < line.size(); i += 1) {
    char c = line[i];
    if (c == '\'' || c == '"') {
      size_t close = line.find(c, i + 1);
      if (close == std::string::npos) return *error = "unclosed quote", false;
      word += line.substr(i + 1, close - i - 1);
      have = true;
      i = close;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      have = true;
    } else if (c == ' ' || c == '\t') {
      if (have) words->push_back(word);
      word.clear();
      have = false;
    } else if (std::string("$`|&;<>(){}*?~").find(c) != std::string::npos) {
      return *error = std::string("needs a real shell: '") + c + "'", false;
    } else {
      word += c;
      have = true;
    }
  }
  if (have) words->push_back(word);
  return true;
}

// The program's own reading of one argument: -key=value, --key=value, key=value, -key:value.
struct Option {
  std::string prefix; // the dashes
  std::string key;
  std::string separator; // "=", ":" or nothing
  std::string value;
};

Option option_of(const std::string &arg) {
  Option o;
  size_t dashes = arg.rfind("--", 0) == 0 ? 2 : arg.rfind("-", 0) == 0 ? 1 : 0;
  o.prefix = arg.substr(0, dashes);
  std::string rest = arg.substr(dashes);
  size_t split = std::min(rest.find('='), rest.find(':'));
  o.key = rest.substr(0, split);
  if (split != std::string::npos) {
    o.separator = rest.substr(split, 1);
    o.value = rest.substr(split + 1);
  }
  return o;
}

struct RunResult {
  std::string output;
  std::vector<std::pair<std::string, std::string>> moved; // README path -> where it ran
};

// Stands for the reader's machine: `root` is the repository folder (the program is at
// build/vantor there, build/vantor.exe on Windows), and every absolute path of an example
// lands below `root`.
struct Shell {
  TempFolder tmp;
  std::string root;
  std::string cwd;
  std::string binary;
  int runs = 0;

  explicit Shell(const std::string &name) : tmp(name), root(tmp.path), cwd(tmp.path) {
    binary = root + "/build/vantor" + fs::path(VANTOR_BIN).extension().string();
    fs::create_directories(root + "/build");
    fs::copy_file(VANTOR_BIN, binary);
  }

  std::string rebase(const std::string &path) const { return path.rfind('/', 0) == 0 ? root + path : path; }
  std::string resolve(const std::string &path) const {
    fs::path p = rebase(path);
    return (p.is_absolute() ? p : fs::path(cwd) / p).lexically_normal().generic_string();
  }
  // The program prints its folders normalised: no trailing separator.
  static std::string shown(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  }

  RunResult run_program(const std::vector<std::string> &words, const std::string &where) {
    RunResult result;
    const std::string &program = words[0];
    if (program.find('/') != std::string::npos && program[0] != '/') {
      EXPECT_EQ(cwd, root) << where << ": " << program << " is relative to the repository folder only";
    }

    // the arguments as the program will see them, absolute paths moved below root
    std::vector<std::string> args;
    std::map<std::string, std::string> first; // the first occurrence of a key wins
    for (size_t i = 1; i < words.size(); i += 1) {
      Option o = option_of(words[i]);
      if (!first.count(o.key)) first[o.key] = o.value;
      if (!o.value.empty() && o.value[0] == '/') {
        result.moved.push_back({o.value, rebase(o.value)});
        o.value = rebase(o.value);
      }
      args.push_back(o.prefix + o.key + o.separator + o.value);
    }
    auto folder = [&](const std::string &key) {
      return first.count(key) && !first[key].empty() ? resolve(first[key]) : root + "/build/" + key;
    };
    std::string in = folder("in"), out = folder("out"), meta = folder("metadatas");
    bool help = first.count("help") != 0;
    if (first.count("targets")) {
      std::string targets = resolve(first["targets"]);
      fs::create_directories(fs::path(targets).parent_path());
      std::ofstream(targets, std::ios::binary) << blocks_tagged("targets").at(0).text;
    }

    // a picture to convert, and an end to the run
    std::string sample = "readme-sample-" + std::to_string(runs++);
    if (!help) {
      fs::create_directories(in);
      EXPECT_TRUE(write_file(in + "/" + sample + ".png", png_file(gradient(64, 48, 3), 64, 48, 3)));
      if (!first.count("drain")) args.push_back("-drain");
    }

    std::string home = fs::current_path().string();
    fs::current_path(cwd);
    Program p(args, binary);
    fs::current_path(home);
    EXPECT_TRUE(p.wait_for_exit(240)) << where << "\n" << p.out;
    EXPECT_EQ(p.exit_code, 0) << where << "\n" << p.out;
    EXPECT_TRUE(p.out.size() >= 16 && p.out.substr(p.out.size() - 16) == "[Vantor] ended.\n") << where << "\n" << p.out;
    EXPECT_EQ(p.out.find("warning"), std::string::npos) << where << "\n" << p.out;
    EXPECT_EQ(p.out.find("error"), std::string::npos) << where << "\n" << p.out;
    EXPECT_NE(p.out.find("\tin:        " + shown(in) + "\n"), std::string::npos) << where << "\n" << p.out;
    EXPECT_NE(p.out.find("\tout:       " + shown(out) + "\n"), std::string::npos) << where << "\n" << p.out;
    EXPECT_NE(p.out.find("\tmetadatas: " + shown(meta) + "\n"), std::string::npos) << where << "\n" << p.out;
    if (!help) {
      EXPECT_FALSE(fs::exists(in + "/" + sample + ".png")) << where << ": the picture was not converted\n" << p.out;
      std::vector<Record> records = records_of(read_text(meta + "/" + sample + ".metadatas"));
      EXPECT_GE(records.size(), 2u) << where << ": " << meta;
    }
    result.output = p.out;
    return result;
  }

  // One line of an example. Besides the program, the few commands the README uses to stand
  // for what the reader already has.
  RunResult run_line(const std::string &line, const std::string &where) {
    std::vector<std::string> w;
    std::string error;
    if (!shell_words(line, &w, &error) || w.empty()) {
      ADD_FAILURE() << where << ": " << (w.empty() && error.empty() ? "empty command" : error);
      return {};
    }
    if (w[0] == "vantor" || (w[0].size() > 7 && w[0].substr(w[0].size() - 7) == "/vantor")) {
      return run_program(w, where);
    }
    if (w[0] == "cd" && w.size() == 2) {
      cwd = resolve(w[1]);
      fs::create_directories(cwd); // a folder the reader has
    } else if (w[0] == "mkdir" && w.size() >= 3 && w[1] == "-p") {
      for (size_t i = 2; i < w.size(); i += 1) fs::create_directories(resolve(w[i]));
    } else if (w[0] == "ln" && w.size() == 4 && w[1] == "-s") {
      std::string target = resolve(w[2]);
      fs::create_directories(target); // the reader's folder the link points to
      std::string link = resolve(w[3]);
      fs::create_directories(fs::path(link).parent_path());
      EXPECT_TRUE(make_folder_link(target, link)) << where << ": " << link;
    } else {
      ADD_FAILURE() << where << ": the test does not know the command \"" << w[0] << "\"";
    }
    return {};
  }

  // Every command of a block, in order; continued lines are joined, comments skipped.
  std::vector<RunResult> run_block(const Block &block) {
    std::vector<RunResult> results;
    std::istringstream in(block.text);
    std::string line, pending;
    size_t number = block.line;
    while (std::getline(in, line)) {
      number += 1;
      if (!line.empty() && line.back() == '\\') {
        pending += line.substr(0, line.size() - 1);
        continue;
      }
      line = trim(pending + line);
      pending.clear();
      if (line.empty() || line[0] == '#') continue;
      results.push_back(run_line(line, "README.md:" + std::to_string(number)));
    }
    return results;
  }
};

//~ Targets
// The name of every text value a target takes, and what it must become.
struct NamedValue {
  const char *key;
  const char *name;
  i32 number;
};

const NamedValue named_values[] = {
    {"image_type", "JPEG", FileTypeJpeg}, {"image_type", "PNG", FileTypePng},
    {"pixel_layout", "RGB", 3},            {"pixel_layout", "RGBA", 4},
    {"resampling_filter", "BOX", 1},       {"resampling_filter", "TRIANGLE", 2},
    {"resampling_filter", "CUBICBSPLINE", 3}, {"resampling_filter", "CATMULLROM", 4},
    {"resampling_filter", "MITCHELL", 5},  {"resampling_filter", "POINT_SAMPLE", 6},
    {"edge_mode", "CLAMP", 0},             {"edge_mode", "REFLECT", 1},
    {"edge_mode", "WRAP", 2},              {"edge_mode", "ZERO", 3},
    {"fit", "pad", FitPad},                {"fit", "inside", FitInside},
    {"fit", "cover", FitCover},            {"crop", "center", CropCenter},
    {"crop", "attention", CropAttention},
};

i32 named_field(const Target &t, const std::string &key) {
  if (key == "image_type") return t.image_type;
  if (key == "pixel_layout") return t.pixel_layout;
  if (key == "resampling_filter") return t.resampling_filter;
  if (key == "fit") return t.fit;
  if (key == "crop") return t.crop;
  return t.edge_mode;
}

std::vector<Target> parse_targets(const std::string &text, std::vector<std::string> *problems) {
  Arena *arena = arena_create(mib(4), kib(64));
  TargetList list = {};
  Str8List lines = {};
  app_targets_from_text(arena, &list, str8(text.data(), text.size()), str8_lit("targets.txt"), &lines);
  std::vector<Target> out;
  for (TargetNode *n = list.first; n; n = n->next) out.push_back(*n->target);
  for (Str8Node *n = lines.first; n; n = n->next) problems->push_back(std::string((char *)n->string.str, n->string.size));
  arena_destroy(arena);
  return out;
}

std::string size_text(const std::string &w, const std::string &h) { return w + " x " + h; }

} // namespace

//~ The entry points
TEST(ReadmeExamples, KeepsTheEntryPointsAndTheyDoWhatItSays) {
  const std::string &text = readme();
  ASSERT_FALSE(text.empty()) << source_file("README.md");
  for (const char *needle : {"make run", "make test", "make bench", "bench/README.md", "make run ARGS=\"",
                             "build/in", "build/out", "build/metadatas", "pgrep -x vantor"}) {
    EXPECT_NE(text.find(needle), std::string::npos) << "the README lost \"" << needle << "\"";
  }
  // `make run ARGS="..."` is the program with those arguments, in build/.
  std::string makefile = read_text(source_file("Makefile"));
  EXPECT_NE(makefile.find("\nBUILD ?= build\n"), std::string::npos);
  size_t run_rule = makefile.find("\nrun:");
  ASSERT_NE(run_rule, std::string::npos);
  std::string recipe = makefile.substr(run_rule, makefile.find("\n\n", run_rule) - run_rule) + "\n";
  EXPECT_NE(recipe.find("\t$(BUILD)/vantor $(ARGS)\n"), std::string::npos) << recipe;
  EXPECT_EQ(blocks_tagged("targets").size(), 1u);
  EXPECT_GE(blocks_tagged("sh-example").size(), 4u);
  EXPECT_EQ(blocks_tagged("help-output").size(), 1u);

  // the JSON log's examples: each line one object as a collector reads it
  std::vector<Block> json = blocks_tagged("json-lines");
  ASSERT_EQ(json.size(), 1u);
  std::istringstream lines(json[0].text);
  for (std::string line; std::getline(lines, line);) {
    Json j = read_json(line);
    EXPECT_TRUE(j.ok && j.has("time") && j.has("level") && j.has("event")) << line;
  }
}

//~ The targets file
TEST(ReadmeExamples, TargetsExampleParsesCleanlyAndItsNamesAreTheProgramsNames) {
  std::vector<Block> blocks = blocks_tagged("targets");
  ASSERT_EQ(blocks.size(), 1u);
  std::string example = blocks[0].text;
  std::vector<std::string> problems;
  std::vector<Target> targets = parse_targets(example, &problems);
  for (const std::string &problem : problems) ADD_FAILURE() << problem;
  size_t objects = std::count(example.begin(), example.end(), '{');
  EXPECT_EQ(targets.size(), objects);

  // Every key of every object reached its target: names are real names (an unknown one is
  // taken silently as not set), numbers arrive as written.
  std::regex object(R"(\{([^}]*)\})");
  std::regex pair(R"re(([a-z_]+):\s*("([^"]*)"|[0-9]+))re");
  size_t index = 0;
  for (std::sregex_iterator o(example.begin(), example.end(), object), end; o != end && index < targets.size(); ++o, ++index) {
    const Target &t = targets[index];
    std::string body = (*o)[1];
    for (std::sregex_iterator p(body.begin(), body.end(), pair); p != end; ++p) {
      std::string key = (*p)[1];
      if ((*p)[3].matched) {
        std::string name = (*p)[3];
        const NamedValue *known = nullptr;
        for (const NamedValue &v : named_values) {
          if (key == v.key && name == v.name) known = &v;
        }
        ASSERT_NE(known, nullptr) << "target " << index + 1 << ": " << key << ": \"" << name << "\" is no name";
        EXPECT_EQ(named_field(t, key), known->number) << key << " " << name;
      } else {
        u64 number = std::stoull(std::string((*p)[2]));
        u64 stored = key == "width" ? t.width : key == "height" ? t.height : key == "bg_color" ? t.bg_color : number;
        if (key == "enlarge") stored = t.no_enlarge ? 0 : 1;
        if (key == "quality") stored = t.quality, number = std::min<u64>(number, 100);
        EXPECT_EQ(stored, number) << "target " << index + 1 << ": " << key;
      }
    }
  }

  // The README names every value the program knows, and the program knows every value as
  // the README spells it, in any case.
  for (const NamedValue &v : named_values) {
    EXPECT_NE(readme().find(std::string("\"") + v.name + "\""), std::string::npos) << v.name;
    std::string lower = v.name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    for (const std::string &name : {std::string(v.name), lower}) {
      std::vector<std::string> lines;
      std::vector<Target> one = parse_targets(
          std::string("targets: [ { width: 10, height: 10, ") + v.key + ": \"" + name + "\" } ]", &lines);
      ASSERT_EQ(one.size(), 1u);
      EXPECT_TRUE(lines.empty());
      EXPECT_EQ(named_field(one[0], v.key), v.number) << v.key << " " << name;
    }
  }

  // The mistake shown and the warnings it gives, as the program words them.
  std::vector<Block> mistake = blocks_tagged("targets-mistake");
  std::vector<Block> warnings = blocks_tagged("targets-warnings");
  ASSERT_EQ(mistake.size(), 1u);
  ASSERT_EQ(warnings.size(), 1u);
  Arena *arena = arena_create(mib(1), kib(64));
  TargetList list = {};
  Str8List lines = {};
  app_targets_from_text(arena, &list, str8(mistake[0].text.data(), mistake[0].text.size()),
                        str8_lit("/tmp/demo/targets.txt"), &lines);
  std::string said;
  for (Str8Node *n = lines.first; n; n = n->next) said += std::string((char *)n->string.str, n->string.size) + "\n";
  EXPECT_EQ(said, warnings[0].text);
  arena_destroy(arena);

  // What the README says about other mistakes: a comment is refused with a warning; single
  // quotes are accepted.
  std::vector<std::string> comment;
  parse_targets("// thumbnails\ntargets: [ { width: 10, height: 10 } ]", &comment);
  EXPECT_FALSE(comment.empty());
  std::vector<std::string> quiet;
  std::vector<Target> single = parse_targets("targets: [ { width: 10, height: 10, image_type: 'PNG' } ]", &quiet);
  EXPECT_TRUE(quiet.empty());
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].image_type, FileTypePng);
}

TEST(ReadmeExamples, DefaultTargetsTableIsTheBuiltInList) {
  std::vector<std::vector<std::string>> rows = table_after_header("Default target");
  u64 count = 0;
  const Target *builtin = app_builtin_targets(&count);
  ASSERT_EQ(rows.size(), count);
  for (u64 i = 0; i < count; i += 1) {
    ASSERT_GE(rows[i].size(), 4u);
    const Target &t = builtin[i];
    std::string size = t.width ? size_text(std::to_string(t.width), std::to_string(t.height)) : "source size";
    EXPECT_EQ(rows[i][1], size) << "row " << i + 1;
    EXPECT_EQ(rows[i][2], std::to_string(t.quality ? t.quality : 100)) << "row " << i + 1;
    std::string filter = "default";
    for (const NamedValue &v : named_values) {
      if (std::string(v.key) == "resampling_filter" && v.number == t.resampling_filter) filter = v.name;
    }
    EXPECT_EQ(rows[i][3], filter) << "row " << i + 1;
    EXPECT_EQ(t.max_bytes, 0u) << "row " << i + 1;
  }
}

// The README's example picture, converted with its targets example: the outputs table and
// the field table must be what the program writes.
TEST(ReadmeExamples, TargetsExampleGivesTheFilesAndTheRecordTheReadmeShows) {
  Shell shell("readme-targets");
  std::string in = shell.root + "/srv/vantor/in";
  std::string meta = shell.root + "/srv/vantor/metadatas";
  fs::create_directories(in);
  ASSERT_TRUE(write_file(in + "/photo.png", png_file(gradient(1600, 1200, 3), 1600, 1200, 3)));
  ASSERT_NE(readme().find("a 1600 x 1200 RGB PNG"), std::string::npos) << "the README no longer says which picture";
  shell.run_line("build/vantor -in=/srv/vantor/in -out=/srv/vantor/out -metadatas=/srv/vantor/metadatas "
                 "-targets=/srv/vantor/targets.txt -thread=2 -drain",
                 "targets example");
  std::vector<Record> records = records_of(read_text(meta + "/photo.metadatas"));

  // one row per record, in the file's order
  std::vector<std::vector<std::string>> rows = table_after_header("Record");
  ASSERT_EQ(rows.size(), records.size());
  for (size_t i = 0; i < rows.size(); i += 1) {
    const Record &r = records[i];
    ASSERT_GE(rows[i].size(), 6u);
    std::string at = "row " + std::to_string(i + 1) + " (" + rows[i][0] + ")";
    EXPECT_EQ(rows[i][0] == "source copy", field(r, "is_original") == "1") << at;
    EXPECT_EQ(rows[i][1], field(r, "file_type")) << at;
    std::string canvas = field(r, "width_bg") == "0" ? "none" : size_text(field(r, "width_bg"), field(r, "height_bg"));
    EXPECT_EQ(rows[i][2], canvas) << at;
    EXPECT_EQ(rows[i][3], size_text(field(r, "width"), field(r, "height"))) << at;
    EXPECT_EQ(rows[i][4], field(r, "pixel_layout")) << at;
    EXPECT_EQ(rows[i][5], field(r, "quality")) << at;
  }

  // the field table: every field in the file's order, with the last record's values
  std::vector<std::vector<std::string>> fields = table_after_header("Field");
  const Record &last = records.back();
  ASSERT_EQ(fields.size(), last.size());
  std::string actual;
  for (const auto &[key, value] : last) actual += "[" + key + "]" + value + ";";
  for (size_t i = 0; i < fields.size(); i += 1) {
    ASSERT_GE(fields[i].size(), 3u);
    EXPECT_EQ(fields[i][0], "[" + last[i].first + "]") << "field " << i + 1 << "; the record is\n" << actual;
    EXPECT_EQ(shell.rebase(fields[i][1]), last[i].second) << fields[i][0] << "; the record is\n" << actual;
  }
}

//~ Commands
TEST(ReadmeExamples, EveryCommandExampleRunsAndEnds) {
  std::vector<Block> blocks = fenced_blocks(readme());
  int index = 0;
  for (size_t b = 0; b < blocks.size(); b += 1) {
    if (blocks[b].tag != "sh-example") continue;
    SCOPED_TRACE("the sh-example block on README.md line " + std::to_string(blocks[b].line));
    Shell shell("readme-" + std::to_string(index++));
    std::vector<RunResult> results = shell.run_block(blocks[b]);
    EXPECT_FALSE(results.empty());

    // A help-output block right after quotes the output of the block's one command.
    if (b + 1 < blocks.size() && blocks[b + 1].tag == "help-output") {
      size_t runs = 0;
      for (const RunResult &r : results) runs += !r.output.empty();
      ASSERT_EQ(runs, 1u) << "the block before the help output runs the program once";
      const RunResult &run = results.back();
      std::string expected = blocks[b + 1].text;
      std::vector<std::pair<std::string, std::string>> moved = run.moved;
      std::sort(moved.begin(), moved.end(), [](auto &x, auto &y) { return x.first.size() > y.first.size(); });
      std::string rebased;
      for (size_t at = 0; at < expected.size();) {
        bool hit = false;
        for (const auto &[from, to] : moved) {
          if (expected.compare(at, from.size(), from) == 0) {
            rebased += to;
            at += from.size();
            hit = true;
            break;
          }
        }
        if (!hit) rebased += expected[at++];
      }
      EXPECT_EQ(run.output, rebased);
    }
  }
  EXPECT_GE(index, 4);
}

//~ The service
TEST(ReadmeExamples, ServiceUnitIsTheOneShownAndItsCommandRuns) {
  std::string unit = read_text(source_file("contrib/vantor.service"));
  ASSERT_FALSE(unit.empty());
  bool shown = false;
  for (const Block &b : fenced_blocks(readme())) shown = shown || b.text == unit;
  EXPECT_TRUE(shown) << "the README shows contrib/vantor.service as it is";

  std::map<std::string, std::vector<std::string>> settings;
  std::istringstream in(unit);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || line[0] == '[' || eq == std::string::npos) continue;
    settings[line.substr(0, eq)].push_back(line.substr(eq + 1));
  }
  ASSERT_EQ(settings["ExecStart"].size(), 1u);
  ASSERT_EQ(settings["WorkingDirectory"].size(), 1u);
  EXPECT_NE(settings["User"].at(0), "root");
  EXPECT_EQ(settings["Restart"].at(0), "on-failure");
  // a folder that cannot be used (status 2) is not retried
  EXPECT_EQ(settings["RestartPreventExitStatus"], std::vector<std::string>{"2"});

  Shell shell("readme-service");
  shell.run_line("cd " + settings["WorkingDirectory"][0], "WorkingDirectory");
  RunResult run = shell.run_line(settings["ExecStart"][0], "ExecStart");

  // With the file system read-only but for ReadWritePaths, each folder must be under one.
  std::vector<std::string> writable;
  for (const std::string &value : settings["ReadWritePaths"]) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(shell_words(value, &words, &error)) << error;
    writable.insert(writable.end(), words.begin(), words.end());
  }
  std::vector<std::string> words;
  std::string error;
  ASSERT_TRUE(shell_words(settings["ExecStart"][0], &words, &error));
  int folders = 0;
  for (const std::string &word : words) {
    Option o = option_of(word);
    if (o.key != "in" && o.key != "out" && o.key != "metadatas") continue;
    folders += 1;
    bool covered = false;
    for (const std::string &w : writable) {
      covered = covered || o.value == w || o.value.rfind(w + "/", 0) == 0;
    }
    EXPECT_TRUE(covered) << o.value << " is not writable under the unit's ReadWritePaths";
  }
  EXPECT_EQ(folders, 3) << "the unit names its three folders";
}
