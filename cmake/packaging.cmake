# What an installation holds, and the packages cpack makes of it: on Linux a
# Debian package (the service, kplsim, the pages and the examples); on Windows
# a zip for administrators (the service, the pages about running it there and
# the example .reg files; never the test driver pgw.sys or the key target).
include(GNUInstallDirs)
set(CPACK_PACKAGE_NAME keypanel)
set(CPACK_PACKAGE_VENDOR Velkor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Keypanel service: the keys and LEDs of a serial keypad controller as a keyboard's")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
file(GLOB examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/examples/*)

if(KPL_WINDOWS)
  install(TARGETS VkKplSvc RUNTIME DESTINATION .)
  install(FILES docs/running.md docs/configuration.md docs/events.md DESTINATION docs)
  list(FILTER examples INCLUDE REGEX "\\.reg$")
  install(FILES ${examples} DESTINATION examples)
  set(CPACK_GENERATOR ZIP)
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win${bits})
else()
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
  file(GLOB pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
  install(TARGETS VkKplSvc RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  install(TARGETS kplsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md ${pages} DESTINATION ${doc})
  install(FILES ${examples} DESTINATION ${doc}/examples)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Keypanel developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  # The libraries the programs link (the C and C++ runtimes), as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION "The Linux build: VkKplSvc polls a Keypanel on a serial line and types its \
keys through a uinput virtual keyboard or an X display; kplsim simulates a Keypanel on a pseudo-terminal. The pages and example files are in \
/usr/share/doc/keypanel.")

  # The virtual keyboard: the uinput module loaded at boot, /dev/uinput given to
  # the group uinput, which systemd-sysusers makes. Active after a reboot (or
  # systemd-sysusers, modprobe uinput, udevadm trigger). The X libraries are
  # loaded only for "KeyOutput"="x11".
  set(uinput ${PROJECT_SOURCE_DIR}/platform/linux/uinput)
  install(FILES ${uinput}/60-keypanel-uinput.rules DESTINATION lib/udev/rules.d)
  install(FILES ${uinput}/modules-load.conf DESTINATION lib/modules-load.d RENAME keypanel.conf)
  install(FILES ${uinput}/sysusers.conf DESTINATION lib/sysusers.d RENAME keypanel.conf)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libx11-6, libxtst6")
endif()
include(CPack)
