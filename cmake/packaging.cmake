# What an installation holds, and the packages cpack makes of it: on Linux a
# Debian package (the service, kplsim, the pages and the examples); on Windows
# a zip for Windows administrators (the service, the Windows page on top with
# the pages it links beside it, the Windows .reg example; never the test
# driver pgw.sys, the key target or anything of the Linux machine).
include(GNUInstallDirs)
set(CPACK_PACKAGE_NAME keypanel)
set(CPACK_PACKAGE_VENDOR ${KPL_VENDOR})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velkor Keypanel service: a serial keypad's keys and LEDs as a keyboard's")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
file(GLOB examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/examples/*)

if(KPL_WINDOWS)
  # Laid out as docs/ is, so that the pages' links hold in the zip too.
  install(TARGETS VkKplSvc RUNTIME DESTINATION .)
  install(FILES docs/windows.md DESTINATION . RENAME README-Windows.md)
  install(FILES docs/configuration.md docs/events.md DESTINATION .)
  install(FILES docs/examples/kpl-windows.reg DESTINATION examples)
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
  # What Debian asks of every package: the copyright file, the changelog
  # compressed without a time stamp, and lintian's overrides, each justified.
  set(deb ${PROJECT_SOURCE_DIR}/cmake/deb)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${deb}/changelog)
  execute_process(COMMAND gzip -9nc ${deb}/changelog OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz
                  COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${deb}/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${doc})
  install(FILES ${deb}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME ${CPACK_PACKAGE_NAME})
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velkor Keypanel developers <keypanel@velkor.example>")
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  # Removing the package takes away the units "VkKplSvc -install" wrote.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb}/prerm ${deb}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The libraries the programs link (the C and C++ runtimes), as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION "The Linux build: VkKplSvc polls a Keypanel on a serial line and types
its keys through a uinput virtual keyboard or an X display; kplsim
simulates a Keypanel on a pseudo-terminal. The pages and example files
are in /usr/share/doc/keypanel.")

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
