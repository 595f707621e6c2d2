# Windows programs carry an icon, a manifest and version information as resources.
enable_language(RC)

# Adds them to `target`, a program named `name` described by `description`; `extra` is more
# resource script (the window's artwork).
function(tflux_windows_resources target name description extra)
  set(TFLUX_RC_NAME ${name})
  set(TFLUX_RC_DESCRIPTION ${description})
  set(TFLUX_RC_ICON ${PROJECT_SOURCE_DIR}/resources/art/icon.ico)
  set(TFLUX_RC_VERSION_DOTS ${PROJECT_VERSION}.0)
  string(REPLACE "." "," TFLUX_RC_VERSION_COMMAS ${PROJECT_VERSION}.0)
  set(TFLUX_RC_EXTRA ${extra})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name}-resources)
  set(TFLUX_RC_MANIFEST ${dir}/${name}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/resources/windows/program.manifest ${TFLUX_RC_MANIFEST}
                 @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/resources/windows/program.rc.in ${dir}/${name}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${name}.rc)
  # The resource compiler does not say which files it read.
  set_source_files_properties(${dir}/${name}.rc PROPERTIES
                              OBJECT_DEPENDS "${TFLUX_RC_MANIFEST};${TFLUX_RC_ICON}")
endfunction()
