# Fails when a source file outside tests/ includes a header of its own layer's sibling or of a
# layer above it, or a third-party header its library must not depend on. Run as
#   cmake -DSOURCE_DIR=<tree> -P tests/check_layers.cmake
# Each line it prints names the file and the include.
cmake_minimum_required(VERSION 3.25)

# Bottom up. Folders on one line are siblings: neither may use the other. The patch procedure is
# a layer of its own inside app/, below the window beside it; so is what the window decides
# (app/form_logic.*), which no toolkit reaches, so that another window can present it.
set(_layers
  "rom"
  "payload"
  "romtables course"
  "pack"
  "map"
  "patch"
  "dialog form"
  "app cli tools bench")

# Headers that only some folders may include: the engine is built for Windows without them, and
# the toolkit stays in the window.
set(_foreign_Qt "^Q[A-Za-z]+$|^Qt[A-Za-z]+/")
set(_foreign_Qt_in "app dialog")
set(_foreign_Cairo "^cairo")
set(_foreign_Cairo_in "map")
set(_foreign_PNG "^png\\.h$")
set(_foreign_PNG_in "map")
set(_foreign_JSON "^nlohmann/")
set(_foreign_JSON_in "pack cli bench")

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<tree> -P check_layers.cmake")
endif()

# The unit a file belongs to: its top folder, "patch" for app/patch.*, "form" for
# app/form_logic.*.
function(unit_of path out)
  if(path MATCHES "^app/patch\\.")
    set(${out} patch PARENT_SCOPE)
  elseif(path MATCHES "^app/form_logic\\.")
    set(${out} form PARENT_SCOPE)
  elseif(path MATCHES "^([^/]+)/")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

function(level_of unit out)
  set(level 0)
  foreach(line IN LISTS _layers)
    string(REPLACE " " ";" members "${line}")
    if(unit IN_LIST members)
      set(${out} ${level} PARENT_SCOPE)
      return()
    endif()
    math(EXPR level "${level} + 1")
  endforeach()
  set(${out} -1 PARENT_SCOPE)
endfunction()

set(_folders "")
foreach(line IN LISTS _layers)
  string(REPLACE " " ";" members "${line}")
  list(APPEND _folders ${members})
endforeach()
list(REMOVE_ITEM _folders patch form)

set(_problems 0)
set(_checked 0)
foreach(folder IN LISTS _folders)
  file(GLOB_RECURSE _files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.h
       ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(file IN LISTS _files)
    math(EXPR _checked "${_checked} + 1")
    unit_of(${file} from)
    level_of(${from} from_level)
    file(STRINGS ${SOURCE_DIR}/${file} _lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS _lines)
      if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
        set(header ${CMAKE_MATCH_1})
        unit_of(${header} to)
        if(to STREQUAL from)
          continue()
        endif()
        level_of("${to}" to_level)
        if(to_level EQUAL -1)
          message("${file}: includes \"${header}\", which is in no layer")
          math(EXPR _problems "${_problems} + 1")
        elseif(to_level EQUAL from_level)
          message("${file}: includes \"${header}\" of ${to}, a sibling of ${from}")
          math(EXPR _problems "${_problems} + 1")
        elseif(to_level GREATER from_level)
          message("${file}: includes \"${header}\" of ${to}, a layer above ${from}")
          math(EXPR _problems "${_problems} + 1")
        endif()
      elseif(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
        set(header ${CMAKE_MATCH_1})
        foreach(kind Qt Cairo PNG JSON)
          string(REPLACE " " ";" allowed "${_foreign_${kind}_in}")
          if(header MATCHES "${_foreign_${kind}}" AND NOT from IN_LIST allowed)
            message("${file}: includes <${header}>; ${kind} belongs to ${_foreign_${kind}_in}")
            math(EXPR _problems "${_problems} + 1")
          endif()
        endforeach()
      endif()
    endforeach()
  endforeach()
endforeach()

# Sources in a folder the table does not know would go unchecked.
file(GLOB _top RELATIVE ${SOURCE_DIR} LIST_DIRECTORIES true ${SOURCE_DIR}/*)
foreach(dir IN LISTS _top)
  if(IS_DIRECTORY ${SOURCE_DIR}/${dir} AND NOT dir IN_LIST _folders AND NOT dir STREQUAL "tests"
     AND NOT dir MATCHES "^(build|\\.)")
    file(GLOB_RECURSE _stray RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${dir}/*.h
         ${SOURCE_DIR}/${dir}/*.cpp)
    foreach(file IN LISTS _stray)
      message("${file}: is in no layer")
      math(EXPR _problems "${_problems} + 1")
    endforeach()
  endif()
endforeach()

if(_checked EQUAL 0)
  message(FATAL_ERROR "no sources found under ${SOURCE_DIR}")
endif()
if(_problems GREATER 0)
  message(FATAL_ERROR "${_problems} includes cross the layers (${_checked} files checked)")
endif()
message("layers: ${_checked} files checked, every include stays within its layer or below")
