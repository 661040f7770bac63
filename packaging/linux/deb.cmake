# The Linux install rules and the Debian package built from them
# (cpack --config build/linux/CPackConfig.cmake -G DEB).
#
# CPack's DEB generator rather than debhelper: the package holds exactly what
# these install() rules install, the build stays one CMake build with one
# version (the project's), and no debian/ folder or second build system has to
# be kept in step with it.
#
# Destinations are relative to "/" and mirror the installed system, so
# `cmake --install build/linux --prefix STAGE` stages the package's tree.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Install root" FORCE)
endif()

set(VANTREL_PROGRAM_DIR /usr/lib/vantrel)
set(VANTREL_DEB_RELEASE 1)
set(VANTREL_DEB_VERSION ${PROJECT_VERSION}-${VANTREL_DEB_RELEASE})
set(VANTREL_DEB_MAINTAINER "Vantrel developers <maintainers@vantrel.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(_pkg ${CMAKE_CURRENT_LIST_DIR})
set(_out ${CMAKE_BINARY_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

configure_file(${_pkg}/VACSvc.service.in ${_out}/VACSvc.service @ONLY)
configure_file(${_pkg}/changelog.in ${_out}/changelog.Debian @ONLY)

# Debian wants the man page and the changelog compressed, without a time stamp
# in the gzip header (-n) so the package builds the same twice.
set(_gz)
foreach(_pair "${_pkg}/vantrelctl.1|vantrelctl.1.gz" "${_out}/changelog.Debian|changelog.Debian.gz")
  string(REPLACE "|" ";" _pair "${_pair}")
  list(GET _pair 0 _src)
  list(GET _pair 1 _dst)
  add_custom_command(OUTPUT ${_out}/${_dst}
                     COMMAND gzip -9n -c ${_src} > ${_out}/${_dst}
                     DEPENDS ${_src} VERBATIM)
  list(APPEND _gz ${_out}/${_dst})
endforeach()
add_custom_target(vantrel_package_files ALL DEPENDS ${_gz})

set(_programs VantrelCentralService VantrelSysMonitorService VantrelSysHardwareService)
# Services that run as root: relocations resolved at start and then read-only.
foreach(_t ${_programs} vantrelctl)
  target_link_options(${_t} PRIVATE -Wl,-z,relro -Wl,-z,now)
endforeach()
install(TARGETS ${_programs} RUNTIME DESTINATION usr/lib/vantrel)
install(TARGETS vantrelctl RUNTIME DESTINATION usr/bin)
install(FILES ${_out}/VACSvc.service DESTINATION usr/lib/systemd/system)
install(FILES ${_pkg}/50-vantrel.conf DESTINATION usr/lib/sysctl.d)
install(FILES ${_pkg}/vantrel.conf DESTINATION etc/vantrel)
install(FILES ${_out}/vantrelctl.1.gz DESTINATION usr/share/man/man1)
install(FILES ${_pkg}/copyright ${_out}/changelog.Debian.gz DESTINATION usr/share/doc/vantrel)
install(FILES ${_pkg}/lintian-overrides DESTINATION usr/share/lintian/overrides RENAME vantrel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vantrel")
set(CPACK_PACKAGE_CONTACT "${VANTREL_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "background services of a gaming-laptop control centre")
# The extended description, in lines: CPack does not wrap them. The synopsis
# is the summary above.
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The monitor agent serves live telemetry (processor, memory, network,"
  "temperatures, fans, GPU) as JSON over loopback TCP and relays hotkey, power"
  "and display events to connected UI clients. The hardware service offers the"
  "firmware and GPU functions as numbered commands on a local pipe. The"
  "supervisor service VACSvc keeps both running; vantrelctl is a command-line"
  "client of both.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VANTREL_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VANTREL_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${_pkg}/conffiles ${_pkg}/postinst ${_pkg}/prerm ${_pkg}/postrm)
include(CPack)

# The package test builds, checks, installs and purges the .deb; sanitizer
# builds are no package anyone ships, so it runs in the plain build only. It
# takes about 20 s of processor time; the limit allows for a busy machine.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  add_test(NAME packaging_deb
           COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/deb_package.sh ${CMAKE_BINARY_DIR} ${VANTREL_DEB_VERSION})
  set_tests_properties(packaging_deb PROPERTIES LABELS packaging TIMEOUT 600)
endif()
