# What a Windows build made on Linux needs besides the compiler (see cmake/mingw-w64.cmake):
# the header-only libraries from the build machine, the build-time tools built for the build
# machine, and GoogleTest built from source for the target.

# CLI11 and nlohmann_json are headers only. Their own package files would add /usr/include to
# the target's include path, which puts glibc's headers ahead of mingw's, so only their folders
# are copied aside and offered as targets.
set(TFLUX_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
foreach(_pair "CLI11::CLI11|CLI/CLI.hpp|CLI" "nlohmann_json::nlohmann_json|nlohmann/json.hpp|nlohmann")
  string(REPLACE "|" ";" _pair "${_pair}")
  list(GET _pair 0 _target)
  list(GET _pair 1 _header)
  list(GET _pair 2 _folder)
  string(MAKE_C_IDENTIFIER "${_target}" _var)
  find_path(TFLUX_HOST_${_var}_INCLUDE ${_header} PATHS /usr/include /usr/local/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT TFLUX_HOST_${_var}_INCLUDE)
    message(FATAL_ERROR "${_header} not found: install libcli11-dev and nlohmann-json3-dev")
  endif()
  file(COPY ${TFLUX_HOST_${_var}_INCLUDE}/${_folder} DESTINATION ${TFLUX_CROSS_INCLUDE})
  add_library(${_target} INTERFACE IMPORTED)
  set_target_properties(${_target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${TFLUX_CROSS_INCLUDE})
endforeach()

# The payload is packed at build time by tflux-krn-mkpayload, and the end-to-end test compares
# against the Linux programs: both come from a build for this machine, made alongside.
include(ExternalProject)
set(TFLUX_HOST_BIN ${CMAKE_BINARY_DIR}/host/bin)
set(_host_programs tflux-krn-mkpayload tflux-krn-sample tflux-krn-cli tflux-krn-checksum)
list(TRANSFORM _host_programs PREPEND ${TFLUX_HOST_BIN}/ OUTPUT_VARIABLE _host_files)
ExternalProject_Add(tflux_host_tools
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/host
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFLUX_KRN_GUI=OFF -DTFLUX_KRN_TESTS=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target ${_host_programs}
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${_host_files}
  INSTALL_COMMAND "")
set(TFLUX_MKPAYLOAD ${TFLUX_HOST_BIN}/tflux-krn-mkpayload)
set(TFLUX_MKPAYLOAD_DEPENDS tflux_host_tools ${TFLUX_MKPAYLOAD})

# Debian's googletest package ships the sources; built here with the target's compiler.
if(TFLUX_KRN_TESTS)
  set(TFLUX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS ${TFLUX_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not in ${TFLUX_GTEST_SOURCE_DIR}: install googletest")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TFLUX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
