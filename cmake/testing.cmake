# qrv_add_gtest(NAME SOURCES...): a GoogleTest program run once by CTest as a
# whole (one Wine launch per program on the Windows build).
#
# Under Wine, every test needs the prefix and a running wineserver. The first
# client of a new wineserver starts Wine's services, which keep its output open
# as long as the server lives; a fixture starts the server and that first client
# with their output sent to /dev/null, so no test waits on them.
if(WIN32)
  set(QRV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(QRV_WINE_ENV WINEPREFIX=${QRV_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
  find_program(QRV_WINESERVER wineserver REQUIRED)
  add_test(NAME wine_start
           COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/wine-session start ${QRV_WINEPREFIX})
  add_test(NAME wine_stop
           COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/wine-session stop ${QRV_WINEPREFIX})
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${QRV_WINE_ENV}"
                       ENVIRONMENT_MODIFICATION "DISPLAY=unset:")
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${QRV_WINE_ENV}")
endif()

# Marks tests that run a Windows program as needing Wine.
function(qrv_wine_test)
  if(WIN32)
    set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QRV_WINE_ENV}"
                         ENVIRONMENT_MODIFICATION "DISPLAY=unset:")
  endif()
endfunction()

function(qrv_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  target_compile_options(${name} PRIVATE -Wall -Wextra)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  qrv_wine_test(${name})
endfunction()
