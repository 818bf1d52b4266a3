// Test support: a strict JSON reader (RFC 8259) for the lines the program logs. A text that is
// not exactly one valid value (control bytes in strings, a bad escape, bytes that are not
// UTF-8, anything after the value) reads as not ok.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool ok = false; // set on the value read_json returns
  bool flag = false;
  double number = 0;
  std::string text; // a string's bytes (UTF-8); a number's own text
  std::vector<Json> items;
  std::map<std::string, Json> members;

  const Json &operator[](const std::string &key) const {
    static const Json missing;
    auto it = members.find(key);
    return it == members.end() ? missing : it->second;
  }
  const Json &operator[](size_t i) const {
    static const Json missing;
    return i < items.size() ? items[i] : missing;
  }
  bool has(const std::string &key) const { return members.count(key) > 0; }
};

namespace json_detail {
struct Reader {
  const std::string &s;
  size_t at = 0;
  bool bad = false;
  void space() {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\n' || s[at] == '\r')) at += 1;
  }
  bool take(char c) {
    space();
    if (at < s.size() && s[at] == c) return at += 1, true;
    return false;
  }
  bool word(const char *w) {
    size_t n = std::char_traits<char>::length(w);
    if (s.compare(at, n, w) != 0) return false;
    at += n;
    return true;
  }
  static void put_utf8(std::string &out, uint32_t c) {
    if (c < 0x80) out += (char)c;
    else if (c < 0x800) out += (char)(0xC0 | c >> 6), out += (char)(0x80 | (c & 63));
    else if (c < 0x10000) out += (char)(0xE0 | c >> 12), out += (char)(0x80 | (c >> 6 & 63)), out += (char)(0x80 | (c & 63));
    else out += (char)(0xF0 | c >> 18), out += (char)(0x80 | (c >> 12 & 63)), out += (char)(0x80 | (c >> 6 & 63)),
        out += (char)(0x80 | (c & 63));
  }
  bool hex4(uint32_t *v) {
    if (at + 4 > s.size()) return false;
    *v = 0;
    for (int i = 0; i < 4; i += 1) {
      char c = s[at++];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      *v = *v * 16 + (uint32_t)d;
    }
    return true;
  }
  // Well-formed UTF-8 only: no overlong form, surrogate or value beyond U+10FFFF.
  size_t utf8_size(size_t i) {
    unsigned char c = (unsigned char)s[i];
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80, hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if ((unsigned char)s[i + 1] < lo || (unsigned char)s[i + 1] > hi) return 0;
    for (size_t k = 2; k < n; k += 1) {
      if (((unsigned char)s[i + k] & 0xC0) != 0x80) return 0;
    }
    return n;
  }
  bool string(std::string &out) {
    if (!take('"')) return false;
    while (at < s.size()) {
      unsigned char c = (unsigned char)s[at];
      if (c == '"') return at += 1, true;
      if (c < 0x20) return false;
      if (c >= 0x80) {
        size_t n = utf8_size(at);
        if (n == 0) return false;
        out.append(s, at, n);
        at += n;
        continue;
      }
      at += 1;
      if (c != '\\') {
        out += (char)c;
        continue;
      }
      if (at >= s.size()) return false;
      char e = s[at++];
      const char *plain = "\"\\/bfnrt", *means = "\"\\/\b\f\n\r\t";
      const char *found = std::char_traits<char>::find(plain, 8, e);
      if (found) {
        out += means[found - plain];
        continue;
      }
      uint32_t v = 0;
      if (e != 'u' || !hex4(&v)) return false;
      if (v >= 0xD800 && v <= 0xDBFF) {
        uint32_t low = 0;
        if (!word("\\u") || !hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
        v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
      } else if (v >= 0xDC00 && v <= 0xDFFF) {
        return false;
      }
      put_utf8(out, v);
    }
    return false;
  }
  bool number(Json &v) {
    size_t start = at;
    if (at < s.size() && s[at] == '-') at += 1;
    if (at < s.size() && s[at] == '0') at += 1;
    else if (at < s.size() && s[at] >= '1' && s[at] <= '9') while (at < s.size() && isdigit((unsigned char)s[at])) at += 1;
    else return false;
    if (at < s.size() && s[at] == '.') {
      at += 1;
      if (at >= s.size() || !isdigit((unsigned char)s[at])) return false;
      while (at < s.size() && isdigit((unsigned char)s[at])) at += 1;
    }
    if (at < s.size() && (s[at] == 'e' || s[at] == 'E')) {
      at += 1;
      if (at < s.size() && (s[at] == '+' || s[at] == '-')) at += 1;
      if (at >= s.size() || !isdigit((unsigned char)s[at])) return false;
      while (at < s.size() && isdigit((unsigned char)s[at])) at += 1;
    }
    v.kind = Json::Number;
    v.text = s.substr(start, at - start);
    v.number = std::stod(v.text);
    return true;
  }
  bool value(Json &v, int depth) {
    if (depth > 32) return false;
    space();
    if (at >= s.size()) return false;
    char c = s[at];
    if (c == '"') return v.kind = Json::String, string(v.text);
    if (c == '{') {
      at += 1;
      v.kind = Json::Object;
      if (take('}')) return true;
      do {
        std::string key;
        space();
        if (!string(key) || !take(':')) return false;
        Json member;
        if (v.members.count(key) || !value(member, depth + 1)) return false;
        v.members[key] = std::move(member);
      } while (take(','));
      return take('}');
    }
    if (c == '[') {
      at += 1;
      v.kind = Json::Array;
      if (take(']')) return true;
      do {
        v.items.emplace_back();
        if (!value(v.items.back(), depth + 1)) return false;
      } while (take(','));
      return take(']');
    }
    if (word("true")) return v.kind = Json::Bool, v.flag = true, true;
    if (word("false")) return v.kind = Json::Bool, true;
    if (word("null")) return true;
    return number(v);
  }
};
} // namespace json_detail

inline Json read_json(const std::string &text) {
  json_detail::Reader r{text};
  Json v;
  bool read = r.value(v, 0);
  r.space();
  v.ok = read && r.at == text.size();
  return v;
}
