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

# Inside netcore/ the subfolders are layers, bottom to top; the files at
# netcore/'s top (netcore_base) sit above them all. A layer may include its
# own files and the layers below it, never one above: the event layer calls
# back through an interface rather than knowing sockets, and so on.
set(_netcore_layers alloter log os buffer event socket thread)

cmake_minimum_required(VERSION 3.25)

if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P check_includes.cmake")
endif()

set(_violations 0)

# The layer of a netcore path ("event/epoll/x.h" -> event); top-level files
# are the top layer, one past the subfolders.
function(_netcore_layer path out)
  list(LENGTH _netcore_layers _top)
  if(path MATCHES "^([a-z_]+)/")
    list(FIND _netcore_layers "${CMAKE_MATCH_1}" _index)
    set(${out} ${_index} PARENT_SCOPE)  # -1: a folder missing from the order
  else()
    set(${out} ${_top} PARENT_SCOPE)
  endif()
endfunction()

macro(_check_netcore_layer file line)
  file(RELATIVE_PATH _from "${ROOT}/netcore" "${file}")
  string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"netcore/([^\"]*)\".*$" "\\1" _to "${line}")
  _netcore_layer("${_from}" _from_layer)
  _netcore_layer("${_to}" _to_layer)
  string(REPLACE ";" ", " _order "${_netcore_layers}")
  set(_bad "")
  if(_from_layer EQUAL -1 OR _to_layer EQUAL -1)
    set(_bad "every netcore/ subfolder needs a place in the layer order (${_order})")
  elseif(_to_layer GREATER _from_layer)
    string(REGEX REPLACE "/.*$" "" _from_dir "${_from}")
    set(_bad "netcore/${_from_dir}/ may include only its own layer and those below it (bottom first: ${_order})")
  endif()
  if(NOT _bad STREQUAL "")
    file(RELATIVE_PATH _rel "${ROOT}" "${file}")
    message("${_rel} includes netcore/${_to}: ${_bad}")
    math(EXPR _violations "${_violations} + 1")
  endif()
endmacro()

foreach(folder common sandbox netcore agent hardware supervisor tools bench)
  file(GLOB_RECURSE _files LIST_DIRECTORIES false "${ROOT}/${folder}/*.h" "${ROOT}/${folder}/*.cpp")
  list(SORT _files)
  foreach(file ${_files})
    file(STRINGS "${file}" _lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_]+/")
    foreach(line ${_lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([a-z_]+)/.*$" "\\1" _target "${line}")
      if(_target STREQUAL "netcore" AND folder STREQUAL "netcore")
        _check_netcore_layer("${file}" "${line}")
        continue()
      endif()
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
