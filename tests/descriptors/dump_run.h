// Test support: runs orvane-dump on a capture in a private directory and
// reads its JSON Lines back as rows of text cells.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json_lines.h"
#include "tests/support/test_env.h"

namespace dumprun {

using Cells = std::vector<std::string>;  // key, value[, description]

struct Row {
  unsigned row = 0;
  unsigned parent = 0;
  int level = 0;
  std::vector<Cells> infos;
  std::vector<Cells> values;
};

struct Result {
  int status = -1;         // exit status, -1 when it did not exit normally
  std::string out;         // standard output as printed
  std::vector<Row> rows;   // parsed rows (JSON runs only)
  int bad_lines = 0;       // lines that did not parse
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<Cells> group(const jsonl::Value& g) {
  std::vector<Cells> out;
  for (const jsonl::Value& e : g.arr) {
    Cells c;
    for (const jsonl::Value& s : e.arr) c.push_back(s.str);
    out.push_back(c);
  }
  return out;
}

// Runs orvane-dump with `args` (the capture path among them) inside `dir`;
// parses the output as JSON Lines when `--json` is among the arguments.
inline Result run(const std::vector<std::string>& args, const testenv::TempDir& dir) {
  std::string exe = testenv::bin_dir() + "/orvane-dump";
  std::string out_path = dir.file("dump.out");
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open("/dev/null", O_WRONLY);
    if (o < 0 || e < 0 || chdir(dir.path().c_str()) != 0) _exit(127);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  Result r;
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.status = WEXITSTATUS(st);
  r.out = slurp(out_path);
  unlink(out_path.c_str());
  bool json = false;
  for (const std::string& a : args) json |= a == "--json";
  if (!json) return r;
  std::stringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    jsonl::Value v;
    if (!jsonl::Parser(line).parse(&v) || v.kind != jsonl::Value::OBJECT) {
      r.bad_lines++;
      continue;
    }
    Row row;
    row.row = (unsigned)v["row"].num;
    row.parent = (unsigned)v["parent"].num;
    row.level = (int)v["level"].num;
    row.infos = group(v["infos"]);
    row.values = group(v["values"]);
    r.rows.push_back(row);
  }
  return r;
}

// The value of the first cell pair whose key is `key` in `cells`, or "<none>".
inline std::string value_of(const std::vector<Cells>& cells, const std::string& key) {
  for (const Cells& c : cells)
    if (c.size() >= 2 && c[0] == key) return c[1];
  return "<none>";
}

}  // namespace dumprun
