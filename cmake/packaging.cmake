# The Debian packages that scripts/package makes with CPack's DEB generator, from a build
# configured with -DQF_INSTALL_LAYOUT=debian (the programs under /usr):
#   qf7320       the command line, its manual page and bash completion, the MQTT plugin in
#                /usr/lib/qf7320, the systemd unit and the user it runs as;
#   qf7320-tool  the window, the simulator and qf7320-plot (which qf7320 plot runs), with the
#                desktop entry and the icon.
# A cross build (cmake --preset arm64) packages qf7320 alone. dpkg-shlibdeps finds the libraries
# each package depends on; what it cannot see is named below.

set(QF_DEBIAN_MAINTAINER "qf7320-tool maintainers <qf7320-tool@example.org>"
    CACHE STRING "The Maintainer field of the Debian packages")
# The manual page and the bash completion are written by a qf7320 that runs here: a cross build
# takes them from a native build's share/ (scripts/package passes it).
set(QF_DOCUMENTS_DIR "${CMAKE_BINARY_DIR}/share"
    CACHE PATH "The folder with man/man1/qf7320.1 and bash-completion/completions/qf7320")

set(QF_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${QF_DEBIAN_DIR})
set(QF_PACKAGES qf7320)
if(TARGET qf7320-tool)
  list(APPEND QF_PACKAGES qf7320-tool)
endif()

# The changelog Debian wants beside every package's copyright (a native package's changelog.gz),
# dated the day of the build, or SOURCE_DATE_EPOCH's.
string(TIMESTAMP QF_DEBIAN_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${QF_DEBIAN_DIR}/changelog.in
     "@QF_PACKAGE@ (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * qf7320-tool ${PROJECT_VERSION}.\n\n"
     " -- ${QF_DEBIAN_MAINTAINER}  ${QF_DEBIAN_DATE}\n")
set(QF_DEBIAN_GZIPPED)
foreach(QF_PACKAGE IN LISTS QF_PACKAGES)
  configure_file(${QF_DEBIAN_DIR}/changelog.in ${QF_DEBIAN_DIR}/${QF_PACKAGE}/changelog @ONLY)
  list(APPEND QF_DEBIAN_GZIPPED ${QF_DEBIAN_DIR}/${QF_PACKAGE}/changelog)
endforeach()

# The manual page goes in compressed, as Debian's are.
set(QF_DEBIAN_MANUAL ${QF_DEBIAN_DIR}/qf7320.1)
add_custom_command(
  OUTPUT ${QF_DEBIAN_MANUAL}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${QF_DOCUMENTS_DIR}/man/man1/qf7320.1 ${QF_DEBIAN_MANUAL}
  COMMAND gzip -9nf ${QF_DEBIAN_MANUAL}
  DEPENDS ${QF_DOCUMENTS_DIR}/man/man1/qf7320.1
  COMMENT "Compressing the manual page for the Debian package"
  VERBATIM)
set(QF_DEBIAN_OUTPUTS ${QF_DEBIAN_MANUAL}.gz)
# The window's, the simulator's and qf7320-plot's short pages, written by hand.
set(QF_TOOL_MANUALS)
if(TARGET qf7320-tool)
  foreach(program qf7320-tool qf7320-sim qf7320-plot)
    configure_file(${CMAKE_SOURCE_DIR}/share/man/${program}.1 ${QF_DEBIAN_DIR}/${program}.1 COPYONLY)
    list(APPEND QF_DEBIAN_GZIPPED ${QF_DEBIAN_DIR}/${program}.1)
    list(APPEND QF_TOOL_MANUALS ${QF_DEBIAN_DIR}/${program}.1.gz)
  endforeach()
endif()
foreach(file IN LISTS QF_DEBIAN_GZIPPED)
  add_custom_command(
    OUTPUT ${file}.gz
    COMMAND gzip -9nkf ${file}
    DEPENDS ${file}
    VERBATIM)
  list(APPEND QF_DEBIAN_OUTPUTS ${file}.gz)
endforeach()
# What scripts/package builds besides the programs.
add_custom_target(qf7320-debian DEPENDS ${QF_DEBIAN_OUTPUTS})
if(TARGET qf7320-documents)
  add_dependencies(qf7320-debian qf7320-documents)
endif()

# qf7320
install(TARGETS qf7320 RUNTIME DESTINATION bin COMPONENT cli)
install(TARGETS qf7320-mqtt LIBRARY DESTINATION lib/qf7320 COMPONENT cli
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${QF_DEBIAN_MANUAL}.gz DESTINATION share/man/man1 COMPONENT cli)
install(FILES ${QF_DOCUMENTS_DIR}/bash-completion/completions/qf7320
        DESTINATION share/bash-completion/completions COMPONENT cli)
set(QF_INSTALL_BIN /usr/bin)
set(QF_UNIT_DOCUMENTATION "man:qf7320(1)")
configure_file(${CMAKE_SOURCE_DIR}/share/systemd/qf7320-poll@.service.in
               ${QF_DEBIAN_DIR}/qf7320-poll@.service @ONLY)
install(FILES ${QF_DEBIAN_DIR}/qf7320-poll@.service DESTINATION lib/systemd/system COMPONENT cli)
install(FILES ${CMAKE_SOURCE_DIR}/share/sysusers/qf7320.conf DESTINATION lib/sysusers.d
        COMPONENT cli)

# qf7320-tool
if(TARGET qf7320-tool)
  install(TARGETS qf7320-tool qf7320-sim qf7320-plot RUNTIME DESTINATION bin COMPONENT tool)
  install(FILES ${QF_TOOL_MANUALS} DESTINATION share/man/man1 COMPONENT tool)
  install(FILES ${CMAKE_SOURCE_DIR}/app/images/app-icon.png
          DESTINATION share/icons/hicolor/32x32/apps RENAME qf7320-tool.png COMPONENT tool)
  set(QF_INSTALL_ICON qf7320-tool)
  configure_file(${CMAKE_SOURCE_DIR}/app/qf7320-tool.desktop.in
                 ${QF_DEBIAN_DIR}/qf7320-tool.desktop @ONLY)
  install(FILES ${QF_DEBIAN_DIR}/qf7320-tool.desktop DESTINATION share/applications
          COMPONENT tool)
endif()

foreach(QF_PACKAGE IN LISTS QF_PACKAGES)
  set(component cli)
  if(QF_PACKAGE STREQUAL "qf7320-tool")
    set(component tool)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/share/debian/copyright
                ${QF_DEBIAN_DIR}/${QF_PACKAGE}/changelog.gz
          DESTINATION share/doc/${QF_PACKAGE} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qf7320)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(TARGET qf7320-tool)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QF_DEBIAN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME qf7320)
# The service's user is made by systemd-sysusers when the package is configured.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers")
# qf7320 plot draws with qf7320-plot.
set(CPACK_DEBIAN_CLI_PACKAGE_SUGGESTS qf7320-tool)
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/share/debian/qf7320/postinst
    ${CMAKE_SOURCE_DIR}/share/debian/qf7320/prerm ${CMAKE_SOURCE_DIR}/share/debian/qf7320/postrm)
set(CPACK_COMPONENT_CLI_DESCRIPTION "command line for QF7320 illuminance sensors
qf7320 reads, sets and checks QF7320-series illuminance sensors over a
serial line (Modbus RTU), through a serial device server or through a
Modbus TCP gateway, and logs them: qf7320 poll writes CSV files and
publishes to an MQTT broker (with Home Assistant discovery), from boot as
the systemd service qf7320-poll@NAME.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME qf7320-tool)
# The window needs a platform plugin to show itself, and a font with the Chinese of its labels;
# qf7320-plot is run by qf7320 plot.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "qf7320 (= ${PROJECT_VERSION}), qt6-qpa-plugins")
set(CPACK_DEBIAN_TOOL_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "window and simulator for QF7320 illuminance sensors
qf7320-tool is a window with which a technician tests and configures a
QF7320-series illuminance sensor over a serial line (Modbus RTU): the
measurement once or cyclically, the calibration parameters and the
station address, with every frame shown as hex text. qf7320-sim
simulates the sensor on a pseudo-terminal or a TCP port, and qf7320-plot
draws the charts of qf7320 plot.")

include(CPack)
