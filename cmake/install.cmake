# install.cmake - what `cmake --install` puts where, and the packages CPack
# makes of it.
#
# Layout (GNUInstallDirs below the prefix):
#   bin/mailward                       the command-line host
#   lib*/libmailward.so, libqorcsock.so, libmiralib.so, libvaveriz.so
#                                      the product and its platform libraries
#                                      (Windows: bin/*.dll, lib/*.dll.a)
#   include/mailward.h                 the one public header
#   lib*/pkgconfig/mailward.pc         pkg-config: cc host.c $(pkg-config --cflags --libs mailward)
#   lib*/cmake/mailward/               find_package(mailward): target mailward::mailward
#   share/mailward/templates/          the information text of infected mails
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
# Packages: `cpack -G DEB` (Debian, dependencies from dpkg-shlibdeps) and
# `cpack -G ZIP` (the Windows DLLs with their import libraries).
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

set_target_properties(mailward PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION
                                          ${PROJECT_VERSION_MAJOR})
if(WIN32)
  set_target_properties(mailward PROPERTIES VERSION "" SOVERSION "")
endif()

install(TARGETS mailward
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qorcsock miralib vaveriz
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS mailward-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${MAILWARD_SOURCE_DIR}/include/mailward.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# share/ of the source tree is laid out as the installed share/mailward.
install(DIRECTORY ${MAILWARD_SOURCE_DIR}/share/ DESTINATION ${MW_SHARE_DIR})

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
  install(FILES ${_man}/mailward.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${_man}/mailward.conf.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
  if(TARGET mailward-milter)
    install(FILES ${_man}/mailward-milter.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
endif()

# pkg-config
set(MW_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(MW_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
file(RELATIVE_PATH MW_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${MAILWARD_SOURCE_DIR}/cmake/mailward.pc.in ${CMAKE_BINARY_DIR}/mailward.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/mailward.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

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
        DESTINATION ${MW_CMAKE_DIR})

# CPack
set(CPACK_PACKAGE_NAME mailward)
set(CPACK_PACKAGE_VENDOR "mailward developers")
set(CPACK_PACKAGE_CONTACT "mailward developers <mailward@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail-security filter library for mail server hosts")
set(CPACK_PACKAGE_DESCRIPTION
    "mailward parses mails into MIME part trees, scans them with a virus engine \
(libclamav), moves or removes attachments by rules, checks headers and writes \
the secured mail. Shared library, public C header and the mailward \
command-line host.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME mailward-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
endif()
include(CPack)
