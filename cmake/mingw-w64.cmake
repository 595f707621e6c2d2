# Cross-compiles for 64-bit Windows with Debian's mingw-w64 toolchain (package
# g++-mingw-w64-x86-64-posix). Used by `make windows`:
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TFLUX_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex need it.
set(CMAKE_C_COMPILER ${TFLUX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TFLUX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_ASM_COMPILER ${TFLUX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_RC_COMPILER ${TFLUX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TFLUX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs that run on their own: the C++ runtime and the thread library linked in, not
# DLLs beside the .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine (Debian's wine64 puts its loader outside PATH).
find_program(TFLUX_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TFLUX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TFLUX_WINE})
endif()
