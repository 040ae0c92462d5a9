# Man pages (compressed, as Debian installs them), the package's documents,
# and the Debian package: cpack -G DEB in the build directory.
find_program(GZIP_EXECUTABLE gzip REQUIRED)

function(velmora_man_page page)
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP_EXECUTABLE} -9n -c ${PROJECT_SOURCE_DIR}/docs/${page} > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page})
  string(REPLACE "." "_" target man_${page})
  add_custom_target(${target} ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${GZIP_EXECUTABLE} -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(velmora_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Velmora developers")
set(CPACK_PACKAGE_CONTACT "The Velmora developers <support@velmora.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover layers and images from damaged Photoshop files")
set(CPACK_PACKAGE_DESCRIPTION "Velmora tests every byte position of a damaged Photoshop file (.psd, .pdd)
as a possible file header or layer section, and writes every layer it finds,
each layer's transparency as a grey mask picture, and every merged image, as
separate complete uncompressed Photoshop files. It has a window (orvane) and a
command-line program (velmora).")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.example.org/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
