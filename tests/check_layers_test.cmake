# The layer check against small trees made for it: each row is a file, its text, and a piece of
# what the check must say ("-" for a tree it must pass). Run as
#   cmake -DCHECK=<check_layers.cmake> -DWORK=<scratch folder> -P check_layers_test.cmake
cmake_minimum_required(VERSION 3.25)

set(_cases
  "rom/a.h|#include \"pack/b.h\"|rom/a.h: includes \"pack/b.h\" of pack, a layer above rom"
  "course/a.cpp|#include \"romtables/b.h\"|of romtables, a sibling of course"
  "cli/a.cpp|#include \"app/Form1.h\"|of app, a sibling of cli"
  "app/patch.cpp|#include \"app/Form1.h\"|of app, a layer above patch"
  "app/Form1.cpp|#include \"app/patch.h\"|-"
  "map/a.cpp|#include \"course/b.h\"|-"
  "payload/a.cpp|#include <nlohmann/json.hpp>|JSON belongs to pack cli bench"
  "app/patch.cpp|#include <QString>|Qt belongs to app dialog"
  "app/form_logic.cpp|#include <QColor>|Qt belongs to app dialog"
  "app/form_logic.h|#include \"dialog/modCommonDialog.h\"|of dialog, a sibling of form"
  "app/form_logic.cpp|#include \"app/Form1.h\"|of app, a layer above form"
  "app/Form1.cpp|#include \"app/form_logic.h\"|-"
  "pack/a.cpp|#  include <cairo.h>|Cairo belongs to map"
  "common/a.h|int x = 0|common/a.h: is in no layer"
  "tools/a.cpp|#include \"other/b.h\"|which is in no layer")

set(_failures 0)
set(_row 0)
foreach(case IN LISTS _cases)
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 file)
  list(GET case 1 text)
  list(GET case 2 expected)
  math(EXPR _row "${_row} + 1")
  set(tree ${WORK}/case${_row})
  file(REMOVE_RECURSE ${tree})
  file(WRITE ${tree}/rom/file.h "#pragma once\n")
  file(WRITE ${tree}/${file} "${text}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -P ${CHECK}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expected STREQUAL "-")
    if(NOT result EQUAL 0)
      message("row ${_row} (${file}: ${text}): refused a sound include:\n${out}")
      math(EXPR _failures "${_failures} + 1")
    endif()
  else()
    string(FIND "${out}" "${expected}" at)
    if(result EQUAL 0 OR at EQUAL -1)
      message("row ${_row} (${file}: ${text}): expected \"${expected}\", got:\n${out}")
      math(EXPR _failures "${_failures} + 1")
    endif()
  endif()
endforeach()
list(LENGTH _cases _count)
math(EXPR _passed "${_count} - ${_failures}")
if(_failures GREATER 0)
  message(FATAL_ERROR "layer check: ${_passed} passed, ${_failures} failed")
endif()
message("layer check: ${_passed} passed, 0 failed")
