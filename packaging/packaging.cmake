# Installation as a Linux service and the Debian package.
#
# Both programs and config.ini go into one directory, SOLVER_INSTALL_DIR: the
# programs read config.ini beside their executable and the tag store reads it
# from the working directory, which the systemd unit sets to the same place.
# config.ini is made from config.ini.sample only when absent, so reinstalling
# never replaces a site's configuration; in the package it is a conffile, so
# dpkg keeps the administrator's file on upgrade and on removal.
set(SOLVER_INSTALL_DIR "/opt/solver_unit" CACHE PATH "Directory of the programs and their config.ini")
set(SOLVER_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH "Directory of the systemd unit files")

install(TARGETS solver_unit solver_unit_hr RUNTIME DESTINATION ${SOLVER_INSTALL_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/config.ini.sample DESTINATION ${SOLVER_INSTALL_DIR} OPTIONAL)
install(CODE "
    set(sample \"${CMAKE_SOURCE_DIR}/config.ini.sample\")
    set(target \"\$ENV{DESTDIR}${SOLVER_INSTALL_DIR}/config.ini\")
    if(NOT EXISTS \"\${sample}\")
        message(FATAL_ERROR \"config.ini.sample is missing from the source tree\")
    elseif(EXISTS \"\${target}\")
        message(STATUS \"Kept: \${target}\")
    else()
        message(STATUS \"Installing: \${target}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${SOLVER_INSTALL_DIR}\")
        file(COPY_FILE \"\${sample}\" \"\${target}\")
    endif()
")

foreach(program solver_unit solver_unit_hr)
    set(SOLVER_PROGRAM ${program})
    if(program STREQUAL solver_unit)
        set(SOLVER_OTHER_PROGRAM solver_unit_hr)
    else()
        set(SOLVER_OTHER_PROGRAM solver_unit)
    endif()
    configure_file(${CMAKE_CURRENT_LIST_DIR}/solver_unit.service.in ${CMAKE_BINARY_DIR}/packaging/${program}.service @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${program}.service DESTINATION ${SOLVER_SYSTEMD_UNIT_DIR})
endforeach()

# Raises the kernel's cap on socket receive buffers for the anchor socket.
set(SOLVER_SYSCTL_DIR "/usr/lib/sysctl.d" CACHE PATH "Directory of sysctl drop-ins")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/sysctl/60-solver-unit.conf DESTINATION ${SOLVER_SYSCTL_DIR})

file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${SOLVER_INSTALL_DIR}/config.ini\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME solver-unit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UWB TDOA positioning engine (solver_unit and solver_unit_hr) as a systemd service")
set(CPACK_PACKAGE_CONTACT "positioning engine maintainers <root@localhost>")
# The install rules use absolute directories; the package mirrors them.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${SOLVER_INSTALL_DIR}")
set(CPACK_INSTALL_PREFIX "${SOLVER_INSTALL_DIR}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libqt5core5a (>= 5.15), libqt5network5 (>= 5.15), libmosquitto1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/deb/postinst
    ${CMAKE_CURRENT_LIST_DIR}/deb/prerm
    ${CMAKE_CURRENT_LIST_DIR}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
