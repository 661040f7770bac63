# Which top folders each folder may include from, checked over every source
# file: cmake -DROOT=<tree> -P cmake/check_includes.cmake. Prints each include
# that breaks a rule and fails when there is one.
#
# A folder may always include its own files. Beyond that:
set(_allowed_common "")
set(_allowed_sandbox common)
set(_allowed_netcore common)
set(_allowed_agent common netcore)
set(_allowed_hardware common)
# The supervisor gives fans back for a hardware service that died, with that
# service's own firmware code.
set(_allowed_supervisor common hardware)
set(_allowed_tools common)
set(_allowed_bench common sandbox netcore agent hardware supervisor tools)
set(_folders common sandbox netcore agent hardware supervisor tools bench tests)

cmake_minimum_required(VERSION 3.25)

if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P check_includes.cmake")
endif()

set(_violations 0)
foreach(folder common sandbox netcore agent hardware supervisor tools bench)
  file(GLOB_RECURSE _files LIST_DIRECTORIES false "${ROOT}/${folder}/*.h" "${ROOT}/${folder}/*.cpp")
  list(SORT _files)
  foreach(file ${_files})
    file(STRINGS "${file}" _lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_]+/")
    foreach(line ${_lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([a-z_]+)/.*$" "\\1" _target "${line}")
      if(_target STREQUAL folder OR NOT _target IN_LIST _folders)
        continue()
      endif()
      if(NOT _target IN_LIST _allowed_${folder})
        file(RELATIVE_PATH _rel "${ROOT}" "${file}")
        string(REPLACE ";" ", " _may "${_allowed_${folder}}")
        if(NOT _may STREQUAL "")
          set(_may " and ${_may}")
        endif()
        message("${_rel} includes ${_target}/: ${folder}/ may include only its own files${_may}")
        math(EXPR _violations "${_violations} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(_violations GREATER 0)
  message(FATAL_ERROR "include rules: ${_violations} violation(s)")
endif()
message("include rules: kept")
