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

// A JSON value: a number, a string, or the items of an array or an object
// (whose member names are `keys`); true, false and null have no content.
struct Value {
  bool object = false;
  double num = 0;
  std::string str;
  std::vector<Value> items;
  std::vector<std::string> keys;

  // Member `key` of an object, or an empty value.
  const Value& operator[](const std::string& key) const {
    static const Value none;
    for (size_t i = 0; i < keys.size(); i++)
      if (keys[i] == key) return items[i];
    return none;
  }
};

// Reads the value at `p` and moves `p` past it; false on any syntax error.
// The text ends at its zero byte (orvane-dump escapes each zero it prints).
inline bool read(const char*& p, Value* v) {
  auto eat = [&p](char c) {
    p += strspn(p, " \t\r\n");
    if (*p != c) return false;
    p++;
    return true;
  };
  auto text = [&](std::string* o) {
    if (!eat('"')) return false;
    while (*p && *p != '"') {
      char c = *p++;
      if (c == '\\') {
        // orvane-dump escapes only quotes, backslashes, controls and stray bytes (as \u00XX).
        static const char kFrom[] = "\"\\/bfnrt", kTo[] = "\"\\/\b\f\n\r\t";
        const char* e = *p ? strchr(kFrom, *p) : nullptr;
        bool u = *p == 'u' && strspn(p + 1, "0123456789abcdefABCDEF") >= 4 && strncmp(p + 1, "00", 2) == 0;
        if (!e && !u) return false;
        c = u ? (char)strtoul(std::string(p + 3, 2).c_str(), nullptr, 16) : kTo[e - kFrom];
        p += u ? 5 : 1;
      }
      *o += c;
    }
    return eat('"');
  };
  p += strspn(p, " \t\r\n");
  if (*p == '"') return text(&v->str);
  if (eat('[') || eat('{')) {
    v->object = p[-1] == '{';
    const char close = v->object ? '}' : ']';
    if (eat(close)) return true;
    do {
      if (v->object) {
        v->keys.emplace_back();
        if (!text(&v->keys.back()) || !eat(':')) return false;
      }
      v->items.emplace_back();
      if (!read(p, &v->items.back())) return false;
    } while (eat(','));
    return eat(close);
  }
  for (const char* word : {"true", "false", "null"})
    if (strncmp(p, word, strlen(word)) == 0) return p += strlen(word), true;
  char* end = nullptr;
  v->num = strtod(p, &end);
  if (end == p) return false;
  p = end;
  return true;
}

}  // namespace jsonl

namespace dumprun {

using Cells = std::vector<std::string>;  // key, value[, description]

struct Row {
  unsigned row = 0, level = 0, attr = 0;
  std::vector<Cells> infos;
  std::vector<Cells> values;
};

struct Result {
  int status = -1;         // exit status, -1 when it did not exit normally
  std::string out;         // standard output as printed
  std::string err;         // standard error as printed
  std::vector<Row> rows;   // the lines read as JSON rows
  int bad_lines = 0;       // the lines that are none (all, in a text run)
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
  for (const jsonl::Value& e : g.items) {
    out.emplace_back();
    for (const jsonl::Value& s : e.items) out.back().push_back(s.str);
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
// TMPDIR set to `tmp` unless that is empty; reads the output as JSON Lines.
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
  for (const std::string& line : split_lines(r.out)) {
    jsonl::Value v;
    const char* p = line.c_str();
    if (!jsonl::read(p, &v) || p + strspn(p, " \t\r\n") != line.c_str() + line.size() || !v.object) {
      r.bad_lines++;
      continue;
    }
    r.rows.push_back({(unsigned)v["row"].num, (unsigned)v["level"].num, (unsigned)v["attr"].num, group(v["infos"]),
                      group(v["values"])});
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
