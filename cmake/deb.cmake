# The Debian package of the Linux program (cpack -G DEB): the program, its udev rule, its manual
# page and the files Debian asks of every package. Built from any build type: cpack strips.
include(GNUInstallDirs)
set(TOLVARIN_DEB_DIR ${CMAKE_BINARY_DIR}/deb)
configure_file(deploy/man/tolvarin.1 ${TOLVARIN_DEB_DIR}/tolvarin.1 @ONLY)
configure_file(deploy/debian/changelog ${TOLVARIN_DEB_DIR}/changelog @ONLY)
# Debian wants them compressed, without a time stamp.
foreach(file tolvarin.1 changelog)
  add_custom_command(OUTPUT ${TOLVARIN_DEB_DIR}/${file}.gz
      COMMAND gzip -9n -c ${TOLVARIN_DEB_DIR}/${file} > ${TOLVARIN_DEB_DIR}/${file}.gz
      DEPENDS ${TOLVARIN_DEB_DIR}/${file})
endforeach()
add_custom_target(tolvarin_deb_files ALL
    DEPENDS ${TOLVARIN_DEB_DIR}/tolvarin.1.gz ${TOLVARIN_DEB_DIR}/changelog.gz)

install(TARGETS tolvarin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES deploy/udev/70-tolvarin.rules DESTINATION lib/udev/rules.d)
install(FILES ${TOLVARIN_DEB_DIR}/tolvarin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TOLVARIN_DEB_DIR}/changelog.gz deploy/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvarin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for a USB speed-camera detector")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Finds the detector on USB, shows its version and the versions the update\nserver offers, and writes the chosen firmware into it over SCSI vendor\ncommands, verifying it by reading it back. Texts are Traditional Chinese.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tolvarin developers <tolvarin@tolvarin.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
