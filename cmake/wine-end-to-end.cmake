# The Windows programs under Wine against the Linux ones, on generated images: the patched
# output must be the same byte for byte, and the programs must say the same things.
# Run by ctest in a cross build (cmake/windows-tests.cmake).
cmake_minimum_required(VERSION 3.25)

foreach(var WINE CLI_EXE CHECKSUM_EXE HOST_BIN HOST_PAYLOAD WORK VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

set(failures 0)
set(checks 0)
# check(<if() condition as text> <what failed>)
function(check condition what)
  cmake_language(EVAL CODE "if(${condition})\nset(ok TRUE)\nelse()\nset(ok FALSE)\nendif()")
  math(EXPR n "${checks} + 1")
  set(checks ${n} PARENT_SCOPE)
  if(NOT ok)
    math(EXPR n "${failures} + 1")
    set(failures ${n} PARENT_SCOPE)
    message(SEND_ERROR "FAILED: ${what}")
  endif()
endfunction()

# A Windows path for Wine's Z: drive, separators and all, so the programs see what a Windows
# user's shell would hand them.
function(windows_path out path)
  string(REPLACE "/" "\\" path "${path}")
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()

# run(<prefix> program args...): sets <prefix>_rc, <prefix>_out, <prefix>_err.
function(run prefix)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 120)
  string(REPLACE "\r\n" "\n" out "${out}")
  string(REPLACE "\r\n" "\n" err "${err}")
  set(${prefix}_rc "${rc}" PARENT_SCOPE)
  set(${prefix}_out "${out}" PARENT_SCOPE)
  set(${prefix}_err "${err}" PARENT_SCOPE)
endfunction()

function(same_bytes result a b)
  if(EXISTS "${a}" AND EXISTS "${b}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${a}" "${b}" RESULT_VARIABLE rc)
    if(rc EQUAL 0)
      set(${result} TRUE PARENT_SCOPE)
      return()
    endif()
  endif()
  set(${result} FALSE PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/linux" "${WORK}/windows")

run(v ${WINE} ${CLI_EXE} --version)
check("v_rc EQUAL 0 AND v_out STREQUAL \"tflux-krn-cli ${VERSION}\n\"" "--version: ${v_out}")
# The Windows build draws no maps, so it offers no map command.
run(h ${WINE} ${CLI_EXE} payload --help)
check("h_rc EQUAL 0 AND h_out MATCHES \"from-image\" AND NOT h_out MATCHES \" map \""
      "payload --help offers only what the build can do: ${h_out}")
run(h ${WINE} ${CLI_EXE} payload map out)
check("h_rc EQUAL 2" "payload map is not a command of the Windows build: ${h_rc} ${h_err}")
run(v ${WINE} ${CHECKSUM_EXE} --version)
check("v_rc EQUAL 0 AND v_out STREQUAL \"tflux-krn-checksum ${VERSION}\n\"" "checksum --version: ${v_out}")

# Spaces, and characters outside ASCII: some that the ANSI code page holds (é, and € where it
# differs from Latin-1), and some that no ANSI code page of a western system holds.
foreach(case "E;z64;café €" "J;v64;トラック 日本" "P;z64;café € Ωμέγα 速度")
  list(GET case 0 region)
  list(GET case 1 order)
  list(GET case 2 words)
  set(stem "${words} ${region}")
  set(name "${stem}.${order}")
  set(input "${WORK}/${name}")
  run(s ${HOST_BIN}/tflux-krn-sample "${input}" ${region} ${order})
  check("s_rc EQUAL 0" "generating ${name}: ${s_err}")
  windows_path(win_input "${input}")

  # identify says the same on both
  run(li ${HOST_BIN}/tflux-krn-cli identify "${input}")
  run(wi ${WINE} ${CLI_EXE} identify "${win_input}")
  check("wi_rc EQUAL 0 AND wi_out STREQUAL li_out" "identify ${name}: '${wi_out}' vs '${li_out}'")

  # the patch
  set(linux_out "${WORK}/linux/${region}_krn.${order}")
  set(windows_out "${WORK}/windows/${stem}_krn.${order}")
  windows_path(win_out "${windows_out}")
  run(lp ${HOST_BIN}/tflux-krn-cli patch "${input}" "${linux_out}")
  check("lp_rc EQUAL 0" "Linux patch of ${name}: ${lp_out}${lp_err}")
  run(wp ${WINE} ${CLI_EXE} patch "${win_input}" "${win_out}")
  check("wp_rc EQUAL 0 AND wp_out STREQUAL lp_out" "Windows patch of ${name}: ${wp_rc} ${wp_out}${wp_err}")
  same_bytes(same "${linux_out}" "${windows_out}")
  check(same "${name}: the Windows output differs from the Linux output")

  # patching again replaces the existing output, and the checksum tool accepts it
  run(wp ${WINE} ${CLI_EXE} patch "${win_input}" "${win_out}")
  check("wp_rc EQUAL 0" "Windows patch over an existing ${windows_out}: ${wp_out}${wp_err}")
  same_bytes(same "${linux_out}" "${windows_out}")
  check(same "${name}: replacing an existing output changed the result")
  run(wc ${WINE} ${CHECKSUM_EXE} -v "${win_out}")
  check("wc_rc EQUAL 0" "checksum -v on the Windows output: ${wc_out}${wc_err}")

  # the output derived from the input's name, beside it
  run(wd ${WINE} ${CLI_EXE} patch "${win_input}")
  check("wd_rc EQUAL 0" "Windows patch with a derived output: ${wd_out}${wd_err}")
  same_bytes(same "${linux_out}" "${WORK}/${stem}_krn.${order}")
  check(same "${name}: the derived output is not ${WORK}/${stem}_krn.${order}")
endforeach()

# The Linux build's payload container, given to both: the same result again.
windows_path(win_payload "${HOST_PAYLOAD}")
windows_path(win_input "${WORK}/café € E.z64")
windows_path(win_out "${WORK}/windows/given.z64")
run(lp ${HOST_BIN}/tflux-krn-cli patch --payload "${HOST_PAYLOAD}" "${WORK}/café € E.z64" "${WORK}/linux/given.z64")
run(wp ${WINE} ${CLI_EXE} patch --payload "${win_payload}" "${win_input}" "${win_out}")
check("lp_rc EQUAL 0 AND wp_rc EQUAL 0" "patch with --payload: ${wp_out}${wp_err}")
same_bytes(same "${WORK}/linux/given.z64" "${WORK}/windows/given.z64")
check(same "--payload: the Windows output differs from the Linux output")

# The payload unpacks to the same track records (entry 0, the updater, is each system's own).
file(MAKE_DIRECTORY "${WORK}/linux/unpacked" "${WORK}/windows/unpacked")
windows_path(win_dir "${WORK}/windows/unpacked")
run(lu ${HOST_BIN}/tflux-krn-cli payload unpack "${WORK}/linux/unpacked")
run(wu ${WINE} ${CLI_EXE} payload unpack "${win_dir}")
check("lu_rc EQUAL 0 AND wu_rc EQUAL 0" "payload unpack: ${wu_out}${wu_err}")
foreach(i RANGE 1 24)
  same_bytes(same "${WORK}/linux/unpacked/${i}.dat" "${WORK}/windows/unpacked/${i}.dat")
  check(same "payload unpack: ${i}.dat differs")
endforeach()

# Refusals: the same message and exit code, and nothing written.
windows_path(win_missing "${WORK}/missing.z64")
windows_path(win_refused "${WORK}/windows/refused.z64")
run(lr ${HOST_BIN}/tflux-krn-cli patch "${WORK}/missing.z64" "${WORK}/linux/refused.z64")
run(wr ${WINE} ${CLI_EXE} patch "${win_missing}" "${win_refused}")
# The cause under the message names the file in each system's spelling and words.
string(REGEX MATCH "^[^\n]*" wr_message "${wr_err}")
string(REGEX MATCH "^[^\n]*" lr_message "${lr_err}")
check("wr_rc EQUAL 1 AND wr_rc EQUAL lr_rc AND wr_message STREQUAL lr_message" "refusal: ${wr_rc} '${wr_err}' vs ${lr_rc} '${lr_err}'")
string(FIND "${wr_err}" "missing.z64" wr_names_file)
check("NOT wr_names_file EQUAL -1" "the refusal's cause does not name the file: ${wr_err}")
check("NOT EXISTS \"${WORK}/windows/refused.z64\"" "a refused patch wrote its output")
windows_path(win_nofolder "${WORK}/no such folder/out.z64")
run(wr ${WINE} ${CLI_EXE} patch "${win_input}" "${win_nofolder}")
check("wr_rc EQUAL 1 AND wr_err MATCHES \"Invalid output file\"" "output in a missing folder: ${wr_rc} ${wr_err}")

# Names outside the ANSI code page reach the programs and come back in their messages as the
# same UTF-8, and the pack tools read and write folders so named.
windows_path(win_missing "${WORK}/ない ファイル.z64")
run(wr ${WINE} ${CLI_EXE} patch "${win_missing}" "${win_refused}")
string(FIND "${wr_err}" "ない ファイル.z64" wr_names_file)
check("wr_rc EQUAL 1 AND NOT wr_names_file EQUAL -1" "a missing Japanese name: ${wr_rc} ${wr_err}")
windows_path(win_image "${WORK}/トラック 日本 J.v64")
windows_path(win_source "${WORK}/windows/パック 源")
windows_path(win_built "${WORK}/windows/パック.dat")
run(lf ${HOST_BIN}/tflux-krn-cli payload from-image "${WORK}/トラック 日本 J.v64" "${WORK}/linux/source")
run(lb ${HOST_BIN}/tflux-krn-cli payload build "${WORK}/linux/source" "${WORK}/linux/built.dat")
run(wf ${WINE} ${CLI_EXE} payload from-image "${win_image}" "${win_source}")
check("lf_rc EQUAL 0 AND wf_rc EQUAL 0" "from-image into a Japanese folder: ${wf_rc} ${wf_out}${wf_err}")
run(wb ${WINE} ${CLI_EXE} payload build "${win_source}" "${win_built}")
check("lb_rc EQUAL 0 AND wb_rc EQUAL 0" "build from a Japanese folder: ${wb_rc} ${wb_out}${wb_err}")
string(FIND "${wb_out}" "パック.dat" wb_names_file)
check("NOT wb_names_file EQUAL -1" "build names its Japanese output: ${wb_out}")
# The containers differ in entry 0, each system's own checksum updater; the tracks may not.
run(ll ${HOST_BIN}/tflux-krn-cli payload list --json --payload "${WORK}/linux/built.dat")
run(wl ${HOST_BIN}/tflux-krn-cli payload list --json --payload "${WORK}/windows/パック.dat")
check("ll_rc EQUAL 0 AND wl_rc EQUAL 0 AND wl_out STREQUAL ll_out"
      "payload build from a Japanese folder: its tracks differ from the Linux build's")
windows_path(win_repatched "${WORK}/windows/再び.v64")
run(wp ${WINE} ${CLI_EXE} patch --payload "${win_source}" "${win_image}" "${win_repatched}")
check("wp_rc EQUAL 0" "patch with a pack source in a Japanese folder: ${wp_rc} ${wp_out}${wp_err}")
run(wc ${WINE} ${CHECKSUM_EXE} -v "${win_repatched}")
string(FIND "${wc_out}" "再び.v64" wc_names_file)
check("wc_rc EQUAL 0 AND NOT wc_names_file EQUAL -1" "checksum -v of a Japanese name: ${wc_rc} ${wc_out}${wc_err}")

# ---- Windows names: devices, read-only outputs, \\?\ paths, paths that start with a slash ----
windows_path(win_input "${WORK}/café € E.z64")
windows_path(win_unpacked "${WORK}/windows/unpacked")
windows_path(win_source "${WORK}/windows/source")
run(wf ${WINE} ${CLI_EXE} payload from-image "${win_input}" "${win_source}")
check("wf_rc EQUAL 0" "payload from-image: ${wf_out}${wf_err}")
# An output named as a device is refused by every command that writes, as any output is.
foreach(case "patch;${win_input};CON.z64" "patch;${win_input};con .z64" "patch;${win_input};NUL"
             "patch;${win_input};Z:\\tmp\\aux.v64" "payload;unpack;COM1"
             "payload;pack;${win_unpacked};lpt1.dat" "payload;from-image;${win_input};nul"
             "payload;build;${win_source};Prn.dat")
  run(wn ${WINE} ${CLI_EXE} ${case})
  check("wn_rc EQUAL 1 AND wn_err MATCHES \"(^|\n)Invalid output file\n[^\n]*names the device\""
        "${case}: an output named as a device: ${wn_rc} ${wn_err}")
endforeach()
# An input so named is refused without waiting on the device.
foreach(case "identify;CON" "identify;nul.z64" "patch;COM1;${win_out}" "patch;--payload;AUX;${win_input};${win_out}")
  run(wn ${WINE} ${CLI_EXE} ${case})
  set(wn_said "${wn_out}${wn_err}")
  check("wn_rc EQUAL 1 AND wn_said MATCHES \"the device\"" "${case}: an input named as a device: ${wn_rc} ${wn_said}")
endforeach()

# A read-only output is replaced, and what replaces it is read-only too, a patched image and a
# container alike.
function(attributes out path)
  execute_process(COMMAND ${WINE} cmd /c attrib "${path}" OUTPUT_VARIABLE listed TIMEOUT 60)
  string(REGEX MATCH "^[A-Z ]*" listed "${listed}")
  string(REPLACE " " "" listed "${listed}")
  set(${out} "${listed}" PARENT_SCOPE)
endfunction()
windows_path(win_ro "${WORK}/windows/read-only.z64")
windows_path(win_ro_dat "${WORK}/windows/read-only.dat")
foreach(case "patch;${win_input};${win_ro}" "payload;pack;${win_unpacked};${win_ro_dat}")
  list(GET case -1 target)
  run(wp ${WINE} ${CLI_EXE} ${case})
  execute_process(COMMAND ${WINE} cmd /c attrib +r "${target}" TIMEOUT 60)
  attributes(before "${target}")
  run(wp ${WINE} ${CLI_EXE} ${case})
  attributes(after "${target}")
  check("wp_rc EQUAL 0 AND before MATCHES R AND after STREQUAL before"
        "${case} over a read-only output: ${wp_rc} ${wp_err}, attributes '${before}' then '${after}'")
endforeach()
same_bytes(same "${WORK}/linux/E_krn.z64" "${WORK}/windows/read-only.z64")
check(same "the image patched over a read-only output differs from the Linux output")

# \\?\ paths, and paths that start with a slash, which Wine maps as Windows does its own.
set(verbatim_in "\\\\?\\${win_input}")
windows_path(win_verbatim_out "${WORK}/windows/verbatim.z64")
set(verbatim_out "\\\\?\\${win_verbatim_out}")
run(li ${HOST_BIN}/tflux-krn-cli identify "${WORK}/café € E.z64")
foreach(input "${verbatim_in}" "${WORK}/café € E.z64")
  run(wi ${WINE} ${CLI_EXE} identify "${input}")
  check("wi_rc EQUAL 0 AND wi_out STREQUAL li_out" "identify ${input}: ${wi_rc} ${wi_out}${wi_err}")
endforeach()
foreach(case "${verbatim_in};${verbatim_out};verbatim" "${WORK}/café € E.z64;${WORK}/windows/slash.z64;slash")
  list(GET case 0 input)
  list(GET case 1 output)
  list(GET case 2 name)
  run(wp ${WINE} ${CLI_EXE} patch "${input}" "${output}")
  same_bytes(same "${WORK}/linux/E_krn.z64" "${WORK}/windows/${name}.z64")
  check("wp_rc EQUAL 0 AND same" "patch ${input} ${output}: ${wp_rc} ${wp_out}${wp_err}")
endforeach()
run(wc ${WINE} ${CHECKSUM_EXE} --verify "${WORK}/windows/slash.z64")
check("wc_rc EQUAL 0" "checksum --verify of a path that starts with a slash: ${wc_out}${wc_err}")
# ---- end of Windows names ----

# Nothing half-made is left beside the outputs.
file(GLOB leftovers "${WORK}/windows/.tflux-krn-*" "${WORK}/.tflux-krn-*")
check("\"${leftovers}\" STREQUAL \"\"" "temporary files left: ${leftovers}")

math(EXPR passed "${checks} - ${failures}")
message("wine end to end: ${passed} passed, ${failures} failed")
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of ${checks} checks failed")
endif()
