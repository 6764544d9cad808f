# Lua: 5.5 where it is installed, else 5.4 (Debian 12 packages 5.4 only).
find_path(LUA_INCLUDE_DIR lua.h PATH_SUFFIXES lua5.5 lua5.4 NO_DEFAULT_PATH
          PATHS /usr/include /usr/local/include)
find_library(LUA_LIBRARY NAMES lua5.5 lua5.4 lua-5.5 lua-5.4)
if(LUA_INCLUDE_DIR AND LUA_LIBRARY)
  add_library(orvane_lua INTERFACE)
  target_include_directories(orvane_lua INTERFACE ${LUA_INCLUDE_DIR})
  target_link_libraries(orvane_lua INTERFACE ${LUA_LIBRARY} m dl)
  message(STATUS "Lua: ${LUA_LIBRARY} (${LUA_INCLUDE_DIR})")
else()
  message(FATAL_ERROR "Lua 5.5 or 5.4 development files not found (apt-get install liblua5.4-dev)")
endif()

find_path(UTHASH_INCLUDE_DIR uthash.h)
if(NOT UTHASH_INCLUDE_DIR)
  message(FATAL_ERROR "uthash.h not found (apt-get install uthash-dev)")
endif()

# Qt 5 for the analyzer's user interface only: the engine libraries,
# orvane-dump and libqelvo.so never link it.
find_package(Qt5 5.12 REQUIRED COMPONENTS Core Gui Widgets)
if(ORVANE_TESTS)
  find_package(Qt5 5.12 REQUIRED COMPONENTS Test)
endif()

if(ORVANE_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(ORVANE_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found: benchmarks are not built")
    set(ORVANE_BENCH OFF)
  endif()
endif()
