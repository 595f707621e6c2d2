# The Windows suite, run under Wine by `make test-windows` (included from tests/CMakeLists.txt
# in a cross build): the engine's tests as one program, and the programs end to end against
# the Linux build of the same sources.
if(NOT TFLUX_WINE)
  message(STATUS "Wine not found (Debian package wine64): the Windows tests cannot run")
  return()
endif()

set(TFLUX_WINE_ENV
  WINEPREFIX=${CMAKE_BINARY_DIR}/wine
  WINEDEBUG=-all
  # No Mono or Gecko: nothing here needs them, and asking for them would wait for a click.
  WINEDLLOVERRIDES=mscoree,mshtml=
  DISPLAY=)

# Creating the Wine prefix takes a while: done once, before the tests and not by each, and
# waited for to the end, since Wine goes on setting it up in the background.
get_filename_component(_wine_dir ${TFLUX_WINE} DIRECTORY)
find_program(TFLUX_WINESERVER NAMES wineserver64 wineserver PATHS ${_wine_dir} /usr/lib/wine
             NO_CMAKE_FIND_ROOT_PATH)
add_test(NAME wine_prefix
  COMMAND sh -c "[ -f \"$WINEPREFIX/system.reg\" ] || \"$0\" wineboot --init; \"$1\" -w"
          ${TFLUX_WINE} ${TFLUX_WINESERVER})
set_tests_properties(wine_prefix PROPERTIES
  ENVIRONMENT "${TFLUX_WINE_ENV}" FIXTURES_SETUP wine TIMEOUT 300)

# One run of the whole suite: a Wine start per test would take longer than the tests.
add_test(NAME engine_tests COMMAND engine_tests --gtest_color=no)
set_tests_properties(engine_tests PROPERTIES
  ENVIRONMENT "${TFLUX_WINE_ENV}" FIXTURES_REQUIRED wine TIMEOUT 600)

add_test(NAME form_tests COMMAND form_tests --gtest_color=no)
set_tests_properties(form_tests PROPERTIES
  ENVIRONMENT "${TFLUX_WINE_ENV}" FIXTURES_REQUIRED wine TIMEOUT 300)

add_test(NAME cli_end_to_end
  COMMAND ${CMAKE_COMMAND}
    -DWINE=${TFLUX_WINE}
    -DCLI_EXE=$<TARGET_FILE:tflux-krn-cli>
    -DCHECKSUM_EXE=$<TARGET_FILE:tflux-krn-checksum>
    -DHOST_BIN=${TFLUX_HOST_BIN}
    -DHOST_PAYLOAD=${CMAKE_BINARY_DIR}/host/payload/Quintara.dat
    -DWORK=${CMAKE_CURRENT_BINARY_DIR}/end-to-end
    -DVERSION=${PROJECT_VERSION}
    -P ${PROJECT_SOURCE_DIR}/cmake/wine-end-to-end.cmake)
set_tests_properties(cli_end_to_end PROPERTIES
  ENVIRONMENT "${TFLUX_WINE_ENV}" FIXTURES_REQUIRED wine TIMEOUT 600)

# The window, driven as a user would under Wine on a virtual display; it keeps a picture of it.
find_program(TFLUX_XVFB_RUN xvfb-run NO_CMAKE_FIND_ROOT_PATH)
if(TARGET tflux-krn AND TFLUX_XVFB_RUN)
  add_executable(window_tests ${PROJECT_SOURCE_DIR}/tests/windows/test_window.cpp)
  target_link_libraries(window_tests PRIVATE tflux_romtables tflux_test_support tflux_warnings
                        GTest::gtest gdiplus)
  target_compile_definitions(window_tests PRIVATE UNICODE _UNICODE NOMINMAX WINVER=0x0A00
                             _WIN32_WINNT=0x0A00)
  # The UTF-8 helpers come with the window's own code.
  target_sources(window_tests PRIVATE ${PROJECT_SOURCE_DIR}/app/Form1_win32_text.cpp)
  add_dependencies(window_tests tflux-krn tflux-krn-cli)
  add_test(NAME window_under_wine
    COMMAND ${TFLUX_XVFB_RUN} -a -s "-screen 0 1024x768x24" ${TFLUX_WINE}
            $<TARGET_FILE:window_tests> $<TARGET_FILE:tflux-krn> $<TARGET_FILE:tflux-krn-cli>
            ${CMAKE_BINARY_DIR}/window-windows.png)
  list(FILTER TFLUX_WINE_ENV EXCLUDE REGEX "^DISPLAY=")
  set_tests_properties(window_under_wine PROPERTIES
    ENVIRONMENT "${TFLUX_WINE_ENV}" FIXTURES_REQUIRED wine TIMEOUT 300 RUN_SERIAL ON)
  # The same at 150% and 200%: the prefix's screen resolution is set for the run, then put back.
  foreach(dpi 144 192)
    add_test(NAME window_under_wine_${dpi}dpi
      COMMAND sh -c [=[
        wine=$1; server=$2; shift 2
        key='HKCU\Control Panel\Desktop'
        "$wine" reg add "$key" /v LogPixels /t REG_DWORD /d "$TFLUX_SCREEN_DPI" /f >/dev/null && "$server" -w
        "$@"; status=$?
        "$wine" reg delete "$key" /v LogPixels /f >/dev/null; "$server" -w
        exit $status]=] sh ${TFLUX_WINE} ${TFLUX_WINESERVER}
        ${TFLUX_XVFB_RUN} -a -s "-screen 0 1600x1000x24" ${TFLUX_WINE}
        $<TARGET_FILE:window_tests> $<TARGET_FILE:tflux-krn> $<TARGET_FILE:tflux-krn-cli>
        ${CMAKE_BINARY_DIR}/window-windows-${dpi}dpi.png)
    set_tests_properties(window_under_wine_${dpi}dpi PROPERTIES
      ENVIRONMENT "${TFLUX_WINE_ENV};TFLUX_SCREEN_DPI=${dpi}" FIXTURES_REQUIRED wine TIMEOUT 300 RUN_SERIAL ON)
  endforeach()
elseif(TARGET tflux-krn)
  message(STATUS "xvfb-run not found (Debian package xvfb): the window's test under Wine cannot run")
endif()
