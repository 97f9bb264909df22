# Installation of everything an administrator needs beside the programs
# (man pages, completion, scheduled update, log rotation, sample
# configuration) and the Debian package made from all install() rules.
#
# Included once from the top-level CMakeLists. The package itself is set up
# at the very end of the top-level directory (cmake_language DEFER), so the
# install() rules of every subdirectory, including ones added later, end up
# in it without an edit here. A subdirectory whose installed files need
# another Debian package at run time appends it to the global property
# QDU_PACKAGE_DEPENDS, e.g.
#   set_property(GLOBAL APPEND PROPERTY QDU_PACKAGE_DEPENDS "default-jre-headless")
# Shared-library dependencies are found by dpkg-shlibdeps and need nothing.

include(GNUInstallDirs)

set(QDU_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
option(QDU_MANPAGES "Build and install the man pages (needs scdoc)" ON)

# Debian 12 keeps system units in /lib; elsewhere they live below the prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QDU_DEFAULT_UNIT_DIR /lib/systemd/system)
else()
  set(QDU_DEFAULT_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(QDU_SYSTEMD_UNIT_DIR ${QDU_DEFAULT_UNIT_DIR} CACHE PATH "Where the systemd units are installed")
set(QDU_LIBEXEC_FULL_DIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/qordefutil)

# --- Man pages: scdoc sources, installed gzip'ed ------------------------------
# gzip -n keeps the build reproducible (no name or time stamp in the header).
function(qdu_add_manpage source)
  get_filename_component(page ${source} NAME)
  string(REGEX REPLACE "\\.scd$" "" page ${page})
  string(REGEX MATCH "[0-9]$" section ${page})
  set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "'${QDU_SCDOC}' < '${source}' > '${PROJECT_BINARY_DIR}/man/${page}'"
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${page}
    DEPENDS ${source}
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY QDU_MANPAGE_OUTPUTS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

if(QDU_MANPAGES)
  find_program(QDU_SCDOC scdoc)
  if(NOT QDU_SCDOC)
    message(WARNING "scdoc not found: the man pages are neither built nor installed "
                    "(apt-get install scdoc, or -DQDU_MANPAGES=OFF to silence this)")
  else()
    set(pages qordefutil.1 mkmicrodefs.1 Tarvolix.conf.5)
    # Pages of the commands that live in their own folders, once those exist.
    if(EXISTS ${PROJECT_SOURCE_DIR}/publisher/CMakeLists.txt)
      list(APPEND pages qordefpublish.1)
    endif()
    if(EXISTS ${PROJECT_SOURCE_DIR}/client/CMakeLists.txt)
      list(APPEND pages skyfetcher.1)
    endif()
    foreach(page ${pages})
      qdu_add_manpage(${QDU_PACKAGING_DIR}/man/${page}.scd)
    endforeach()
    get_property(outputs GLOBAL PROPERTY QDU_MANPAGE_OUTPUTS)
    add_custom_target(manpages ALL DEPENDS ${outputs})
    # Both configuration files are described on one page.
    install(CODE "file(CREATE_LINK Tarvolix.conf.5.gz
      \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_MANDIR}/man5/tvlx-defutils.conf.5.gz\" SYMBOLIC)")
  endif()
endif()

# --- Completion, scheduled update, log rotation, sample configuration ---------
install(FILES ${QDU_PACKAGING_DIR}/bash-completion/qordefutil
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

configure_file(${QDU_PACKAGING_DIR}/systemd/qordefutil-update.service.in
  ${PROJECT_BINARY_DIR}/systemd/qordefutil-update.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/systemd/qordefutil-update.service
  ${QDU_PACKAGING_DIR}/systemd/qordefutil-update.timer
  DESTINATION ${QDU_SYSTEMD_UNIT_DIR})
configure_file(${QDU_PACKAGING_DIR}/systemd/scheduled-update.in
  ${PROJECT_BINARY_DIR}/systemd/scheduled-update @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/systemd/scheduled-update DESTINATION ${QDU_LIBEXEC_FULL_DIR})

install(FILES ${QDU_PACKAGING_DIR}/etc/logrotate RENAME qordefutil
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d)
install(FILES ${QDU_PACKAGING_DIR}/etc/Tarvolix.conf.sample
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR})
install(FILES ${QDU_PACKAGING_DIR}/etc/scheduled-update.conf
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/qordefutil)

# Debian wants a copyright file and a compressed changelog with every package.
set(QDU_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/qordefutil)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND sh -c "gzip -9nc < '${QDU_PACKAGING_DIR}/debian/changelog' > '${PROJECT_BINARY_DIR}/doc/changelog.gz'"
  DEPENDS ${QDU_PACKAGING_DIR}/debian/changelog
  VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
install(FILES ${QDU_PACKAGING_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
  DESTINATION ${QDU_DOC_DIR})

# The completion, the scheduled update's runner and the pages are checked
# with the other tests.
if(BUILD_TESTING)
  add_test(NAME packaging.completion COMMAND bash ${QDU_PACKAGING_DIR}/tests/completion-test.sh
    ${QDU_PACKAGING_DIR}/bash-completion/qordefutil)
  add_test(NAME packaging.scheduled_update COMMAND bash
    ${QDU_PACKAGING_DIR}/tests/scheduled-update-test.sh ${PROJECT_BINARY_DIR}/systemd/scheduled-update)
  if(TARGET manpages)
    add_test(NAME packaging.manpages
      COMMAND sh ${QDU_PACKAGING_DIR}/tests/manpage-test.sh ${PROJECT_BINARY_DIR}/man)
  endif()
endif()

# --- The Debian package -------------------------------------------------------
macro(qdu_configure_package)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME qordefutil)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT "qordefutil maintainers <qordefutil@users.noreply.example.org>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "administer the shared store of virus-definition sets")
  # The summary above is the synopsis line; this is the extended part.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "qordefutil keeps one machine's directory tree of virus-definition sets\n"
    "consistent for every client application that reads from it: it installs\n"
    "sets, registers applications, removes sets nobody uses, restores the\n"
    "previous set and runs the update client for full sets and microdefs.\n"
    "The package also holds the microdefs patch library, the package maker,\n"
    "a systemd timer for scheduled updates and log rotation for the debug log.")
  string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  # Only the files we install: no directories such as /usr or /etc.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The update client runs on Java 17; libraries its jar names in its
  # Class-Path come through QDU_PACKAGE_DEPENDS from client/ itself.
  if(EXISTS ${PROJECT_SOURCE_DIR}/client/CMakeLists.txt)
    set_property(GLOBAL APPEND PROPERTY QDU_PACKAGE_DEPENDS
      "default-jre-headless (>= 2:1.17) | java17-runtime-headless")
  endif()
  get_property(extra_depends GLOBAL PROPERTY QDU_PACKAGE_DEPENDS)
  set(depends adduser ${extra_depends})
  list(REMOVE_DUPLICATES depends)
  string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, logrotate")

  # Everything installed below /etc is a conffile, except nothing the tool
  # writes itself (/etc/tvlx-defutils.conf is never shipped).
  set(conffiles logrotate.d/qordefutil Tarvolix.conf.sample qordefutil/scheduled-update.conf)
  if(EXISTS ${PROJECT_SOURCE_DIR}/client/CMakeLists.txt)
    list(APPEND conffiles qordefutil/skyfetcher.conf)  # the update client's settings
  endif()
  set(conffiles_text "")
  foreach(conffile ${conffiles})
    string(APPEND conffiles_text "${CMAKE_INSTALL_FULL_SYSCONFDIR}/${conffile}\n")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${conffiles_text}")
  foreach(script postinst prerm postrm triggers)
    configure_file(${QDU_PACKAGING_DIR}/debian/${script}.in ${PROJECT_BINARY_DIR}/debian/${script}
      @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/conffiles ${PROJECT_BINARY_DIR}/debian/postinst
    ${PROJECT_BINARY_DIR}/debian/prerm ${PROJECT_BINARY_DIR}/debian/postrm
    ${PROJECT_BINARY_DIR}/debian/triggers)
  include(CPack)
endmacro()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL qdu_configure_package)
