# Debian packages: the plug-in with its sample model file, and the host runtime with its programs.
# Targets that other parts of the tree may not define yet are packaged only when they exist.

# Multiarch library directory, also when cross-compiling (lib/arm-linux-gnueabihf).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(SMD_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(SMD_LIBDIR lib)
endif()
set(SMD_PLUGINDIR ${SMD_LIBDIR}/smdhost)
# The plug-in reads model files from ./ini/ under the host's working directory.
set(SMD_DATADIR share/smdhost)

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

# Declared by hand, not by dpkg-shlibdeps, so that the cross build gets the same treatment;
# tests/check_packages.sh checks every NEEDED library against these lists. The version floors
# are those of Debian 12, which the packages are built against.
set(SMD_RUNTIME_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 12), libstdc++6 (>= 12)")

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME rtmk48-pv05)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS "${SMD_RUNTIME_DEPENDS}")
# The plug-in takes host and jsoncpp symbols from the process that loads it.
set(CPACK_DEBIAN_PLUGIN_PACKAGE_SUGGESTS smdhost)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "RTMK48_PV05 power system plug-in
rtmk48_pv05.so polls an RTMK48_PV05 power system over a serial line, publishes its data
record, evaluates alarms and carries out control commands. Includes the sample model file.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME smdhost)
string(JOIN ", " CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "${SMD_RUNTIME_DEPENDS}"
  "libjsoncpp25 (>= 1.9.5)" "libsqlite3-0 (>= 3.40)" "libboost-program-options1.74.0 (>= 1.74.0)"
  "libjs-chart.js (>= 3)")  # the status page's chart, served from /usr/share/javascript
# libsmdhost goes into the linker cache on install and removal.
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)
set(CPACK_COMPONENT_HOST_DESCRIPTION "Monitoring host runtime, runner and power unit simulator
libsmdhost, the host framework that device plug-ins run in; smdhost, which loads and runs
a plug-in; and rtmk48sim, a simulator of the RTMK48_PV05 power unit.")

include(CPack)
