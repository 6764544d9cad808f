// Test support: runs orvane-dump as a user would and reads its JSON Lines
// back as rows of text cells (a small JSON reader for what it prints).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_env.h"

namespace jsonl {

struct Value {
  enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
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
  bool parse(Value* out) { return value(out) && (ws(), i_ == s_.size()); }

 private:
  void ws() {
    while (i_ < s_.size() && strchr(" \t\r\n", s_[i_]) && s_[i_]) i_++;
  }
  bool eat(char c) { return ws(), i_ < s_.size() && s_[i_] == c ? (i_++, true) : false; }
  bool lit(const char* w) {
    size_t n = strlen(w);
    return s_.compare(i_, n, w) == 0 ? (i_ += n, true) : false;
  }
  bool string(std::string* o) {
    if (!eat('"')) return false;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (c != '\\') {
        *o += c;
      } else if (i_ < s_.size()) {
        const char* from = "\"\\/bfnrt";
        const char* to = "\"\\/\b\f\n\r\t";
        char e = s_[i_++];
        if (e == 'u') {
          // orvane-dump escapes only controls and stray bytes, as \u00XX.
          unsigned u = (unsigned)strtoul(s_.substr(i_, 4).c_str(), nullptr, 16);
          if (i_ + 4 > s_.size() || u > 0xFF) return false;
          *o += (char)u;
          i_ += 4;
        } else if (e && strchr(from, e)) {
          *o += to[strchr(from, e) - from];
        } else {
          return false;
        }
      }
    }
    return false;
  }
  // The members of an object or the elements of an array up to `close`.
  bool items(Value* v, char close) {
    if (eat(close)) return true;
    do {
      Value m;
      std::string key;
      if (v->kind == Value::OBJECT && !(string(&key) && eat(':'))) return false;
      if (!value(&m)) return false;
      if (v->kind == Value::OBJECT) v->obj.emplace_back(key, m);
      else v->arr.push_back(m);
    } while (eat(','));
    return eat(close);
  }
  bool value(Value* v) {
    ws();
    if (eat('{')) return v->kind = Value::OBJECT, items(v, '}');
    if (eat('[')) return v->kind = Value::ARRAY, items(v, ']');
    if (i_ < s_.size() && s_[i_] == '"') return v->kind = Value::STRING, string(&v->str);
    if (lit("true") || lit("false")) return v->kind = Value::BOOL, true;
    if (lit("null")) return v->kind = Value::NUL, true;
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

namespace dumprun {

using Cells = std::vector<std::string>;  // key, value[, description]

struct Row {
  unsigned row = 0;
  std::vector<Cells> infos;
  std::vector<Cells> values;
};

struct Result {
  int status = -1;         // exit status, -1 when it did not exit normally
  std::string out;         // standard output as printed
  std::string err;         // standard error as printed
  std::vector<Row> rows;   // parsed rows (JSON runs only)
  int bad_lines = 0;       // lines that did not parse
};

inline std::vector<std::string> split_lines(const std::string& s) {
  std::vector<std::string> lines;
  std::stringstream in(s);
  std::string l;
  while (std::getline(in, l)) lines.push_back(l);
  return lines;
}

inline std::vector<Cells> group(const jsonl::Value& g) {
  std::vector<Cells> out;
  for (const jsonl::Value& e : g.arr) {
    out.emplace_back();
    for (const jsonl::Value& s : e.arr) out.back().push_back(s.str);
  }
  return out;
}

// Starts orvane-dump with `args` inside directory `cwd`, with TMPDIR set to
// `tmp` unless that is empty, standard output and error on the descriptors
// given, and the signals that end a program at their defaults. The pid, or -1.
inline pid_t start(const std::vector<std::string>& args, const std::string& cwd, const std::string& tmp,
                   int out_fd, int err_fd) {
  std::string exe = testenv::bin_dir() + "/orvane-dump";
  pid_t pid = fork();
  if (pid == 0) {
    if (dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    if (!tmp.empty()) setenv("TMPDIR", tmp.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Runs orvane-dump with `args` inside directory `cwd` (its output is kept
// there meanwhile, unless `out_to`/`err_to` name where it goes instead), with
// TMPDIR set to `tmp` unless that is empty; parses the output as JSON Lines
// when `--json` is among the arguments.
inline Result run(const std::vector<std::string>& args, const std::string& cwd, const std::string& tmp = "",
                  const std::string& out_to = "", const std::string& err_to = "") {
  std::string out_path = out_to.empty() ? cwd + "/.dump.out" : out_to;
  std::string err_path = err_to.empty() ? cwd + "/.dump.err" : err_to;
  int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = o >= 0 && e >= 0 ? start(args, cwd, tmp, o, e) : -1;
  if (o >= 0) close(o);
  if (e >= 0) close(e);
  Result r;
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.status = WEXITSTATUS(st);
  if (out_to.empty()) r.out = testenv::read_file(out_path), unlink(out_path.c_str());
  if (err_to.empty()) r.err = testenv::read_file(err_path), unlink(err_path.c_str());
  bool json = false;
  for (const std::string& a : args) json |= a == "--json";
  for (const std::string& line : json ? split_lines(r.out) : std::vector<std::string>()) {
    jsonl::Value v;
    if (!jsonl::Parser(line).parse(&v) || v.kind != jsonl::Value::OBJECT) {
      r.bad_lines++;
      continue;
    }
    r.rows.push_back({(unsigned)v["row"].num, group(v["infos"]), group(v["values"])});
  }
  return r;
}

inline Result run(const std::vector<std::string>& args, const testenv::TempDir& dir) {
  return run(args, dir.path());
}

// The value of the first cell pair whose key is `key` in `cells`, or "<none>".
inline std::string value_of(const std::vector<Cells>& cells, const std::string& key) {
  for (const Cells& c : cells)
    if (c.size() >= 2 && c[0] == key) return c[1];
  return "<none>";
}

}  // namespace dumprun
