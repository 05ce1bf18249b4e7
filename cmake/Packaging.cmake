# Installation and the Debian package.
#
#   cmake --install build --prefix /usr/local   programs, manual pages, shell
#                                               completion, documentation,
#                                               examples and the licence
#   cd build && cpack -G DEB                     nexli_<version>_<arch>.deb
#
# Everything goes to the default install component.
include(GNUInstallDirs)

# Manual pages, compressed as Debian wants them when gzip is at hand.
set(NEXLI_MAN_PAGES ${PROJECT_SOURCE_DIR}/doc/nexli.1)
if(TARGET hubsim)
  list(APPEND NEXLI_MAN_PAGES ${PROJECT_SOURCE_DIR}/doc/hubsim.1)
endif()
find_program(NEXLI_GZIP gzip)
if(NEXLI_GZIP)
  set(compressed_pages "")
  foreach(page ${NEXLI_MAN_PAGES})
    get_filename_component(name ${page} NAME)
    set(compressed ${PROJECT_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${NEXLI_GZIP} -9 -n -c ${page} > ${compressed}
      DEPENDS ${page}
      COMMENT "Compressing manual page ${name}"
      VERBATIM)
    list(APPEND compressed_pages ${compressed})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${compressed_pages})
  install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${NEXLI_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Shell completion, where Debian's bash, zsh and fish look for it. bash and
# fish load a command's completion from the file of its name, so nexla has a
# file of its own that loads nexli's; zsh finds both in _nexli's #compdef.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/bash-completion/nexli
  ${PROJECT_SOURCE_DIR}/contrib/bash-completion/nexla
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/zsh-completion/_nexli
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/fish-completion/nexli.fish
  ${PROJECT_SOURCE_DIR}/contrib/fish-completion/nexla.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
# The README and the guides, and the files of contrib/ as examples, one folder
# each (udev, scripts, labgrid, pdudaemon, home-assistant, systemd), none of
# them executable; the completions have places of their own, and contrib's
# tests are no examples.
file(GLOB NEXLI_GUIDES ${PROJECT_SOURCE_DIR}/doc/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${NEXLI_GUIDES}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/contrib/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  PATTERN *-completion EXCLUDE
  PATTERN test_nexli_* EXCLUDE
  PATTERN __pycache__ EXCLUDE)
# The licence (MIT), under the name Debian gives it in every package.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
  RENAME copyright)

# The Debian package: cpack -G DEB in the build folder. Depends is worked out
# from the programs by dpkg-shlibdeps (package dpkg-dev).
set(NEXLI_PACKAGE_MAINTAINER "nexli developers <nexli@example.org>" CACHE STRING
  "Maintainer field of the Debian package")
set(CPACK_PACKAGE_NAME nexli)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "nexli developers")
set(CPACK_PACKAGE_CONTACT ${NEXLI_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "switch the ports of a Managed USB Hub from the command line")
set(CPACK_PACKAGE_DESCRIPTION "nexli talks to the controller of a Managed USB Hub through the hub's
USB serial control port (/dev/ttyUSBn): it finds hubs, reports their port
states, switches ports on and off, saves power-up states, changes the hub
password, restores the factory settings and resets the hub. hubsim, also
in this package, runs virtual hubs in a private /dev, for trying nexli and
testing scripts without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/;/build[^/]*/;/bench/out/;\\\\.swp\\$")
include(CPack)

# What Debian asks of the package besides its files, as lintian --pedantic
# checks it: the changelog, in Debian's format for a native package (each new
# version on top, naming the project's version), compressed as changelog.gz;
# lintian's overrides for what the package does on purpose, each with its
# reason; and a stripped install (cpack, cmake --install --strip) rid of the
# sections that only name the compiler (.comment, .note), as Debian's dh_strip
# does.
if(NEXLI_GZIP)
  set(changelog ${PROJECT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${NEXLI_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/CHANGELOG > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG
    COMMENT "Compressing the changelog"
    VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${changelog})
  install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG DESTINATION ${CMAKE_INSTALL_DOCDIR}
    RENAME changelog)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/cmake/nexli.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME nexli)
install(CODE "set(nexli_strip \"${CMAKE_STRIP}\")")
install(CODE [[
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program nexli hubsim)
      set(file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/${program}")
      if(EXISTS "${file}")
        execute_process(COMMAND "${nexli_strip}" --remove-section=.comment
          --remove-section=.note "${file}" COMMAND_ERROR_IS_FATAL ANY)
      endif()
    endforeach()
  endif()
]])
