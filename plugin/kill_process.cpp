// Termination of stale backends by image name, with the library's messages.
#include <cstdio>

#include "os/process.h"
#include "plugin/plugin_internal.h"

static void report(const OsKillEvent* ev, void* user) {
  const char* name = (const char*)user;
  switch (ev->kind) {
    case OS_KILL_SEEN:
      printf(">>>%s\n", ev->image);
      break;
    case OS_KILL_OPEN_FAILED:
      printf("打开进程失败，可能是权限不足，错误码: %lu\n", (unsigned long)ev->error);
      break;
    case OS_KILL_DONE:
      printf("成功关闭进程: %s (PID: %lu)\n", name, (unsigned long)ev->pid);
      break;
    case OS_KILL_FAILED:
      printf("终止进程失败，错误码: %lu\n", (unsigned long)ev->error);
      break;
  }
}

int KillProcessByName(const char* name) {
  int error = 0;
  int killed = os_kill_by_image_name(name, report, (void*)name, &error);
  if (killed < 0) {
    printf("创建进程快照失败，错误码: %lu\n", (unsigned long)error);
    return 0;
  }
  if (killed > 0) {
    printf("find api!!!\n");
    return 1;
  }
  printf("not find api!!!\n");
  return 0;
}
