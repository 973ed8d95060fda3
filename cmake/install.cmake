# install.cmake - what `cmake --install` puts where, and the packages CPack
# makes of it.
#
# Layout (GNUInstallDirs below the prefix):
#   bin/mailward, bin/mailward-milter  the command-line host, the milter
#   lib*/libmailward.so.0, libqorcsock.so.0, libmiralib.so.0, libvaveriz.so.0
#                                      the product and its platform libraries,
#                                      each with the soname of the project's
#                                      major version (Windows: bin/*.dll,
#                                      lib/*.dll.a); lib*/lib*.so the links
#                                      a build links against
#   include/mailward.h                 the one public header
#   lib*/pkgconfig/mailward.pc         pkg-config: cc host.c $(pkg-config --cflags --libs mailward)
#   lib*/cmake/mailward/               find_package(mailward): target mailward::mailward
#   share/mailward/templates/          the information text of infected mails
#                                      and the milter's administrator notice
#   share/mailward/signatures/         the project's own signature database
#   share/mailward/examples/           configuration, rules file, spam list, sample
#                                      mails; examples/milter/ for the milter
#   share/man/man1/mailward.1.gz, man8/mailward-milter.8.gz, man5/mailward.conf.5.gz
#                                      made by the build from the programs'
#                                      --help texts and the key tables
#                                      (cmake/man_pages.cmake)
# (share/ of the source tree, as it stands)
# The host library finds templates and signatures in share/mailward by the
# relative path from its own folder (MIRALIB_SHARE_FROM_LIB), so an
# installed tree can be moved as a whole.
#
# Packages: `cpack -G DEB` makes three Debian packages, one per component
# (dependencies from dpkg-shlibdeps, the library's shlibs file generated):
#   mailward         (component runtime) the libraries, the mailward
#                    program, share/mailward, mailward(1), mailward.conf(5)
#   mailward-milter  (component milter) the milter, mailward-milter(8), and
#                    the service: its systemd unit, /etc/mailward/mailward.conf
#                    and /etc/mailward/rules.conf as conffiles, and the
#                    maintainer scripts of cmake/debian/ (the system user
#                    mailward, /var/lib/mailward, the socket's folder in
#                    Postfix's spool)
#   mailward-dev     (component dev) the header, the links to link against,
#                    pkg-config and the CMake package
# The service's files and the Debian documentation (copyright, changelog,
# the lintian overrides with the reason for each tag kept) are only in the
# packages: a plain `cmake --install` of a prefix leaves /etc and
# /lib/systemd alone. A build configured with CMAKE_INSTALL_PREFIX=/usr
# puts the libraries into Debian's multiarch folder (lib/x86_64-linux-gnu),
# as packages for Debian should (.ci/run's package section does so).
# MAILWARD_DEB_MAINTAINER names who builds the packages. `cpack -G ZIP`
# packs the Windows DLLs with their import libraries.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MW_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/mailward)
file(RELATIVE_PATH MW_SHARE_FROM_LIB /prefix/${CMAKE_INSTALL_LIBDIR} /prefix/${MW_SHARE_DIR})
if(WIN32)
  # DLLs sit in bin/, the share folder beside it.
  file(RELATIVE_PATH MW_SHARE_FROM_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${MW_SHARE_DIR})
endif()
target_compile_definitions(miralib PRIVATE MIRALIB_SHARE_FROM_LIB="${MW_SHARE_FROM_LIB}")

# Installed programs and libraries find their own libraries relative to
# themselves.
if(APPLE)
  set(_origin @loader_path)
else()
  set(_origin $ORIGIN)
endif()
file(RELATIVE_PATH _lib_from_bin /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set_target_properties(mailward qorcsock miralib vaveriz PROPERTIES INSTALL_RPATH "${_origin}")
set_target_properties(mailward-cli PROPERTIES INSTALL_RPATH "${_origin}/${_lib_from_bin}")

# Every shared library carries the soname of the major version, the
# platform libraries too: hosts link qorcsock and miralib themselves.
set(MW_LIBRARIES mailward qorcsock miralib vaveriz)
if(NOT WIN32)
  set_target_properties(${MW_LIBRARIES} PROPERTIES VERSION ${PROJECT_VERSION}
                                                   SOVERSION ${PROJECT_VERSION_MAJOR})
  # The hosts load the library by its soname, the one file the runtime
  # package has (library_loader.cpp).
  target_compile_definitions(mailward_hostkit PRIVATE
    MAILWARD_LIBRARY_SONAME="$<TARGET_SONAME_FILE_NAME:mailward>")
endif()

install(TARGETS ${MW_LIBRARIES}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS mailward-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${MAILWARD_SOURCE_DIR}/include/mailward.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
# share/ of the source tree is laid out as the installed share/mailward.
install(DIRECTORY ${MAILWARD_SOURCE_DIR}/share/ DESTINATION ${MW_SHARE_DIR} COMPONENT runtime)

# The manual pages, made by the build from the programs themselves.
if(NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(_man ${CMAKE_BINARY_DIR}/man)
  set(_pages ${_man}/mailward.1.gz ${_man}/mailward.conf.5.gz)
  set(_milter_arg "")
  if(TARGET mailward-milter)
    list(APPEND _pages ${_man}/mailward-milter.8.gz)
    set(_milter_arg -DMILTER=$<TARGET_FILE:mailward-milter>)
  endif()
  add_custom_command(OUTPUT ${_pages}
    COMMAND ${CMAKE_COMMAND} -DMAILWARD=$<TARGET_FILE:mailward-cli> ${_milter_arg}
            -DREFERENCE=$<TARGET_FILE:config_reference> -DVERSION=${PROJECT_VERSION}
            -DOUT=${_man} -P ${MAILWARD_SOURCE_DIR}/cmake/man_pages.cmake
    DEPENDS mailward-cli config_reference $<TARGET_NAME_IF_EXISTS:mailward-milter>
            ${MAILWARD_SOURCE_DIR}/cmake/man_pages.cmake
    COMMENT "Manual pages from the programs' --help texts and the key tables" VERBATIM)
  add_custom_target(man_pages ALL DEPENDS ${_pages})
  install(FILES ${_man}/mailward.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  install(FILES ${_man}/mailward.conf.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5
          COMPONENT runtime)
  if(TARGET mailward-milter)
    install(FILES ${_man}/mailward-milter.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
            COMPONENT milter)
  endif()
endif()

# The service and the Debian documentation: in the packages only
# (EXCLUDE_FROM_ALL: a component install, as CPack makes, takes them).
set(_debian ${MAILWARD_SOURCE_DIR}/cmake/debian)
set(MAILWARD_DEB_MAINTAINER "mailward developers <mailward@example.org>" CACHE STRING
    "Maintainer of the Debian packages: the one who builds them for a site")
# The date of the packages' changelog entry (and of the manual pages).
set(MW_DEB_DATE "Tue, 08 Dec 2026 12:00:00 +0000")
if(NOT WIN32 AND TARGET mailward-milter)
  install(FILES ${MAILWARD_SOURCE_DIR}/share/examples/milter/mailward-milter.service
          DESTINATION /lib/systemd/system COMPONENT milter EXCLUDE_FROM_ALL)
  install(FILES ${MAILWARD_SOURCE_DIR}/share/examples/milter/mailward-milter.conf
          DESTINATION /etc/mailward RENAME mailward.conf COMPONENT milter EXCLUDE_FROM_ALL)
  install(FILES ${MAILWARD_SOURCE_DIR}/share/examples/rules.conf
          DESTINATION /etc/mailward COMPONENT milter EXCLUDE_FROM_ALL)
endif()
if(NOT WIN32)
  set(MW_DEB_MAINTAINER "${MAILWARD_DEB_MAINTAINER}")
  foreach(_pair mailward:runtime mailward-milter:milter mailward-dev:dev)
    string(REPLACE ":" ";" _pair ${_pair})
    list(GET _pair 0 MW_DEB_PACKAGE)
    list(GET _pair 1 _component)
    set(_doc ${CMAKE_BINARY_DIR}/debian/${MW_DEB_PACKAGE})
    configure_file(${_debian}/changelog.in ${_doc}/changelog @ONLY)
    add_custom_command(OUTPUT ${_doc}/changelog.gz
      COMMAND gzip -9nkf ${_doc}/changelog
      DEPENDS ${_doc}/changelog VERBATIM)
    list(APPEND _changelogs ${_doc}/changelog.gz)
    install(FILES ${_debian}/copyright ${_doc}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${MW_DEB_PACKAGE} COMPONENT ${_component}
            EXCLUDE_FROM_ALL)
  endforeach()
  add_custom_target(debian_changelogs ALL DEPENDS ${_changelogs})
  # The tags lintian gives that the packages keep, each with its reason.
  install(FILES ${_debian}/runtime/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME mailward COMPONENT runtime EXCLUDE_FROM_ALL)
  install(FILES ${_debian}/milter/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME mailward-milter COMPONENT milter EXCLUDE_FROM_ALL)
endif()

# pkg-config
set(MW_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(MW_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
file(RELATIVE_PATH MW_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${MAILWARD_SOURCE_DIR}/cmake/mailward.pc.in ${CMAKE_BINARY_DIR}/mailward.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/mailward.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# CMake package
set(MW_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mailward)
# The library's installed file names, for the imported target.
if(WIN32)
  set(MW_LIBRARY_FILE ${CMAKE_INSTALL_BINDIR}/mailward.dll)
  set(MW_IMPLIB_FILE ${CMAKE_INSTALL_LIBDIR}/libmailward.dll.a)
else()
  set(MW_LIBRARY_FILE
      ${CMAKE_INSTALL_LIBDIR}/${CMAKE_SHARED_LIBRARY_PREFIX}mailward${CMAKE_SHARED_LIBRARY_SUFFIX})
  set(MW_IMPLIB_FILE "")
endif()
configure_package_config_file(
  ${MAILWARD_SOURCE_DIR}/cmake/mailwardConfig.cmake.in ${CMAKE_BINARY_DIR}/mailwardConfig.cmake
  INSTALL_DESTINATION ${MW_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR MW_LIBRARY_FILE MW_IMPLIB_FILE)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/mailwardConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/mailwardConfig.cmake
              ${CMAKE_BINARY_DIR}/mailwardConfigVersion.cmake
        DESTINATION ${MW_CMAKE_DIR} COMPONENT dev)

# CPack
set(CPACK_PACKAGE_NAME mailward)
set(CPACK_PACKAGE_VENDOR "mailward developers")
set(CPACK_PACKAGE_CONTACT "${MAILWARD_DEB_MAINTAINER}")
# Each Debian package's description starts with its own summary line
# (CPACK_COMPONENT_*_DESCRIPTION): CPack would put a summary of the
# whole project before each. The lines after the summary have no leading
# blank: CPack gives each line of the package's description its one.
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail-security filter library for mail server hosts")
endif()
set(CPACK_PACKAGE_DESCRIPTION
    "mailward parses mails into MIME part trees, scans them with a virus engine \
(libclamav), moves or removes attachments by rules, checks headers and writes \
the secured mail.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME mailward-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME})
set(CPACK_GENERATOR DEB)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
endif()

# Debian: one package per component.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime milter dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs of mailward-milter link the platform libraries of the
# package mailward: dpkg-shlibdeps runs in each component's staging folder,
# and finds them in the runtime component's beside it (the dependency on
# mailward itself comes from the component's own).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../runtime/usr/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_MILTER_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME mailward)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION mail)
# Own maintainer scripts (CPack would call ldconfig in them) and libc's
# ldconfig trigger instead.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    "${_debian}/runtime/postinst;${_debian}/runtime/postrm;${_debian}/runtime/triggers")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "mail-security filter library and its command-line host
mailward parses each mail into a tree of MIME parts, scans the whole mail and
every decoded part with a virus engine (libclamav), moves or removes
attachments by rules, checks the header against header rules and a spam
list, and writes the secured mail. This package holds the shared library
with its platform libraries and the mailward program, which checks mail
files, folders and Maildirs and checks a configuration.")

set(CPACK_DEBIAN_MILTER_PACKAGE_NAME mailward-milter)
set(CPACK_DEBIAN_MILTER_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_MILTER_PACKAGE_DEPENDS "adduser")
# An MTA that speaks the milter protocol; Debian's default MTA does not.
set(CPACK_DEBIAN_MILTER_PACKAGE_SUGGESTS "postfix | sendmail-bin")
set(CPACK_DEBIAN_MILTER_PACKAGE_ENHANCES "postfix, sendmail-bin")
set(CPACK_DEBIAN_MILTER_PACKAGE_CONTROL_EXTRA
    "${_debian}/milter/conffiles;${_debian}/milter/postinst;${_debian}/milter/prerm;${_debian}/milter/postrm")
set(CPACK_DEBIAN_MILTER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_MILTER_DESCRIPTION
    "mail filter (milter) daemon of mailward for Postfix and Sendmail
mailward-milter puts the mailward library into the mail flow of Postfix or
Sendmail over the milter protocol: every message is checked in one of its
checking processes and delivered as the library rewrote it, rejected, or
held in the MTA's hold queue. It runs as a systemd service of its own
user (Type=notify, with a watchdog); /etc/mailward/mailward.conf holds its
settings, and mailward-milter --check-config checks them.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME mailward-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "development files of the mailward library
The public C header of mailward, the links to build against, the
pkg-config file (pkg-config --cflags --libs mailward) and the CMake
package (find_package(mailward), target mailward::mailward).")
include(CPack)
