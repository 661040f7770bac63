# Each room compiles against an include root of its own: a folder in the build
# tree holding links to the room itself and to the rooms it may include from
# (include_rules.cmake). An include the rules forbid is then a compile error
# ("No such file"), not only a finding of the include check.
include(${CMAKE_CURRENT_LIST_DIR}/include_rules.cmake)

# vantrel_include_view(<room> <out-var>): makes the room's include root and
# returns its path.
function(vantrel_include_view room out)
  set(_view ${CMAKE_BINARY_DIR}/include-view/${room})
  file(REMOVE_RECURSE ${_view})
  file(MAKE_DIRECTORY ${_view})
  foreach(folder ${room} ${_allowed_${room}})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${_view}/${folder} SYMBOLIC)
  endforeach()
  set(${out} ${_view} PARENT_SCOPE)
endfunction()
