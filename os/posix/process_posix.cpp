// Linux processes: program lookup, spawning with posix_spawn, waiting that
// never reaps behind a killer's back, and termination by image name over
// /proc.
//
// A child is reaped only inside os_process_wait, under the handle's mutex,
// and os_process_kill signals only an unreaped child under the same mutex: a
// zombie keeps its id, so the id we signal is always our own child's.
#include "os/process.h"
#include "os/posix/proc_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "os/clock.h"

extern char** environ;

struct OsProcess {
  pid_t pid;           // the child's id
  bool group;          // it leads a process group of its own (id = pid)
  std::mutex lock;     // guards reaped and exit against a concurrent kill
  bool reaped;         // the child has been waited for; its id may be reused
  OsProcessExit exit;  // how it ended, once reaped
};

// True when `path` names an executable regular file.
static bool is_executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

static int copy_out(const std::string& path, char* out, size_t out_cap) {
  if (path.size() + 1 > out_cap) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(out, path.c_str(), path.size() + 1);
  return 0;
}

int os_process_resolve(const char* name, char* out, size_t out_cap) {
  if (!name || !*name || !out || out_cap == 0) {
    errno = EINVAL;
    return -1;
  }
  if (strchr(name, '/')) return copy_out(name, out, out_cap);

  std::vector<std::string> dirs;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = 0;
    char* slash = strrchr(self, '/');
    if (slash) {
      *slash = 0;
      dirs.push_back(self[0] ? self : "/");
    }
  }
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd)) dirs.push_back(cwd);
  const char* path = getenv("PATH");
  if (path) {
    std::string all(path);
    size_t start = 0;
    while (start <= all.size()) {
      size_t end = all.find(':', start);
      if (end == std::string::npos) end = all.size();
      // An empty PATH entry means the current directory, already tried.
      if (end > start) dirs.push_back(all.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const std::string& dir : dirs) {
    std::string candidate = dir + "/" + name;
    if (is_executable(candidate)) return copy_out(candidate, out, out_cap);
  }
  errno = ENOENT;
  return -1;
}

// Splits a command line into words: blanks separate, double quotes group
// (and are dropped).
static std::vector<std::string> split_command_line(const char* line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false, quoted = false;
  for (const char* p = line; *p; ++p) {
    char c = *p;
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

OsProcess* os_process_spawn(const char* command_line) { return os_process_spawn_flags(command_line, 0); }

OsProcess* os_process_spawn_flags(const char* command_line, unsigned flags) {
  if (!command_line) {
    errno = EINVAL;
    return nullptr;
  }
  std::vector<std::string> words = split_command_line(command_line);
  if (words.empty()) {
    errno = EINVAL;
    return nullptr;
  }
  char program[PATH_MAX];
  if (os_process_resolve(words[0].c_str(), program, sizeof program) != 0) return nullptr;

  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  // Only the standard streams pass to the child.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (flags & OS_SPAWN_NEW_GROUP) {
    // Group id 0: the child's own id, set before it runs anything.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program, &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return nullptr;
  }
  OsProcess* proc = new OsProcess();
  proc->pid = pid;
  proc->group = (flags & OS_SPAWN_NEW_GROUP) != 0;
  proc->reaped = false;
  proc->exit = OsProcessExit{0, 0, 0};
  return proc;
}

uint32_t os_process_id(const OsProcess* proc) { return proc ? (uint32_t)proc->pid : 0; }

// Reaps the (already ended) child and records how it ended.
static void reap_locked(OsProcess* proc) {
  int status = 0;
  pid_t r;
  do {
    r = waitpid(proc->pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  proc->reaped = true;
  if (r < 0) {
    proc->exit = OsProcessExit{1, 0, 0};
  } else if (WIFSIGNALED(status)) {
    proc->exit = OsProcessExit{1, 0, WTERMSIG(status)};
  } else {
    proc->exit = OsProcessExit{0, WEXITSTATUS(status), 0};
  }
}

int os_process_wait(OsProcess* proc, uint32_t timeout_ms, OsProcessExit* out) {
  if (!proc) {
    errno = EINVAL;
    return -1;
  }
  {
    std::lock_guard<std::mutex> g(proc->lock);
    if (proc->reaped) {
      if (out) *out = proc->exit;
      return 1;
    }
  }
  uint64_t deadline = os_monotonic_ns() + (uint64_t)timeout_ms * 1000000ull;
  for (;;) {
    // WNOWAIT: see the end without reaping, so a concurrent kill stays safe.
    siginfo_t info;
    memset(&info, 0, sizeof info);
    int options = WEXITED | WNOWAIT | (timeout_ms == 0xFFFFFFFFu ? 0 : WNOHANG);
    int r = waitid(P_PID, (id_t)proc->pid, &info, options);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != ECHILD) return -1;
    if (r < 0 || info.si_pid == proc->pid) {
      std::lock_guard<std::mutex> g(proc->lock);
      if (!proc->reaped) reap_locked(proc);
      if (out) *out = proc->exit;
      return 1;
    }
    if (os_monotonic_ns() >= deadline) return 0;
    os_sleep_ms(2);
  }
}

int os_process_kill(OsProcess* proc) {
  if (!proc) return 0;
  std::lock_guard<std::mutex> g(proc->lock);
  if (proc->reaped) return 0;
  return kill(proc->pid, SIGKILL) == 0 ? 1 : 0;
}

int os_process_signal_group(OsProcess* proc, OsSignal sig) {
  if (!proc || !proc->group) return 0;
  int number = sig == OS_SIGNAL_INTERRUPT ? SIGINT : sig == OS_SIGNAL_TERMINATE ? SIGTERM : SIGKILL;
  std::lock_guard<std::mutex> g(proc->lock);
  // An unreaped leader keeps its id, so the group is surely still ours.
  if (proc->reaped) return 0;
  return kill(-proc->pid, number) == 0 ? 1 : 0;
}

void os_process_close(OsProcess* proc) { delete proc; }

// Base name of the process's executable, or its comm when the link cannot be
// read (another user's process). False when the process has gone.
static bool process_image(const char* pid_dir, std::string* image) {
  char path[64], target[PATH_MAX];
  snprintf(path, sizeof path, "/proc/%s/exe", pid_dir);
  ssize_t n = readlink(path, target, sizeof target - 1);
  if (n > 0) {
    target[n] = 0;
    std::string full(target);
    // A running program whose file was replaced or removed.
    static const char kDeleted[] = " (deleted)";
    size_t dl = sizeof kDeleted - 1;
    if (full.size() > dl && full.compare(full.size() - dl, dl, kDeleted) == 0)
      full.resize(full.size() - dl);
    size_t slash = full.rfind('/');
    *image = slash == std::string::npos ? full : full.substr(slash + 1);
    return !image->empty();
  }
  snprintf(path, sizeof path, "/proc/%s/comm", pid_dir);
  if (!os_posix_read_proc_file(path, image)) return false;
  while (!image->empty() && (image->back() == '\n' || image->back() == '\r')) image->pop_back();
  return !image->empty();
}

// State letter and parent id from /proc/PID/stat (the fields after the
// command in parentheses). False when the process has gone.
static bool process_state(const char* pid_dir, char* state, long* ppid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%s/stat", pid_dir);
  std::string stat;
  if (!os_posix_read_proc_file(path, &stat)) return false;
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return false;
  return sscanf(stat.c_str() + close_paren + 1, " %c %ld", state, ppid) == 2;
}

// Value of QELVO_SHM_SUFFIX in another process's environment: 1 set (value in
// *value), 0 unset, -1 environment unreadable.
static int process_suffix(const char* pid_dir, std::string* value) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%s/environ", pid_dir);
  std::string env;
  if (!os_posix_read_proc_file(path, &env)) return -1;
  static const char kKey[] = "QELVO_SHM_SUFFIX=";
  size_t start = 0;
  while (start < env.size()) {
    size_t end = env.find('\0', start);
    if (end == std::string::npos) end = env.size();
    if (env.compare(start, sizeof kKey - 1, kKey) == 0) {
      *value = env.substr(start + sizeof kKey - 1, end - start - (sizeof kKey - 1));
      return 1;
    }
    start = end + 1;
  }
  return 0;
}

enum KillScope { SCOPE_ALL, SCOPE_CHILDREN, SCOPE_SUFFIX };

static bool in_scope(KillScope scope, const char* pid_dir, long ppid) {
  if (scope == SCOPE_ALL) return true;
  if (scope == SCOPE_CHILDREN) return ppid == (long)getpid();
  const char* mine = getenv("QELVO_SHM_SUFFIX");
  std::string theirs;
  int r = process_suffix(pid_dir, &theirs);
  if (r < 0) return false;
  if (!mine) return r == 0;
  return r == 1 && theirs == mine;
}

int os_kill_by_image_name(const char* name, os_kill_observer observer, void* user, int* error) {
  if (error) *error = 0;
  DIR* dir = opendir("/proc");
  if (!dir) {
    if (error) *error = errno;
    return -1;
  }
  KillScope scope = SCOPE_ALL;
  const char* scope_text = getenv("QELVO_KILL_SCOPE");
  if (scope_text && strcmp(scope_text, "children") == 0) scope = SCOPE_CHILDREN;
  if (scope_text && strcmp(scope_text, "suffix") == 0) scope = SCOPE_SUFFIX;

  pid_t self = getpid();
  int killed = 0;
  std::string image;
  struct dirent* entry;
  while ((entry = readdir(dir)) != nullptr) {
    const char* d = entry->d_name;
    if (*d < '1' || *d > '9' || strspn(d, "0123456789") != strlen(d)) continue;
    long pid = strtol(d, nullptr, 10);
    if (pid <= 0 || pid > INT_MAX) continue;
    if (!process_image(d, &image)) continue;  // gone meanwhile
    OsKillEvent ev{OS_KILL_SEEN, (uint32_t)pid, image.c_str(), 0};
    if (observer) observer(&ev, user);
    if (!name || strcasecmp(image.c_str(), name) != 0) continue;
    if ((pid_t)pid == self) continue;
    // A zombie has already ended; only its parent's wait is missing.
    char state = 0;
    long ppid = -1;
    if (!process_state(d, &state, &ppid) || state == 'Z') continue;
    if (!in_scope(scope, d, ppid)) continue;
    if (kill((pid_t)pid, SIGKILL) == 0) {
      ev.kind = OS_KILL_DONE;
      ++killed;
    } else {
      ev.kind = errno == EPERM ? OS_KILL_OPEN_FAILED : OS_KILL_FAILED;
      ev.error = errno;
    }
    if (observer) observer(&ev, user);
  }
  closedir(dir);
  return killed;
}

uint32_t os_current_thread_id(void) { return (uint32_t)gettid(); }
