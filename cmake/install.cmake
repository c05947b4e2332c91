# Installation (cmake --install) and the Debian package (cpack, through
# scripts/package.sh). Every path is fixed here at configure time, so the
# daemon's compiled-in defaults, the installed configuration and the service
# units name the same places.

# The Debian layout: programs under /usr, configuration in /etc, logs and
# cache under /var. A tree configured before this file chose the prefix
# holds CMake's default, /usr/local; it moves to /usr once.
if(NOT DEFINED CACHE{KORVANTEL_PREFIX_CHOSEN})
  if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR
     (CMAKE_INSTALL_PREFIX STREQUAL "/usr/local" AND DEFINED CACHE{TINYXML_LIB}))
    set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
  endif()
  set(KORVANTEL_PREFIX_CHOSEN ON CACHE INTERNAL "")
endif()
include(GNUInstallDirs)

# Each directory may be set; empty follows the prefix.
macro(korvantel_dir var default doc)
  set(${var} "" CACHE PATH "${doc} (empty: ${default})")
  if(NOT ${var})
    set(${var} "${default}")
  endif()
endmacro()
korvantel_dir(KORVANTEL_CONFDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/korvantel"
  "Directory of korvantel.xml, section.xml and the installation key")
korvantel_dir(KORVANTEL_DEFAULTFILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/korvantel"
  "Settings of the service: listening address, options, days rotated logs are kept")
korvantel_dir(KORVANTEL_LOGDIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/korvantel" "Log directory")
korvantel_dir(KORVANTEL_CACHEDIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/cache/korvantel"
  "Directory of the disk cache store")
korvantel_dir(KORVANTEL_LIBEXECDIR "${CMAKE_INSTALL_PREFIX}/lib/korvantel"
  "Directory of the modules and helper programs")
korvantel_dir(KORVANTEL_SYSTEMD_UNITDIR "/lib/systemd/system" "Directory of the systemd units")
set(KORVANTEL_PACKAGE_MAINTAINER "Korvantel developers <korvantel@example.org>" CACHE STRING
  "Maintainer field of the Debian package")

set(KORVANTEL_SBINDIR "${CMAKE_INSTALL_FULL_SBINDIR}")
set(KORVANTEL_MODULEDIR "${KORVANTEL_LIBEXECDIR}/modules")
set(KORVANTEL_DOCDIR "${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/korvantel")

# Compiled-in defaults, used when the command line names no other path.
set_property(SOURCE src/settings.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  KORVANTEL_DEFAULT_MODULEDIR="${KORVANTEL_MODULEDIR}/"
  KORVANTEL_DEFAULT_PLOGFILE="${KORVANTEL_LOGDIR}/performance.log")
# The release label that -v prints is the package's version.
target_compile_definitions(korvantel_core PUBLIC KORVANTEL_RELEASE="${PROJECT_VERSION}")

# The installed configuration: the shipped one with the disk store in the
# cache directory. scripts/run.sh uses conf/ itself.
set(shipped_store "<path>/var/cache/korvantel</path>")
file(READ ${CMAKE_SOURCE_DIR}/conf/korvantel.xml config_text)
string(FIND "${config_text}" "${shipped_store}" store_at)
if(store_at EQUAL -1)
  message(WARNING "conf/korvantel.xml names no ${shipped_store} to install as ${KORVANTEL_CACHEDIR}")
endif()
string(REPLACE "${shipped_store}" "<path>${KORVANTEL_CACHEDIR}</path>" config_text "${config_text}")
set(packaging ${CMAKE_BINARY_DIR}/packaging)
file(WRITE ${packaging}/korvantel.xml.tmp "${config_text}")
configure_file(${packaging}/korvantel.xml.tmp ${packaging}/korvantel.xml COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/conf/korvantel.xml)

foreach(name korvantel.service korvantel-logrotate.service default korvantel-logclean postinst postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${name}.in ${packaging}/${name} @ONLY)
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/packaging/prerm ${packaging}/prerm COPYONLY)
file(WRITE ${packaging}/conffiles
  "${KORVANTEL_CONFDIR}/korvantel.xml\n${KORVANTEL_CONFDIR}/section.xml\n${KORVANTEL_DEFAULTFILE}\n")

install(TARGETS korvantel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(DIRECTORY DESTINATION ${KORVANTEL_LIBEXECDIR}/modules)
install(PROGRAMS ${packaging}/korvantel-logclean DESTINATION ${KORVANTEL_LIBEXECDIR})
install(FILES ${packaging}/korvantel.service ${packaging}/korvantel-logrotate.service
  ${CMAKE_SOURCE_DIR}/packaging/korvantel-logrotate.timer DESTINATION ${KORVANTEL_SYSTEMD_UNITDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${KORVANTEL_DOCDIR})

# Configuration files are the administrator's once installed: an existing
# one is kept (the package leaves this to dpkg's conffile handling).
get_filename_component(default_dir ${KORVANTEL_DEFAULTFILE} DIRECTORY)
get_filename_component(default_name ${KORVANTEL_DEFAULTFILE} NAME)
foreach(item
    "${packaging}/korvantel.xml|${KORVANTEL_CONFDIR}|korvantel.xml"
    "${CMAKE_SOURCE_DIR}/conf/section.xml|${KORVANTEL_CONFDIR}|section.xml"
    "${packaging}/default|${default_dir}|${default_name}")
  string(REPLACE "|" ";" item "${item}")
  list(GET item 0 from)
  list(GET item 1 to)
  list(GET item 2 name)
  install(CODE "
    if(EXISTS \"\$ENV{DESTDIR}${to}/${name}\")
      message(STATUS \"Keeping: \$ENV{DESTDIR}${to}/${name}\")
    else()
      file(INSTALL \"${from}\" DESTINATION \"${to}\" RENAME \"${name}\"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()")
endforeach()

# The package's changelog; compressed without a time stamp, so that the same
# sources give the same package.
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${packaging}/changelog @ONLY)
add_custom_command(OUTPUT ${packaging}/changelog.gz
  COMMAND gzip -9nc ${packaging}/changelog > ${packaging}/changelog.gz
  DEPENDS ${packaging}/changelog)
add_custom_target(korvantel_changelog ALL DEPENDS ${packaging}/changelog.gz)
install(FILES ${packaging}/changelog.gz DESTINATION ${KORVANTEL_DOCDIR})

# Installing and packaging take what was built and build nothing: the
# package test packs the tree it runs in, where a pass of make over every
# test target would take longer than the packing.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvantel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "content-filtering caching proxy daemon")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Korvantel is a multi-threaded HTTP proxy with a disk cache, URL, header,
MIME, cookie and keyword filters, virus scanner and ICAP hooks, LDAP, PAM
and NTLM authentication, and a web interface for its configuration.

This package runs it as the systemd service korvantel.service under its
own user, with its logs rotated daily.")
set(CPACK_PACKAGE_CONTACT "${KORVANTEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVANTEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# useradd and groupadd, for the postinst
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${packaging}/conffiles ${packaging}/postinst ${packaging}/prerm ${packaging}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
