# Packages `cpack` makes from a build tree, from what `cmake --install` puts
# there. The version is the project's.

set(CPACK_PACKAGE_NAME quorvanel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quorvanel")
set(CPACK_PACKAGE_CONTACT "Quorvanel maintainers <maintainers@quorvanel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Quorvanel CG pictures and Quorvanel Archives: plug-ins, qrv and desktop support")
set(CPACK_PACKAGE_DESCRIPTION
    "The ifqrvnel and axqrvnel plug-ins and their host qrv, which converts\n\
Quorvanel CG pictures and extracts Quorvanel Archives; a gdk-pixbuf loader and\n\
Qt 6 and Qt 5 image plug-ins, so that GTK and Qt programs open the pictures;\n\
the MIME types and a thumbnailer entry, so that file managers show them.")

# --- Debian package (Linux builds): `cpack -G DEB` in build/native ----------
# Gives quorvanel_<version>_<arch>.deb holding the install tree under /usr.
# Its maintainer scripts refresh gdk-pixbuf's loader cache and the MIME
# database after the files come and after they go.
if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME quorvanel)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
  # quorvanel_<version>_<arch>.deb: no Debian revision is set.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the binaries link (gdk-pixbuf, Qt, libpng, libfuse 3, the
  # C++ runtime), found by dpkg-shlibdeps; and what the maintainer scripts and
  # the thumbnailer entry run. fuse3 brings fusermount3, which `qrv mount`
  # needs for users other than root; only recommended, since it replaces the
  # older fuse package and every other command works without it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "shared-mime-info")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libgdk-pixbuf2.0-bin, fuse3")

  if(NOT QRV_PIXBUF_QUERY_LOADERS)
    set(QRV_PIXBUF_QUERY_LOADERS gdk-pixbuf-query-loaders)
  endif()
  set(QRV_DEB_MIME_DIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/mime)
  foreach(script postinst postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
                   ${CMAKE_BINARY_DIR}/debian/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_BINARY_DIR}/debian/postinst ${CMAKE_BINARY_DIR}/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  # Debian ships stripped binaries.
  set(CPACK_STRIP_FILES TRUE)
endif()

include(CPack)
