# Debian packages: the plug-in with its sample model file, and the host runtime with its programs.
# Targets that other parts of the tree may not define yet are packaged only when they exist.
# SMD_LIBDIR, SMD_PLUGINDIR and SMD_DATADIR come from the top-level CMakeLists.txt.

install(TARGETS rtmk48_pv05 LIBRARY DESTINATION ${SMD_PLUGINDIR} COMPONENT plugin)
file(GLOB SMD_MODEL_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ini/rtmk48_pv05.ini)
if(SMD_MODEL_FILES)
  install(FILES ${SMD_MODEL_FILES} DESTINATION ${SMD_DATADIR}/ini COMPONENT plugin)
endif()

# The host's signal map of this unit: the demo and site files decode signal values with it.
install(FILES ${CMAKE_SOURCE_DIR}/ini/rtmk48_pv05.signals.json DESTINATION ${SMD_DATADIR}/ini
        COMPONENT host)

# No development package: the runtime library ships without its link-time name.
install(TARGETS smdhost LIBRARY DESTINATION ${SMD_LIBDIR} NAMELINK_SKIP COMPONENT host)
foreach(program smdhost rtmk48sim)
  if(TARGET ${program}_bin)
    install(TARGETS ${program}_bin RUNTIME DESTINATION bin COMPONENT host)
  elseif(TARGET ${program} AND NOT program STREQUAL "smdhost")
    get_target_property(type ${program} TYPE)
    if(type STREQUAL "EXECUTABLE")
      install(TARGETS ${program} RUNTIME DESTINATION bin COMPONENT host)
    endif()
  endif()
endforeach()

# The service: unit, user, directories, site file, manual pages and documents. Debian 12 keeps
# units under /lib; sysusers.d and tmpfiles.d files under /usr/lib.
set(SMD_DIST ${CMAKE_SOURCE_DIR}/dist)
install(FILES ${SMD_DIST}/smdhost.service DESTINATION /lib/systemd/system COMPONENT host)
install(FILES ${SMD_DIST}/sysusers.conf DESTINATION lib/sysusers.d RENAME smdhost.conf
        COMPONENT host)
install(FILES ${SMD_DIST}/tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME smdhost.conf
        COMPONENT host)
install(FILES ${SMD_DIST}/site.json DESTINATION /etc/smdhost COMPONENT host)
install(FILES ${SMD_DIST}/site-simulated.json DESTINATION share/doc/smdhost/examples
        COMPONENT host)
install(FILES ${SMD_DIST}/lintian-overrides DESTINATION share/lintian/overrides RENAME smdhost
        COMPONENT host)
install(FILES ${SMD_DIST}/plugin-lintian-overrides DESTINATION share/lintian/overrides
        RENAME rtmk48-pv05 COMPONENT plugin)

# Manual pages and changelogs go in compressed, reproducibly (no name, no time stamp).
find_program(SMD_GZIP gzip REQUIRED)
set(SMD_GZIPPED)
foreach(page smdhost.1 smdhost-site.5 rtmk48sim.1 changelog)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/dist/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/dist
    COMMAND ${SMD_GZIP} -9nc ${SMD_DIST}/${page} > ${CMAKE_BINARY_DIR}/dist/${page}.gz
    DEPENDS ${SMD_DIST}/${page} VERBATIM)
  list(APPEND SMD_GZIPPED ${CMAKE_BINARY_DIR}/dist/${page}.gz)
endforeach()
add_custom_target(smd_dist_files ALL DEPENDS ${SMD_GZIPPED})
install(FILES ${CMAKE_BINARY_DIR}/dist/smdhost.1.gz ${CMAKE_BINARY_DIR}/dist/rtmk48sim.1.gz
        DESTINATION share/man/man1 COMPONENT host)
install(FILES ${CMAKE_BINARY_DIR}/dist/smdhost-site.5.gz DESTINATION share/man/man5
        COMPONENT host)
foreach(component plugin host)
  if(component STREQUAL "plugin")
    set(doc share/doc/rtmk48-pv05)
  else()
    set(doc share/doc/smdhost)
  endif()
  install(FILES ${SMD_DIST}/copyright DESTINATION ${doc} COMPONENT ${component})
  install(FILES ${CMAKE_BINARY_DIR}/dist/changelog.gz DESTINATION ${doc}
          RENAME changelog.Debian.gz COMPONENT ${component})
endforeach()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
  set(SMD_DEB_ARCH armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(SMD_DEB_ARCH amd64)
else()
  message(FATAL_ERROR "No Debian architecture known for processor ${CMAKE_SYSTEM_PROCESSOR}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rtmk48-pv05)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "rtmk48_pv05 developers <dev@rtmk48-pv05.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin host)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SMD_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Both packages come from one source, whose changelog they ship.
set(CPACK_DEBIAN_PACKAGE_SOURCE rtmk48-pv05)

# Declared by hand, not by dpkg-shlibdeps, so that the cross build gets the same treatment;
# tests/check_packages.sh checks every NEEDED library against these lists. The version floors
# are those of Debian 12, which the packages are built against.
set(SMD_RUNTIME_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 12), libstdc++6 (>= 12)")

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME rtmk48-pv05)
# The plug-in takes host and jsoncpp symbols (about 70 of libsmdhost's) from the process that
# loads it, so it needs exactly the host it was built with.
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS
    "${SMD_RUNTIME_DEPENDS}, smdhost (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "RTMK48_PV05 power system plug-in
rtmk48_pv05.so polls an RTMK48_PV05 power system over a serial line,
publishes its data record, evaluates alarms and carries out control
commands. Includes the sample model file.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME smdhost)
string(JOIN ", " CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "${SMD_RUNTIME_DEPENDS}"
  "libjsoncpp25 (>= 1.9.5)" "libsqlite3-0 (>= 3.40)" "zlib1g (>= 1:1.2.13)"
  "libboost-program-options1.74.0 (>= 1.74.0)"
  "libjs-chart.js (>= 3)"  # the status page's chart, served from /usr/share/javascript
  "libsystemd0 (>= 252)" "adduser"
  "libmosquitto1 (>= 2.0.11)")
# The SNMP subagent, when built in; snmpd is the master agent it registers with.
if(SMD_HAVE_NETSNMP)
  string(APPEND CPACK_DEBIAN_HOST_PACKAGE_DEPENDS ", libsnmp40 (>= 5.9.3)")
  set(CPACK_DEBIAN_HOST_PACKAGE_SUGGESTS "snmpd")
endif()
# libsmdhost goes into the linker cache on install and removal (triggers); the maintainer scripts
# create the service user and directories; the site file is a conffile; shlibs: programs built
# against libsmdhost.so.0 depend on this version of the host or later.
configure_file(${SMD_DIST}/deb/shlibs.in ${CMAKE_BINARY_DIR}/dist/shlibs @ONLY)
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA
    ${SMD_DIST}/deb/triggers ${SMD_DIST}/deb/conffiles ${SMD_DIST}/deb/postinst
    ${SMD_DIST}/deb/prerm ${SMD_DIST}/deb/postrm ${CMAKE_BINARY_DIR}/dist/shlibs)
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_HOST_DESCRIPTION "Monitoring host runtime, runner and power unit simulator
libsmdhost, the host framework that device plug-ins run in; smdhost, which
loads and runs plug-ins, as a command or as the systemd service
smdhost.service; and rtmk48sim, a simulator of the RTMK48_PV05 power unit.")

include(CPack)
