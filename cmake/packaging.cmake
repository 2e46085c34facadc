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
  set(CPACK_PACKAGE_DESCRIPTION "The Linux build: VkKplSvc polls a Keypanel on a serial line and writes its \
keys to a key journal; kplsim simulates a Keypanel on a pseudo-terminal. The pages and example files are in \
/usr/share/doc/keypanel.")
endif()
include(CPack)
