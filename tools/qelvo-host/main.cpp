// qelvo-host: an example host of the capture library, and the driver of its
// end-to-end tests. It loads libqelvo.so (next to itself unless --lib names
// another), opens a capture with a speed option and prints one line per
// callback:
//
//   KIND STAMP LENGTH HEX
//
// KIND is the speed code (1 LS, 2 FS, 3 HS) for a packet, -1 for a refused
// option, -2 for the end of the capture; STAMP is a << 32 | b (the packet's
// nanosecond time stamp; for -2 the tick count in the high half); HEX is the
// LENGTH bytes as upper-case pairs separated by blanks (notices include their
// terminating zero). The capture is closed on Ctrl+C, after --packets
// packets, after --seconds seconds, or when the library reports its end.
//
// Exit status: 0 normally, 1 when the library cannot be loaded or the capture
// cannot be opened, 2 for bad arguments.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "plugin/qelvo.h"

void to_hex(const unsigned char* bytes, int length, char* out);

typedef int (*GetOptionFn)(char*, int);
typedef void* (*OpenFn)(const char*, void*, CaptureCallback);
typedef int (*CloseFn)(void*);

static volatile std::sig_atomic_t g_interrupted = 0;

static void on_sigint(int) { g_interrupted = 1; }

// What the callbacks share with the main thread.
struct HostState {
  FILE* out;                          // where callback lines go
  bool count_only;                    // --count: no line per callback
  unsigned long long packet_limit;    // 0: no limit
  std::atomic<unsigned long long> packets{0};
  std::atomic<unsigned long long> notices{0};
  std::mutex lock;                    // one line at a time; guards done
  std::condition_variable wake;       // signalled when the capture should close
  bool done = false;                  // limit reached or capture ended
};

static void finish(HostState* st) {
  std::lock_guard<std::mutex> g(st->lock);
  st->done = true;
  st->wake.notify_all();
}

static int on_capture(void* user, uint32_t a, uint32_t b, char* bytes, int32_t length, int32_t kind) {
  HostState* st = (HostState*)user;
  if (kind > 0) {
    unsigned long long n = st->packets.fetch_add(1) + 1;
    if (st->packet_limit && n > st->packet_limit) return 0;
    if (st->packet_limit && n == st->packet_limit) finish(st);
  } else {
    st->notices.fetch_add(1);
  }
  if (!st->count_only) {
    int n = length > 0 && bytes ? length : 0;
    std::vector<char> hex((size_t)n * 3 + 1);
    to_hex((const unsigned char*)bytes, n, hex.data());
    unsigned long long stamp = (unsigned long long)a << 32 | b;
    std::lock_guard<std::mutex> g(st->lock);
    fprintf(st->out, "%d %llu %d %s\n", (int)kind, stamp, (int)length, hex.data());
  }
  if (kind == -2 && length > 0 && bytes && strcmp(bytes, "capture stop") == 0) finish(st);
  return 0;
}

static void usage(FILE* f) {
  fprintf(f,
          "usage: qelvo-host [--speed HS|FS|LS | --option TEXT] [--packets N] [--seconds S]\n"
          "                  [--count] [--out FILE] [--lib PATH]\n"
          "  --speed     bus speed of the capture (default HS)\n"
          "  --option    option text handed to the library as it is\n"
          "  --packets   close after N packets\n"
          "  --seconds   close after S seconds\n"
          "  --count     print only the final packet count\n"
          "  --out       write the callback lines to FILE instead of standard output\n"
          "  --lib       the library to load (default: libqelvo.so next to this program)\n");
}

static bool parse_count(const char* text, unsigned long long* out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || *end || text[0] == '-') return false;
  *out = v;
  return true;
}

static std::string default_library() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "libqelvo.so";
  self[n] = 0;
  std::string dir(self);
  return dir.substr(0, dir.rfind('/')) + "/libqelvo.so";
}

int main(int argc, char** argv) {
  std::string option = "<speed,HS>";
  std::string library = default_library();
  std::string out_path;
  unsigned long long packets = 0, seconds = 0;
  bool count_only = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool takes_value = arg == "--speed" || arg == "--option" || arg == "--packets" ||
                       arg == "--seconds" || arg == "--out" || arg == "--lib";
    if (takes_value && !value) {
      fprintf(stderr, "qelvo-host: %s needs a value\n", arg.c_str());
      return 2;
    }
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--speed") {
      std::string s = value;
      if (s != "HS" && s != "FS" && s != "LS") {
        fprintf(stderr, "qelvo-host: speed must be HS, FS or LS, not '%s'\n", value);
        return 2;
      }
      option = "<speed," + s + ">";
    } else if (arg == "--option") {
      option = value;
    } else if (arg == "--packets" || arg == "--seconds") {
      if (!parse_count(value, arg == "--packets" ? &packets : &seconds)) {
        fprintf(stderr, "qelvo-host: %s needs a whole number, not '%s'\n", arg.c_str(), value);
        return 2;
      }
    } else if (arg == "--out") {
      out_path = value;
    } else if (arg == "--lib") {
      library = value;
    } else if (arg == "--count") {
      count_only = true;
      continue;
    } else {
      fprintf(stderr, "qelvo-host: unknown argument '%s'\n", arg.c_str());
      usage(stderr);
      return 2;
    }
    ++i;
  }

  void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "qelvo-host: cannot load %s: %s\n", library.c_str(), dlerror());
    return 1;
  }
  GetOptionFn get_option = (GetOptionFn)dlsym(lib, "ovix_get_option");
  OpenFn open_capture = (OpenFn)dlsym(lib, "ovix_open");
  CloseFn close_capture = (CloseFn)dlsym(lib, "ovix_close");
  if (!get_option || !open_capture || !close_capture) {
    fprintf(stderr, "qelvo-host: %s lacks the capture functions\n", library.c_str());
    dlclose(lib);
    return 1;
  }
  char offered[64];
  if (get_option(offered, sizeof offered) > 0) fprintf(stderr, "qelvo-host: options %s\n", offered);

  HostState st;
  st.out = stdout;
  if (!out_path.empty()) {
    st.out = fopen(out_path.c_str(), "w");
    if (!st.out) {
      fprintf(stderr, "qelvo-host: cannot write %s: %s\n", out_path.c_str(), strerror(errno));
      dlclose(lib);
      return 2;
    }
  }
  st.count_only = count_only;
  st.packet_limit = packets;
  std::signal(SIGINT, on_sigint);

  int status = 0;
  void* capture = open_capture(option.c_str(), &st, on_capture);
  if (!capture) {
    fprintf(stderr, "qelvo-host: the capture could not be opened\n");
    status = 1;
  } else {
    auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> g(st.lock);
    while (!st.done && !g_interrupted) {
      if (seconds && std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds)) break;
      st.wake.wait_for(g, std::chrono::milliseconds(20));
    }
    g.unlock();
    close_capture(capture);
  }
  if (count_only) {
    unsigned long long n = st.packets.load();
    if (packets && n > packets) n = packets;
    fprintf(st.out, "%llu packets\n", n);
  }
  if (st.out != stdout) fclose(st.out);
  fflush(stdout);
  dlclose(lib);
  return status;
}
