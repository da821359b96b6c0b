# Installation as a Linux service and the Debian package, in the layout
# Debian expects; `cmake --install` and the package put the same files in the
# same places:
#
#   /usr/lib/solver-unit/      solver_unit, solver_unit_hr, and config.ini, a
#                              link: the programs read it beside themselves
#   /etc/solver-unit/          config.ini, the site's file (a conffile)
#   /var/lib/solver-unit/      working directory of the service: config.ini, a
#                              link (the tag store reads it from the working
#                              directory), and the daily lost-packet files
#   /usr/bin/                  solver_sim, solver_sim_hr, solver_monitor, solver_plan,
#                              solver_replay
#   /usr/share/solver-unit/    solver_unit_rules.yml, Prometheus alert rules
#   /usr/lib/<multiarch>/wireshark/plugins/
#                              solver_unit.lua, the Wireshark dissector (the
#                              global Lua plugin folder of `tshark -G folders`)
#
# Configuration requests write through the links into /etc/solver-unit, so
# dpkg keeps the site's file on upgrade like any edited conffile.
set(SOLVER_LIB_DIR "/usr/lib/solver-unit" CACHE PATH "Directory of the two programs")
set(SOLVER_CONF_DIR "/etc/solver-unit" CACHE PATH "Directory of the site's config.ini")
set(SOLVER_STATE_DIR "/var/lib/solver-unit" CACHE PATH "Working directory of the service")
set(SOLVER_BIN_DIR "/usr/bin" CACHE PATH "Directory of the tools")
set(SOLVER_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH "Directory of the systemd unit files")
set(SOLVER_SYSCTL_DIR "/usr/lib/sysctl.d" CACHE PATH "Directory of sysctl drop-ins")
set(SOLVER_SHARE_DIR "/usr/share/solver-unit" CACHE PATH "Directory of the Prometheus alert rules")
set(SOLVER_WIRESHARK_LUA_DIR "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins" CACHE PATH
    "Wireshark's global Lua plugin folder")
set(SOLVER_PACKAGE_VERSION "${PROJECT_VERSION}" CACHE STRING "Version of the Debian package")
set(SOLVER_PACKAGE_MAINTAINER "Positioning engine maintainers <maintainers@users.noreply.c-seed-14319376.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(doc_dir "/usr/share/doc/solver-unit")
set(man_dir "/usr/share/man")

install(TARGETS solver_unit solver_unit_hr RUNTIME DESTINATION ${SOLVER_LIB_DIR})
if(SOLVER_TOOLS)
    # solver_plan --check without --config: the installed site's file.
    target_compile_definitions(solver_plan PRIVATE SOLVER_CONF_FILE="${SOLVER_CONF_DIR}/config.ini")
    install(TARGETS solver_sim solver_sim_hr solver_monitor solver_plan solver_replay RUNTIME DESTINATION ${SOLVER_BIN_DIR})
endif()

# config.ini is made from config.ini.sample only when absent, so installing
# again never replaces a site's configuration. The links are made anew.
install(CODE "
    set(sample \"${CMAKE_SOURCE_DIR}/config.ini.sample\")
    set(target \"\$ENV{DESTDIR}${SOLVER_CONF_DIR}/config.ini\")
    if(NOT EXISTS \"\${sample}\")
        message(FATAL_ERROR \"config.ini.sample is missing from the source tree\")
    elseif(EXISTS \"\${target}\")
        message(STATUS \"Kept: \${target}\")
    else()
        message(STATUS \"Installing: \${target}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${SOLVER_CONF_DIR}\")
        file(COPY_FILE \"\${sample}\" \"\${target}\")
    endif()
    foreach(dir \"${SOLVER_LIB_DIR}\" \"${SOLVER_STATE_DIR}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${dir}\")
        message(STATUS \"Installing: \$ENV{DESTDIR}\${dir}/config.ini -> ${SOLVER_CONF_DIR}/config.ini\")
        file(CREATE_LINK \"${SOLVER_CONF_DIR}/config.ini\" \"\$ENV{DESTDIR}\${dir}/config.ini\" SYMBOLIC)
    endforeach()
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

# Raises the kernel's cap on socket receive buffers for the anchor socket, and
# never lowers a larger one (see the file).
install(FILES ${CMAKE_CURRENT_LIST_DIR}/sysctl/00-solver-unit.conf DESTINATION ${SOLVER_SYSCTL_DIR})

# Field tools: the alert rules a Prometheus includes, and the dissector
# Wireshark and tshark load at their start.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/monitoring/solver_unit_rules.yml DESTINATION ${SOLVER_SHARE_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/wireshark/solver_unit.lua DESTINATION ${SOLVER_WIRESHARK_LUA_DIR})

# Manual pages and the changelog, compressed as Debian wants them.
set(man_pages solver_unit.8 solver_sim.1 solver_monitor.1 solver_plan.1 solver_replay.1)
set(compressed)
foreach(page ${man_pages} changelog)
    if(page STREQUAL changelog)
        set(source ${CMAKE_CURRENT_LIST_DIR}/changelog)
    else()
        set(source ${CMAKE_CURRENT_LIST_DIR}/man/${page})
    endif()
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${page}.gz
        COMMAND gzip -9nc ${source} > ${CMAKE_BINARY_DIR}/packaging/${page}.gz
        DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
endforeach()
add_custom_target(solver_package_docs ALL DEPENDS ${compressed})
foreach(page ${man_pages})
    string(REGEX REPLACE ".*\\." "" section ${page})
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${page}.gz DESTINATION ${man_dir}/man${section})
endforeach()
# The variants share their page (a relative link, as Debian wants).
install(CODE "
    foreach(link \"man8/solver_unit_hr.8.gz:solver_unit.8.gz\" \"man1/solver_sim_hr.1.gz:solver_sim.1.gz\")
        string(REPLACE \":\" \";\" parts \"\${link}\")
        list(GET parts 0 name)
        list(GET parts 1 target)
        file(CREATE_LINK \"\${target}\" \"\$ENV{DESTDIR}${man_dir}/\${name}\" SYMBOLIC)
    endforeach()
")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${doc_dir})
install(FILES ${CMAKE_SOURCE_DIR}/config.ini.sample DESTINATION ${doc_dir}/examples)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${doc_dir})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION /usr/share/lintian/overrides RENAME solver-unit)

file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${SOLVER_CONF_DIR}/config.ini\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME solver-unit)
set(CPACK_PACKAGE_VERSION ${SOLVER_PACKAGE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UWB TDOA positioning engine as a hardened systemd service")
set(CPACK_PACKAGE_DESCRIPTION "\
The positioning engine of an ultra-wideband real-time location system.
Fixed anchors time-stamp each radio transmission of a mobile tag and send
their measurement records over UDP; the engine gathers the records of one
transmission, solves the tag's position from the time differences of
arrival, optionally smooths the track and sends each position as JSON over
UDP (and MQTT) to a location server. It answers JSON configuration requests,
sends a supervision heartbeat and serves metrics for Prometheus.
.
Two programs, solver_unit (54-byte records) and solver_unit_hr (72-byte
records), run as the systemd services solver_unit and solver_unit_hr under
their own system user; the site's configuration is /etc/solver-unit/config.ini.
The anchor simulator, report monitor and layout planner are included.")
set(CPACK_PACKAGE_CONTACT "${SOLVER_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SOLVER_PACKAGE_MAINTAINER}")
# The install rules use absolute directories; the package mirrors them.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_INSTALL_PREFIX "/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries from dpkg-shlibdeps; adduser for the system user; libpcap for
# solver_replay, named too (shlibdeps finds it only when the tools are built).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libpcap0.8")
# For the dissector and the alert rules the package installs.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tshark | wireshark, prometheus")
# No debug-symbols package: CPack 3.25's solver-unit-dbgsym lists its files
# under the build machine's paths in md5sums and has no copyright file
# (lintian errors). The build directory keeps the unstripped programs.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/deb/postinst
    ${CMAKE_CURRENT_LIST_DIR}/deb/prerm
    ${CMAKE_CURRENT_LIST_DIR}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
