# What a desktop installation holds besides the two programs, and the Debian package that
# carries it all (cpack -G DEB, or scripts/package.sh).

# Configuration lives under /etc and the firmware folder under /var for a /usr installation (the
# package), under the prefix otherwise, so that `cmake --install --prefix DIR` keeps everything
# inside DIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KOV02_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kov02tool)
  set(KOV02_STATE_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/kov02tool)
else()
  set(KOV02_CONFIG_DIR ${CMAKE_INSTALL_SYSCONFDIR}/kov02tool)
  set(KOV02_STATE_DIR ${CMAKE_INSTALL_LOCALSTATEDIR}/lib/kov02tool)
endif()
set(KOV02_EXAMPLES_DIR_RELATIVE ${CMAKE_INSTALL_DATADIR}/doc/kov02tool/examples)
# The installed paths, as the configuration file, --help and the man pages name them.
cmake_path(ABSOLUTE_PATH KOV02_CONFIG_DIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX} OUTPUT_VARIABLE KOV02_CONFIG_FULL_DIR)
cmake_path(ABSOLUTE_PATH KOV02_STATE_DIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX} OUTPUT_VARIABLE KOV02_STATE_FULL_DIR)
cmake_path(ABSOLUTE_PATH KOV02_EXAMPLES_DIR_RELATIVE BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
           OUTPUT_VARIABLE KOV02_EXAMPLES_DIR)
set(KOV02_FIRMWARE_DIR ${KOV02_STATE_FULL_DIR}/firmware)
target_compile_definitions(kov02tool PRIVATE KOV02_SAMPLE_REGISTRY="${KOV02_EXAMPLES_DIR}/kov02tool.reg.sample")
configure_file(config/kov02tool.reg.in ${CMAKE_BINARY_DIR}/config/kov02tool.reg @ONLY)

# Man pages name the installed paths, so they are filled in here and compressed as Debian
# expects (-n: no name or time stamp, so a rebuild gives the same bytes).
set(KOV02_MAN_PAGES)
set(KOV02_MAN5_PAGES)
foreach(page kov02tool.1 kov02a-sim.1 kov02tool.reg.5)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${page} ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
                     COMMAND gzip -9nf -k ${CMAKE_BINARY_DIR}/man/${page}
                     DEPENDS ${CMAKE_BINARY_DIR}/man/${page})
  if(page MATCHES "\\.5$")
    list(APPEND KOV02_MAN5_PAGES ${CMAKE_BINARY_DIR}/man/${page}.gz)
  else()
    list(APPEND KOV02_MAN_PAGES ${CMAKE_BINARY_DIR}/man/${page}.gz)
  endif()
endforeach()
add_custom_target(kov02_man_pages ALL DEPENDS ${KOV02_MAN_PAGES} ${KOV02_MAN5_PAGES})

# Who answers for the package and where it lives: the changelog, the copyright file, the package's
# fields and the AppStream data name them.
set(KOV02_MAINTAINER "KOV02Tool maintainers <kov02tool@example.org>" CACHE STRING "The package's maintainer")
set(KOV02_HOMEPAGE "https://github.com/kov02tool/kov02tool" CACHE STRING "The project's home page")

# The documents Debian asks of every package: the copyright file as is, the changelog compressed
# (-n, as the man pages). The AppStream data lets software centres show the tool.
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/doc/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
                   COMMAND gzip -9nf -k ${CMAKE_BINARY_DIR}/doc/changelog
                   DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog)
add_custom_target(kov02_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
set(KOV02_METAINFO io.github.kov02tool.metainfo.xml)
configure_file(${CMAKE_CURRENT_LIST_DIR}/${KOV02_METAINFO} ${CMAKE_BINARY_DIR}/${KOV02_METAINFO} @ONLY)

install(TARGETS kov02tool kov02a-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A package build (scripts/package.sh) drops the compiler's .comment and .note sections from the
# installed programs, as Debian's own packaging does; cpack strips the rest.
option(KOV02_PACKAGE_BUILD "Build the programs as the Debian package ships them" OFF)
if(KOV02_PACKAGE_BUILD)
  install(CODE "
    foreach(program kov02tool kov02a-sim)
      execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment --remove-section=.note
                      \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()")
endif()
install(FILES ${CMAKE_BINARY_DIR}/doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_BINARY_DIR}/${KOV02_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_BINARY_DIR}/config/kov02tool.reg DESTINATION ${KOV02_CONFIG_DIR})
install(FILES config/kov02tool.reg.sample DESTINATION ${KOV02_EXAMPLES_DIR_RELATIVE})
# The firmware folder PackageDir names: root's, readable by all; the administrator fills it.
install(DIRECTORY DESTINATION ${KOV02_STATE_DIR}/firmware
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${KOV02_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KOV02_MAN5_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kov02tool.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kov02tool.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kov02tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KOV02_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for a GSM radio module on a serial port")
# Debian shows the description in 80 columns: no line of it may be longer.
set(CPACK_PACKAGE_DESCRIPTION
    "Updates a GSM/GPRS radio module's firmware over a serial port, bridges bytes\n\
between the module's UART and a Bluetooth or IrDA port, and suspends, resumes\n\
and resets the radio. A GTK window, or a console front-end for SSH sessions and\n\
scripts. Includes kov02a-sim, a module simulator for trying the tool without\n\
hardware.")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${KOV02_HOMEPAGE}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Files under /etc are the administrator's once installed: an upgrade must not overwrite edits.
file(WRITE ${CMAKE_BINARY_DIR}/debian-control/conffiles "${KOV02_CONFIG_FULL_DIR}/kov02tool.reg\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian-control/conffiles)
include(CPack)
