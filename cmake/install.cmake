# `cmake --install` on Linux: the host, the two plug-ins and the public header.
# The desktop plug-ins and integration files install from hosts/.
#
#   bin/qrv                          link to the host beside its plug-ins
#   LIBDIR/quorvanel/qrv             the host: it loads the plug-ins from its own
#   LIBDIR/quorvanel/ifqrvnel.so     directory, which it finds through the link
#   LIBDIR/quorvanel/axqrvnel.so
#   include/qrvnel.h
if(WIN32)
  return()
endif()

set(QRV_INSTALL_PLUGINDIR ${CMAKE_INSTALL_LIBDIR}/quorvanel)
install(TARGETS qrv RUNTIME DESTINATION ${QRV_INSTALL_PLUGINDIR})
install(TARGETS ifqrvnel axqrvnel LIBRARY DESTINATION ${QRV_INSTALL_PLUGINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/common/qrvnel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

file(RELATIVE_PATH qrv_link_target /prefix/${CMAKE_INSTALL_BINDIR}
     /prefix/${QRV_INSTALL_PLUGINDIR}/qrv)
install(CODE "
  set(qrv_link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/qrv\")
  message(STATUS \"Installing: \${qrv_link} -> ${qrv_link_target}\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(CREATE_LINK ${qrv_link_target} \"\${qrv_link}\" SYMBOLIC)
")
