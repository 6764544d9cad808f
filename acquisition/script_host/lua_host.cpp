// The Lua script host: loads "script/main.lua" into one process-wide state and
// hands selected payloads to its global process_data. Messages carry HTML
// colour mark-up for the rich-text log of the GUI.
#include "acquisition/script_host/lua_host.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "os/log.h"

static lua_State* g_state = nullptr;    // the one state, null when none
static int g_processRef = LUA_NOREF;    // registry reference to process_data

void lua_host_open(void) {
  if (g_state) return;
  g_state = luaL_newstate();
  if (!g_state) {
    orvane_log("<font color='red'>Lua 虚拟机创建失败!</font>");
    return;
  }
  luaL_openlibs(g_state);
  if (luaL_loadfile(g_state, "script/main.lua") != LUA_OK ||
      lua_pcall(g_state, 0, LUA_MULTRET, 0) != LUA_OK) {
    const char* msg = lua_tostring(g_state, -1);
    orvane_log("<font color='red'>Lua 脚本加载失败: %s</font>", msg ? msg : "(no message)");
    lua_pop(g_state, 1);
    return;
  }
  // The chunk's own results are of no use; drop them so the stack stays flat.
  lua_settop(g_state, 0);
  orvane_log("Lua 脚本加载成功，开始采集数据...");
  lua_getglobal(g_state, "process_data");
  if (lua_isfunction(g_state, -1)) {
    g_processRef = luaL_ref(g_state, LUA_REGISTRYINDEX);
  } else {
    orvane_log("<font color='red'>Error: Lua function 'process_data' not found!</font>");
    lua_pop(g_state, 1);
  }
}

void lua_host_process(const uint8_t* bytes, int32_t length) {
  if (!g_state || g_processRef == LUA_NOREF || g_processRef == LUA_REFNIL || !bytes ||
      length <= 0)
    return;
  lua_rawgeti(g_state, LUA_REGISTRYINDEX, g_processRef);
  lua_pushlstring(g_state, (const char*)bytes, (size_t)length);
  if (lua_pcall(g_state, 1, 0, 0) != LUA_OK) {
    const char* msg = lua_tostring(g_state, -1);
    orvane_log("<font color='red'>Lua 执行报错: %s</font>", msg ? msg : "(no message)");
    lua_pop(g_state, 1);
  }
}

void lua_host_close(void) {
  if (!g_state) return;
  lua_getglobal(g_state, "cleanup");
  if (lua_isfunction(g_state, -1))
    lua_pcall(g_state, 0, 0, 0);  // a failing cleanup is not reported
  lua_settop(g_state, 0);
  lua_close(g_state);
  g_state = nullptr;
  g_processRef = LUA_NOREF;
  orvane_log("Lua 虚拟机已安全关闭");
}

int lua_host_has_state(void) { return g_state != nullptr; }
int lua_host_has_function(void) { return g_processRef != LUA_NOREF && g_processRef != LUA_REFNIL; }
