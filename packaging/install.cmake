# Installation (`make install`, `cmake --install`, with DESTDIR and CMAKE_INSTALL_PREFIX) and the
# Debian package (`make deb`, CPack): programs, libkt, the web packages, the systemd units, the
# man pages, bash completion and the data-root helper.
include(GNUInstallDirs)

# Installing and packaging take what was built (make install and make deb build first), so the
# package of a test build does not rebuild everything.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(ORVANE_DATA_ROOT "/data/orvane" CACHE PATH "Data root the service runs on")
set(ORVANE_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Folder of the systemd units, relative to the prefix or absolute")
set(ORVANE_LIBEXEC_DIR "${CMAKE_INSTALL_FULL_LIBEXECDIR}/orvane")
set(ORVANE_CONF_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/orvane")
set(ORVANE_WEB_DIR "${CMAKE_INSTALL_FULL_DATADIR}/orvane/web")
set(ORVANE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# Installed programs find the installed libkt wherever the prefix is.
set_target_properties(orvaned orvane-dbupdate orvanectl PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

install(TARGETS orvaned orvane-dbupdate RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS orvanectl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kt LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(PROGRAMS ${ORVANE_PACKAGING_DIR}/orvane-init.sh DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/orvane
  RENAME orvane-init)

configure_file(${ORVANE_PACKAGING_DIR}/systemd/orvaned.service.in
  ${CMAKE_BINARY_DIR}/packaging/orvaned.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/orvaned.service DESTINATION ${ORVANE_SYSTEMD_UNIT_DIR})

install(FILES ${CMAKE_SOURCE_DIR}/man/orvaned.8 ${CMAKE_SOURCE_DIR}/man/orvane-dbupdate.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/man/orvanectl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/ctl/completion.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME orvanectl)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/commands.md
  ${CMAKE_SOURCE_DIR}/docs/deployment.md ${CMAKE_SOURCE_DIR}/docs/architecture.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# The web packages as the server serves them: each with the shared modules in its common/.
if(EXISTS ${CMAKE_SOURCE_DIR}/web/web)
  foreach(pkg web webmgmt websso)
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/web/${pkg}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/orvane/web/${pkg})
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/web/common/
      DESTINATION ${CMAKE_INSTALL_DATADIR}/orvane/web/${pkg}/common)
  endforeach()
endif()

# The host agent and its unit, when the tree builds it. Decided once every target is known.
function(orvane_install_hostd)
  if(TARGET orvane-hostd)
    set_target_properties(orvane-hostd PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS orvane-hostd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    configure_file(${ORVANE_PACKAGING_DIR}/systemd/orvane-hostd.service.in
      ${CMAKE_BINARY_DIR}/packaging/orvane-hostd.service @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/orvane-hostd.service
      DESTINATION ${ORVANE_SYSTEMD_UNIT_DIR})
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL orvane_install_hostd)

# The Debian package.
configure_file(${ORVANE_PACKAGING_DIR}/debian/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
file(COPY ${ORVANE_PACKAGING_DIR}/debian/prerm ${ORVANE_PACKAGING_DIR}/debian/postrm
  DESTINATION ${CMAKE_BINARY_DIR}/packaging)
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "orvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Orvane maintainers <maintainers@orvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "multi-tenant identity, authentication and authorization server")
set(CPACK_PACKAGE_DESCRIPTION
  "Orvane keeps a tree of domains with users, nested groups, resources and permissions, typed\nattributes, NSS profiles, net clients and an audit log, served over an XML command protocol\non HTTPS. Includes the orvaned service, orvane-dbupdate and the orvanectl command line.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6, libstdc++6, libgcc-s1, libcrypt1, libssl3t64 | libssl3, openssl, tar, gzip, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${CMAKE_BINARY_DIR}/packaging/postinst;${CMAKE_BINARY_DIR}/packaging/prerm;${CMAKE_BINARY_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
include(CPack)
