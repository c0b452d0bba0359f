# What an installed system gets, and the Debian package that carries it: the programs and
# libraries (installed by their own folders), the systemd units, the system user, the man
# pages, and the maintainer scripts. `cpack -G DEB` in the build tree makes tzd_VERSION_ARCH.deb.

# The units, with the installed paths.
set(SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
foreach(unit platformd tzd)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/systemd/${unit}.service
                 ${CMAKE_BINARY_DIR}/systemd/${unit}.service @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/systemd/${unit}.service DESTINATION lib/systemd/system)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/sysusers/tzd.conf DESTINATION lib/sysusers.d)

# Man pages, from scdoc sources in docs/man/ (shared parts are included with "%include").
find_program(SCDOC scdoc)
find_program(MANDOC mandoc)
if(SCDOC)
  file(GLOB man_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.scd)
  set(man_outputs)
  foreach(page tzd.8 platformd.8 tzctl.1 platformctl.1)
    set(out ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(
      OUTPUT ${out} ${out}.gz
      COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_SOURCE_DIR}/docs/man/${page}.scd -DOUTPUT=${out}
              -DVERSION=${PROJECT_VERSION} -DSCDOC=${SCDOC} -DMANDOC=${MANDOC}
              -P ${CMAKE_SOURCE_DIR}/packaging/man_page.cmake
      DEPENDS ${man_sources} ${CMAKE_SOURCE_DIR}/packaging/man_page.cmake
      COMMENT "Man page ${page}")
    list(APPEND man_outputs ${out} ${out}.gz)
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
  add_custom_target(man ALL DEPENDS ${man_outputs})
else()
  message(WARNING "scdoc not found: no man pages are built, and the package lacks them")
endif()

# The Debian package. Its paths are the configured prefix's (the default preset's is /usr).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tzd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tzd developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "time-zone service of a router, with the platform it runs on")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
tzd keeps the router's time zone: on the card that holds the controller role it checks and \
applies the configured zone; on every other card it follows. It answers queries about the \
zones the system knows. The package carries tzd, the platform daemon platformd (system \
manager, LR daemon and configuration database), the command lines tzctl and platformctl, \
libplatform.so and libsysdb.so, and systemd units for both daemons.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The zoneinfo tree the service reads, and the tool the maintainer scripts make the user with.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tzdata, systemd | systemd-standalone-sysusers | systemd-sysusers")
# Cluster mode keeps the configuration in etcd.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "etcd-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES TRUE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
