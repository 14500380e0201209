# The Debian package: `cpack -G DEB` in a build configured with CMAKE_INSTALL_PREFIX=/usr
# (scripts/package.sh) makes okuva_<version>_<arch>.deb. Its dependencies are computed
# from the installed programs and library by dpkg-shlibdeps.

# The package's own documents, which Debian requires of every package.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/changelog VERBATIM)
add_custom_target(okuva_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${doc_dir})

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "OKUVA")
set(CPACK_PACKAGE_CONTACT "OKUVA developers <maintainers@okuva.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture station for photographs of the human iris")
set(CPACK_PACKAGE_DESCRIPTION
  "OKUVA photographs a human iris with a web camera: a capture station window in
Spanish with focus, exposure and framing aids that judges every still with the
iris quality metrics, the command-line tool okuva-tool, and the imaging toolkit
libokuva (DIB surface, image object, baseline JPEG encoder, iris analysis) with
its headers, CMake package and pkg-config file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libokuva's shlibs entry (for packages built against it) and the ldconfig trigger its
# installation needs; without maintainer scripts of our own CPack would write ones that
# call ldconfig directly.
get_target_property(OKUVA_SOVERSION okuva_toolkit SOVERSION)
configure_file(${PROJECT_SOURCE_DIR}/data/shlibs.in ${PROJECT_BINARY_DIR}/debian/shlibs @ONLY)
foreach(script triggers postinst postrm)
  configure_file(${PROJECT_SOURCE_DIR}/data/${script} ${PROJECT_BINARY_DIR}/debian/${script} COPYONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/${script})
endforeach()
list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/shlibs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
