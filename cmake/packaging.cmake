# Debian packages (scripts/package, cpack -G DEB): `orvane`, the agent's program folder, and
# `orvane-reporter`, the logon reporter for Linux PCs. A plain `cmake --install` still installs
# the program folder alone: what only the packages carry is EXCLUDE_FROM_ALL.

set(ORVANE_PACKAGE_VERSION "" CACHE STRING "Debian package version (empty: the file version)")
if(ORVANE_PACKAGE_VERSION)
  set(_pkg_version "${ORVANE_PACKAGE_VERSION}")
else()
  set(_pkg_version "${ORVANE_FILE_VERSION}")
endif()
set(ORVANE_PACKAGE_MAINTAINER "Orvane developers <orvane@example.com>" CACHE STRING
    "Maintainer field and changelog signature of the Debian packages")
set(ORVANE_PROGRAM_FOLDER /opt/Orvane/Orvane)
set(_pkg_src ${CMAKE_SOURCE_DIR}/packaging/debian)
set(_pkg_gen ${CMAKE_BINARY_DIR}/packaging)

# The administrator's settings live in /etc (a conffile dpkg keeps over upgrades); the program
# folder's config.ini points there, and every writer replaces the file behind the link.
install(FILES packaging/config.ini DESTINATION /etc/orvane PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
        COMPONENT agent EXCLUDE_FROM_ALL)
file(MAKE_DIRECTORY ${_pkg_gen})
file(CREATE_LINK /etc/orvane/config.ini ${_pkg_gen}/config.ini SYMBOLIC)
install(FILES ${_pkg_gen}/config.ini DESTINATION ${ORVANE_PROGRAM_FOLDER} COMPONENT agent EXCLUDE_FROM_ALL)
if(Qt6_FOUND)
  configure_file(${_pkg_src}/OrvaneAgent.desktop.in ${_pkg_gen}/OrvaneAgent.desktop @ONLY)
  install(FILES ${_pkg_gen}/OrvaneAgent.desktop DESTINATION /usr/share/applications COMPONENT agent EXCLUDE_FROM_ALL)
  # The menu entry runs the console through pkexec; this action lets it open a window as root.
  configure_file(${_pkg_src}/org.orvane.console.policy.in ${_pkg_gen}/org.orvane.console.policy @ONLY)
  install(FILES ${_pkg_gen}/org.orvane.console.policy DESTINATION /usr/share/polkit-1/actions COMPONENT agent
          EXCLUDE_FROM_ALL)
endif()

# Execute-only: the kernel starts a program its user cannot read undumpable, so the user it runs as
# cannot attach to it or take its key pipe in the moment before it protects itself.
install(TARGETS Quenby RUNTIME DESTINATION /usr/libexec/orvane-reporter
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE
        COMPONENT reporter EXCLUDE_FROM_ALL)
install(PROGRAMS ${_pkg_src}/orvane-session DESTINATION /usr/libexec/orvane-reporter COMPONENT reporter EXCLUDE_FROM_ALL)
install(FILES ${_pkg_src}/reporter.conf DESTINATION /etc/orvane PERMISSIONS OWNER_READ OWNER_WRITE
        COMPONENT reporter EXCLUDE_FROM_ALL)
install(FILES ${_pkg_src}/orvane-reporter.pam-config DESTINATION /usr/share/pam-configs RENAME orvane-reporter
        COMPONENT reporter EXCLUDE_FROM_ALL)

# copyright and a compressed changelog for each package; lintian overrides where the product's
# layout departs from Debian's on purpose.
string(TIMESTAMP _pkg_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
find_program(GZIP_PROGRAM gzip REQUIRED)
foreach(_p orvane orvane-reporter)
  if(_p STREQUAL orvane)
    set(_comp agent)
  else()
    set(_comp reporter)
  endif()
  set(PACKAGE_NAME ${_p})
  set(PACKAGE_VERSION ${_pkg_version})
  set(PACKAGE_DATE "${_pkg_date}")
  set(PACKAGE_MAINTAINER "${ORVANE_PACKAGE_MAINTAINER}")
  configure_file(${_pkg_src}/changelog.in ${_pkg_gen}/${_p}/changelog @ONLY)
  add_custom_command(OUTPUT ${_pkg_gen}/${_p}/changelog.gz
                     COMMAND ${GZIP_PROGRAM} -9nf -k ${_pkg_gen}/${_p}/changelog
                     DEPENDS ${_pkg_gen}/${_p}/changelog VERBATIM)
  add_custom_target(${_p}-changelog ALL DEPENDS ${_pkg_gen}/${_p}/changelog.gz)
  install(FILES ${_pkg_gen}/${_p}/changelog.gz ${_pkg_src}/copyright DESTINATION /usr/share/doc/${_p}
          COMPONENT ${_comp} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${_pkg_src}/orvane.lintian-overrides DESTINATION /usr/share/lintian/overrides RENAME orvane
        COMPONENT agent EXCLUDE_FROM_ALL)
install(FILES ${_pkg_src}/orvane-reporter.lintian-overrides DESTINATION /usr/share/lintian/overrides
        RENAME orvane-reporter COMPONENT reporter EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL agent reporter)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VERSION ${_pkg_version})
set(CPACK_PACKAGE_CONTACT "${ORVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_INSTALL_PREFIX ${ORVANE_PROGRAM_FOLDER})
# Absolute destinations (/etc, /usr/share) land in the package, not on the build machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/cpack_prune.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME orvane)
# The service needs systemd; the package still installs without it (postinst says what to do).
# deb-systemd-invoke starts and stops it the Debian way (policy-rc.d, enabled units only).
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "init-system-helpers (>= 1.54)")
# pkexec runs the console from its menu entry as root (the policy org.orvane.console.run).
set(CPACK_DEBIAN_AGENT_PACKAGE_RECOMMENDS "systemd, pkexec")
set(CPACK_COMPONENT_AGENT_DESCRIPTION
    "single sign-on agent for firewall gateways\nLearns which domain user has logged on at which IPv4 address (from logon\nreports of the PCs or from the domain controllers' logon events), checks the\nuser over LDAP and tells the firewall gateways over encrypted UDP. Holds the\nworker, the service OrvaneSRV (a systemd unit), the console and orvanectl,\nand the gateway emulator, in the program folder /opt/Orvane/Orvane.")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA
    ${_pkg_src}/orvane/conffiles ${_pkg_src}/orvane/preinst ${_pkg_src}/orvane/postinst
    ${_pkg_src}/orvane/prerm ${_pkg_src}/orvane/postrm)

set(CPACK_DEBIAN_REPORTER_PACKAGE_NAME orvane-reporter)
set(CPACK_DEBIAN_REPORTER_PACKAGE_DEPENDS "libpam-runtime, libpam-modules")
set(CPACK_COMPONENT_REPORTER_DESCRIPTION
    "logon reporter for Linux PCs of an Orvane site\nQuenby reports every session's logon and logoff on this PC to the Orvane\nworker (client-report mode), through a PAM session hook. Reporting starts\nonce the worker's address, port and key are set in /etc/orvane/reporter.conf.")
set(CPACK_DEBIAN_REPORTER_PACKAGE_CONTROL_EXTRA
    ${_pkg_src}/orvane-reporter/conffiles ${_pkg_src}/orvane-reporter/postinst
    ${_pkg_src}/orvane-reporter/prerm ${_pkg_src}/orvane-reporter/postrm)

include(CPack)
