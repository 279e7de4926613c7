# The installed product beyond the program and its names (src/CMakeLists.txt
# installs those): the manual page and the bash completion, one of each per
# installed name, the copyright and changelog files, and the Debian package
# that `cpack -G DEB` makes from the same install rules. The version is
# project()'s in CMakeLists.txt, and nowhere else: the package, the manual
# page's header and the changelog take it from there, and the build fails when
# the newest entry of CHANGELOG.md names another.
#
#   cmake --build build && cpack -G DEB --config build/CPackConfig.cmake -B build/package
#   scripts/lint-package   # the same, then lintian on the package

include(GNUInstallDirs)

# Who answers for the package: its Maintainer field and the changelog's
# signature.
set(ZIDAVOVEVA_MAINTAINER "Zidavoveva Developers <maintainers@zidavoveva.org>")

# Every name the program is installed under, as src/CMakeLists.txt lists them.
get_directory_property(zidavoveva_names DIRECTORY src DEFINITION TAVREL_INSTALL_NAMES)
if(NOT zidavoveva_names)
  set(zidavoveva_names zidavoveva_service)
endif()

# The manual page, with its FILES section made afresh from man/FILES.md.
set(zidavoveva_man_src ${CMAKE_CURRENT_SOURCE_DIR}/man/zidavoveva.8)
set(zidavoveva_man ${CMAKE_CURRENT_BINARY_DIR}/man/zidavoveva.8)
add_custom_command(
  OUTPUT ${zidavoveva_man} ${zidavoveva_man}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/man/build-page.sh ${zidavoveva_man_src}
          ${CMAKE_CURRENT_SOURCE_DIR}/man/FILES.md ${zidavoveva_man} ${PROJECT_VERSION}
  COMMAND gzip -9nkf ${zidavoveva_man}
  DEPENDS ${zidavoveva_man_src} ${CMAKE_CURRENT_SOURCE_DIR}/man/FILES.md
          ${CMAKE_CURRENT_SOURCE_DIR}/man/build-page.sh
          ${CMAKE_CURRENT_SOURCE_DIR}/man/files-section.awk
  COMMENT "Manual page with the FILES section from man/FILES.md"
  VERBATIM)
add_custom_target(zidavoveva_man ALL DEPENDS ${zidavoveva_man}.gz)

# The package's changelog, in Debian's format, made from CHANGELOG.md. The
# package is native (its version has no Debian revision), so Debian wants it
# as changelog.gz, beside the machine-readable copyright file.
set(zidavoveva_changelog ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
add_custom_command(
  OUTPUT ${zidavoveva_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/doc
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian-changelog.sh
          ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_VERSION}
          ${ZIDAVOVEVA_MAINTAINER} ${zidavoveva_changelog}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md
          ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian-changelog.sh
  COMMENT "Debian changelog from CHANGELOG.md"
  VERBATIM)
add_custom_target(zidavoveva_doc ALL DEPENDS ${zidavoveva_changelog})
add_test(NAME debian_changelog
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/tests/packaging/debian-changelog-test.sh
                 ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian-changelog.sh)
set_tests_properties(debian_changelog PROPERTIES LABELS packaging TIMEOUT 60)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${zidavoveva_changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Rotation of the tool's logs, where logrotate looks for it whatever the
# prefix; the package marks it as a configuration file of the administrator's.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/logrotate
        DESTINATION /etc/logrotate.d RENAME zidavoveva)

set(zidavoveva_man_dir ${CMAKE_INSTALL_MANDIR}/man8)
set(zidavoveva_completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${zidavoveva_man}.gz DESTINATION ${zidavoveva_man_dir})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completion/zidavoveva
        DESTINATION ${zidavoveva_completion_dir})
# man finds the page, and bash-completion the completion, by the command's
# name: a link of each per name.
foreach(name zidavoveva_base ${zidavoveva_names})
  install(CODE "
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(CREATE_LINK zidavoveva.8.gz \"\${root}/${zidavoveva_man_dir}/${name}.8.gz\" SYMBOLIC)
    file(CREATE_LINK zidavoveva \"\${root}/${zidavoveva_completion_dir}/${name}\" SYMBOLIC)
  ")
endforeach()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zidavoveva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZIDAVOVEVA_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "restart, start, stop, reload or check a service of a hosting server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "One program installed under a name per service (zidavoveva_<service>,\nstart<service>, stop<service>, zidavoveva_service) that drives a daemon\nthrough systemd or its SysV init script, with a run lock per service,\nclean-up of leftover processes, health checks and the startup log on\nfailure.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: the shared libraries the program links, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "procps")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
# Purging removes what runs left behind, except the logs.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack counts each of the program's links as a copy of it in Installed-Size.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/DebInstalledSize.cmake)
include(CPack)
