# Release packages: `cmake --build --preset default --target package` makes
#   reflash-<version>-win64.zip  (reflash.exe, reflash-sim.exe, reflash-station.exe, the station
#                                guide as text, the license of the web library it compiles in)
#   reflash_<version>_amd64.deb  (reflash, reflash-sim, reflash-station and its systemd unit, the
#                                udev rule, the manual pages, the station guide, the Prometheus
#                                scrape job and alert rules)
# The version is the project version.

set(REFLASH_WIN32_BUILD ${PROJECT_BINARY_DIR}/win32)
set(reflash_generators DEB)
if(TARGET reflash_win32)
  list(PREPEND reflash_generators ZIP)
  install(FILES ${REFLASH_WIN32_BUILD}/platform/win32/reflash.exe
                ${REFLASH_WIN32_BUILD}/platform/win32/reflash-sim.exe
                ${REFLASH_WIN32_BUILD}/platform/win32/reflash-station.exe
          DESTINATION . COMPONENT win64)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/station.md DESTINATION . RENAME station.txt
          COMPONENT win64)
  # The station's page compiles in cpp-httplib, whose license goes with it.
  install(FILES ${PROJECT_SOURCE_DIR}/third_party/cpp-httplib/LICENSE
          DESTINATION . RENAME cpp-httplib-license.txt COMPONENT win64)
endif()

if(TARGET reflash-sim)
  install(TARGETS reflash-sim RUNTIME DESTINATION bin COMPONENT linux)
endif()
if(TARGET reflash AND NOT WIN32)
  install(TARGETS reflash RUNTIME DESTINATION bin COMPONENT linux)
endif()
if(TARGET reflash-station AND NOT WIN32)
  install(TARGETS reflash-station RUNTIME DESTINATION bin COMPONENT linux)
  # Installed, not enabled: the package ships no maintainer script that would enable it.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/reflash-station.service
          DESTINATION lib/systemd/system COMPONENT linux)
  # The unit's options (the fixture's ports); a conffile, so an upgrade keeps the line's own.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/reflash-station.default
          DESTINATION /etc/default RENAME reflash-station COMPONENT linux)
  set(CPACK_DEBIAN_LINUX_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)
  # Examples for the factory's Prometheus, copied from there into /etc/prometheus: not conffiles.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/prometheus/reflash-station-scrape.yml
                ${PROJECT_SOURCE_DIR}/packaging/prometheus/reflash-station-alerts.yml
          DESTINATION share/reflash/prometheus COMPONENT linux)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-reflash.rules DESTINATION lib/udev/rules.d
        COMPONENT linux)
install(FILES ${PROJECT_SOURCE_DIR}/docs/station.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION share/doc/reflash COMPONENT linux)
# Manual pages ship compressed, reproducibly (no name or time stamp in the gzip header).
set(VERSION ${PROJECT_VERSION})
configure_file(${PROJECT_SOURCE_DIR}/packaging/reflash.1 ${PROJECT_BINARY_DIR}/man/reflash.1 @ONLY)
find_program(REFLASH_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/reflash.1.gz
                   COMMAND ${REFLASH_GZIP} -9nkf ${PROJECT_BINARY_DIR}/man/reflash.1
                   DEPENDS ${PROJECT_BINARY_DIR}/man/reflash.1)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/changelog.gz
                   COMMAND ${REFLASH_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog
                           > ${PROJECT_BINARY_DIR}/man/changelog.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
configure_file(${PROJECT_SOURCE_DIR}/packaging/reflash-station.1
               ${PROJECT_BINARY_DIR}/man/reflash-station.1 @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/reflash-station.1.gz
                   COMMAND ${REFLASH_GZIP} -9nkf ${PROJECT_BINARY_DIR}/man/reflash-station.1
                   DEPENDS ${PROJECT_BINARY_DIR}/man/reflash-station.1)
add_custom_target(reflash_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/man/reflash.1.gz
                                             ${PROJECT_BINARY_DIR}/man/reflash-station.1.gz
                                             ${PROJECT_BINARY_DIR}/man/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/man/changelog.gz DESTINATION share/doc/reflash COMPONENT linux)
install(FILES ${PROJECT_BINARY_DIR}/man/reflash.1.gz ${PROJECT_BINARY_DIR}/man/reflash-station.1.gz
        DESTINATION share/man/man1 COMPONENT linux)
install(CODE [[file(CREATE_LINK reflash.1.gz
                   "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/man/man1/reflash-sim.1.gz" SYMBOLIC)]]
        COMPONENT linux)

set(CPACK_PACKAGE_NAME reflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "reflash developers")
set(CPACK_PACKAGE_CONTACT "reflash developers <reflash@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "re-programs the firmware of the station's USB camera")
set(CPACK_COMPONENT_LINUX_DESCRIPTION "Finds the camera, writes the firmware image it carries to the camera's serial
flash, reads it back and leaves its verdict in Result.log. Includes
reflash-sim, the same update on a simulated camera.")
set(CPACK_GENERATOR ${reflash_generators})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_per_generator.cmake)
include(CPack)
