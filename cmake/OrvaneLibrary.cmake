# orvane_library(NAME DIRS dir... [LIBS lib...])
# A static library of every .cpp/.c file directly in the given folders
# (relative to the calling CMakeLists.txt). Folders are globbed so that work on
# different files of one folder never conflicts in the build description.
function(orvane_library name)
  cmake_parse_arguments(L "" "" "DIRS;LIBS;EXCLUDE" ${ARGN})
  set(sources)
  foreach(dir ${L_DIRS})
    file(GLOB found CONFIGURE_DEPENDS
         ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.c)
    list(APPEND sources ${found})
  endforeach()
  foreach(ex ${L_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "${ex}")
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${L_LIBS})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${L_LIBS})
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
  endif()
endfunction()

# Adds every direct sub-folder of the calling folder that has a CMakeLists.txt
# (one folder per program or test suite).
function(orvane_add_child_folders)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# orvane_qt_library(NAME DIRS dir... [LIBS lib...] [EXCLUDE regex...])
# As orvane_library, for the Qt classes of the user interface: moc, uic and
# rcc run on the folder's files (forms are looked up in the folders given).
function(orvane_qt_library name)
  cmake_parse_arguments(L "" "" "DIRS;LIBS;EXCLUDE" ${ARGN})
  set(sources)
  foreach(dir ${L_DIRS})
    file(GLOB found CONFIGURE_DEPENDS
         ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.h
         ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.ui ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.qrc)
    list(APPEND sources ${found})
    list(APPEND form_dirs ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
  endforeach()
  foreach(ex ${L_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "${ex}")
  endforeach()
  add_library(${name} STATIC ${sources})
  set_target_properties(${name} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON
                        AUTOUIC_SEARCH_PATHS "${form_dirs}")
  target_link_libraries(${name} PUBLIC ${L_LIBS})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
endfunction()
