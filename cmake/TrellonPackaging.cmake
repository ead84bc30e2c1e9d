# Installation and the Debian package.
#
#   cmake --install <build> [--prefix <folder>]
#       the agent's folder as it runs: trellon and entityfilter with htdocs/
#       beside them (by default /opt/trellon)
#   cpack -G DEB   (in the build folder; the package preset builds for it)
#       that folder as /opt/trellon, plus the systemd unit, the manual pages,
#       copyright and changelog; the maintainer scripts store the standard
#       settings on the first install and run the service where systemd runs.
#
# The system files (unit, manual pages) are the component "system", left out
# of a plain `cmake --install` so that installing into a folder of one's own
# never writes below /lib or /usr.
# Packing and installing take what the build made; they do not build the
# whole tree again (the tests are not part of the package).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/trellon CACHE PATH "The agent's folder" FORCE)
endif()

set(TRELLON_PACKAGE_DIR /opt/trellon)
set(TRELLON_SERVICE_DIR ${TRELLON_PACKAGE_DIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/trellon.service
               ${CMAKE_BINARY_DIR}/packaging/trellon.service @ONLY)

# Manual pages and the changelog, compressed as Debian wants them.
set(packaging_files "")
foreach(source docs/man/trellon.1 docs/man/entityfilter.1 packaging/debian/changelog)
  get_filename_component(name ${source} NAME)
  set(output ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${output}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND packaging_files ${output})
endforeach()
add_custom_target(trellon_packaging_files ALL DEPENDS ${packaging_files})

install(FILES ${CMAKE_BINARY_DIR}/packaging/trellon.service
        DESTINATION /lib/systemd/system COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/packaging/trellon.1.gz ${CMAKE_BINARY_DIR}/packaging/entityfilter.1.gz
        DESTINATION /usr/share/man/man1 COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION /usr/share/doc/trellon COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION /usr/share/doc/trellon RENAME changelog.Debian.gz COMPONENT system
        EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION /usr/share/lintian/overrides RENAME trellon COMPONENT system EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trellon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Trellon developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network testing agent with web pages and an XML interface")
set(CPACK_PACKAGE_DESCRIPTION
    "One copy of the agent runs on every computer that takes part in a test. It
serves its own web pages on TCP 4044, answers other agents' test traffic (TCP
4045 data sink, UDP 4047 reflector) and their control requests. Tests:
response time, available bandwidth, streaming media simulation and an
administrator's plug-ins; programs get XML. Test traffic can carry a DSCP code
point and an 802.1p priority.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${TRELLON_PACKAGE_DIR})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified system)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Trellon developers <developers@trellon.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.trellon.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
