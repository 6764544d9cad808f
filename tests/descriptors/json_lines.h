// Test support: a small JSON reader for the JSON Lines that orvane-dump
// prints (objects, arrays, strings, numbers, true, false, null).
#pragma once

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace jsonl {

struct Value {
  enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
  bool b = false;
  double num = 0;
  std::string str;
  std::vector<Value> arr;
  std::vector<std::pair<std::string, Value>> obj;

  // Member `key` of an object, or a null value.
  const Value& operator[](const std::string& key) const {
    static const Value none;
    for (const auto& kv : obj)
      if (kv.first == key) return kv.second;
    return none;
  }
};

class Parser {
 public:
  explicit Parser(const std::string& s) : s_(s) {}
  // Parses one whole value; false on any syntax error or trailing bytes.
  bool parse(Value* out) {
    if (!value(out)) return false;
    ws();
    return i_ == s_.size();
  }

 private:
  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n'))
      i_++;
  }
  bool lit(const char* w) {
    size_t n = std::char_traits<char>::length(w);
    if (s_.compare(i_, n, w) != 0) return false;
    i_ += n;
    return true;
  }
  static void put_utf8(std::string& o, unsigned u) {
    if (u < 0x80) {
      o += (char)u;
    } else if (u < 0x800) {
      o += (char)(0xC0 | (u >> 6));
      o += (char)(0x80 | (u & 0x3F));
    } else {
      o += (char)(0xE0 | (u >> 12));
      o += (char)(0x80 | ((u >> 6) & 0x3F));
      o += (char)(0x80 | (u & 0x3F));
    }
  }
  bool string(std::string* o) {
    if (i_ >= s_.size() || s_[i_] != '"') return false;
    i_++;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (c != '\\') {
        *o += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case '"': *o += '"'; break;
        case '\\': *o += '\\'; break;
        case '/': *o += '/'; break;
        case 'b': *o += '\b'; break;
        case 'f': *o += '\f'; break;
        case 'n': *o += '\n'; break;
        case 'r': *o += '\r'; break;
        case 't': *o += '\t'; break;
        case 'u': {
          if (i_ + 4 > s_.size()) return false;
          unsigned u = (unsigned)strtoul(s_.substr(i_, 4).c_str(), nullptr, 16);
          i_ += 4;
          // orvane-dump writes a stray byte as \u00XX: keep it a byte.
          if (u < 0x100 && u >= 0x80) *o += (char)u;
          else put_utf8(*o, u);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool value(Value* v) {
    ws();
    if (i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') {
      v->kind = Value::OBJECT;
      i_++;
      ws();
      if (i_ < s_.size() && s_[i_] == '}') return i_++, true;
      for (;;) {
        ws();
        std::string key;
        if (!string(&key)) return false;
        ws();
        if (i_ >= s_.size() || s_[i_++] != ':') return false;
        Value m;
        if (!value(&m)) return false;
        v->obj.emplace_back(key, m);
        ws();
        if (i_ >= s_.size()) return false;
        if (s_[i_] == ',') { i_++; continue; }
        if (s_[i_] == '}') return i_++, true;
        return false;
      }
    }
    if (c == '[') {
      v->kind = Value::ARRAY;
      i_++;
      ws();
      if (i_ < s_.size() && s_[i_] == ']') return i_++, true;
      for (;;) {
        Value m;
        if (!value(&m)) return false;
        v->arr.push_back(m);
        ws();
        if (i_ >= s_.size()) return false;
        if (s_[i_] == ',') { i_++; continue; }
        if (s_[i_] == ']') return i_++, true;
        return false;
      }
    }
    if (c == '"') {
      v->kind = Value::STRING;
      return string(&v->str);
    }
    if (lit("true")) { v->kind = Value::BOOL; v->b = true; return true; }
    if (lit("false")) { v->kind = Value::BOOL; return true; }
    if (lit("null")) { v->kind = Value::NUL; return true; }
    char* end = nullptr;
    v->num = strtod(s_.c_str() + i_, &end);
    if (end == s_.c_str() + i_) return false;
    v->kind = Value::NUMBER;
    i_ = (size_t)(end - s_.c_str());
    return true;
  }
  const std::string& s_;
  size_t i_ = 0;
};

}  // namespace jsonl
