# The one version of the suite, from project(VERSION): four 16-bit parts, as a
# Windows file version holds them. Everything else (compile definitions, the
# programs' version resources, package names) takes it from here.
set(VANTREL_VERSION_PARTS)
foreach(part MAJOR MINOR PATCH TWEAK)
  set(_v "${PROJECT_VERSION_${part}}")
  if(_v STREQUAL "")
    set(_v 0)
  endif()
  # A larger part would be cut silently in the file version the agent reports.
  if(_v GREATER 65535)
    message(FATAL_ERROR "version part ${part} (${_v}) does not fit a file version (at most 65535)")
  endif()
  set(VANTREL_VERSION_${part} ${_v})
  list(APPEND VANTREL_VERSION_PARTS ${_v})
endforeach()
list(JOIN VANTREL_VERSION_PARTS "." VANTREL_VERSION)
list(JOIN VANTREL_VERSION_PARTS "," VANTREL_VERSION_COMMAS)

add_compile_definitions(VANTREL_VERSION_STRING="${VANTREL_VERSION}"
                        VANTREL_VERSION_MAJOR=${VANTREL_VERSION_MAJOR}
                        VANTREL_VERSION_MINOR=${VANTREL_VERSION_MINOR}
                        VANTREL_VERSION_PATCH=${VANTREL_VERSION_PATCH}
                        VANTREL_VERSION_TWEAK=${VANTREL_VERSION_TWEAK})
