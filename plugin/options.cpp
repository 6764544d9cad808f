// The option template and the parsing of a host's option text.
#include <cstdio>
#include <cstring>

#include "plugin/plugin_internal.h"

static const char kOptionTemplate[] = "<select,speed,HS,FS,LS>";

int32_t g_speedCode = 3;

QELVO_EXPORT int ovix_get_option(char* buffer, int size) {
  // A short buffer is refused instead of overrun.
  if (!buffer || size < (int)sizeof kOptionTemplate) {
    if (buffer && size > 0) buffer[0] = 0;
    return -1;
  }
  memcpy(buffer, kOptionTemplate, sizeof kOptionTemplate);
  return 8;
}

void send_notice(CaptureContext* ctx, int32_t kind, uint32_t a, const char* text) {
  if (!ctx || !ctx->callback) return;
  ctx->callback(ctx->user, a, 0, const_cast<char*>(text), (int32_t)strlen(text) + 1, kind);
}

int parse_option(CaptureContext* ctx, const char* option) {
  static const char kKey[] = "<speed,";
  const char* found = option ? strstr(option, kKey) : nullptr;
  if (!found) {
    send_notice(ctx, -1, 0, "speed option not set");
    return -1;
  }
  const char* code = found + sizeof kKey - 1;
  uint32_t speed = 0;
  if (code[0] == 'H' && code[1] == 'S') speed = 3;
  if (code[0] == 'F' && code[1] == 'S') speed = 2;
  if (code[0] == 'L' && code[1] == 'S') speed = 1;
  if (speed == 0) {
    // The text may end right after the key: never look past its zero.
    char first = code[0];
    char second = first ? code[1] : 0;
    char message[64];
    snprintf(message, sizeof message, "speed not valid, got %c%c", first, second);
    send_notice(ctx, -1, 0, message);
    return -1;
  }
  ctx->speed = speed;
  g_speedCode = (int32_t)speed;
  return 0;
}
