# Installation and the Debian package (cpack -G DEB, configured with -DCMAKE_INSTALL_PREFIX=/usr).
#   lib/<multiarch>/pkcs11/libvellumcrest-pkcs11.so   the module
#   bin/vellumcrest-card                              the card tool
#   bin/vellumcrest-card-emu                          the card emulator (vpcd)
#   share/p11-kit/modules/vellumcrest.module          p11-kit registration
#   share/man/man1, man5                              man pages
#   /etc/vellumcrest/vellumcrest.conf                 default configuration, never overwritten
include(GNUInstallDirs)

if(CMAKE_LIBRARY_ARCHITECTURE)
  set(VC_MODULE_DIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkcs11")
else()
  set(VC_MODULE_DIR "${CMAKE_INSTALL_LIBDIR}/pkcs11")
endif()
# The module reads /etc/vellumcrest/vellumcrest.conf whatever the prefix.
set(VC_CONFIG_DIR "/etc/vellumcrest" CACHE PATH "Where the default configuration file is installed")
set(VC_MODULE_INSTALL_PATH "${CMAKE_INSTALL_PREFIX}/${VC_MODULE_DIR}/libvellumcrest-pkcs11.so")

install(TARGETS vellumcrest-pkcs11 LIBRARY DESTINATION ${VC_MODULE_DIR})
install(TARGETS vellumcrest-card vellumcrest-card-emu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

configure_file(${CMAKE_SOURCE_DIR}/packaging/vellumcrest.module.in ${CMAKE_BINARY_DIR}/packaging/vellumcrest.module
  @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/vellumcrest.module DESTINATION ${CMAKE_INSTALL_DATADIR}/p11-kit/modules)

# Man pages, compressed as Debian wants them.
set(VC_MAN_PAGES vellumcrest-card.1 vellumcrest-card-emu.1 vellumcrest.conf.5)
set(VC_MAN_OUTPUTS)
foreach(page ${VC_MAN_PAGES})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND VC_MAN_OUTPUTS ${out})
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man-pages ALL DEPENDS ${VC_MAN_OUTPUTS})

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/configuration.md
  ${CMAKE_SOURCE_DIR}/docs/card-tool.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vellumcrest)

# An existing configuration stays as the administrator left it (the package marks it as a
# conffile, so dpkg keeps it too).
install(CODE "
  set(vc_conf \"\$ENV{DESTDIR}${VC_CONFIG_DIR}/vellumcrest.conf\")
  if(EXISTS \"\${vc_conf}\")
    message(STATUS \"Kept: \${vc_conf}\")
  else()
    file(INSTALL \"${CMAKE_SOURCE_DIR}/packaging/vellumcrest.conf\" DESTINATION \"${VC_CONFIG_DIR}\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()")

# ---- Debian package -----------------------------------------------------------------
configure_file(${CMAKE_SOURCE_DIR}/packaging/conffiles.in ${CMAKE_BINARY_DIR}/packaging/conffiles @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellumcrest)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Orvo")
set(CPACK_PACKAGE_CONTACT "Vellumcrest developers <vellumcrest@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PKCS#11 module for Vellumcrest signature smart cards")
set(CPACK_PACKAGE_DESCRIPTION "libvellumcrest-pkcs11.so lets pkcs11-tool, p11tool, NSS, OpenSSL's pkcs11 engine,
OpenSSH and other PKCS#11 applications use the RSA keys, certificates and data objects of
Vellumcrest cards. The package registers it with p11-kit and brings the vellumcrest-card
tool for virtual readers and cards.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "p11-kit, p11-kit-modules")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "opensc, gnutls-bin, libnss3-tools, libengine-pkcs11-openssl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/packaging/conffiles ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
