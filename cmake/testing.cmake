# qrv_add_gtest(NAME SOURCES...): a GoogleTest program run once by CTest as a
# whole (one Wine launch per program on the Windows builds).
#
# Windows builds run their test programs under Wine, which needs a prefix and a
# running wineserver. The first client of a new wineserver starts Wine's
# services, which keep that client's output open as long as the server lives; a
# fixture starts the server and that first client with their output sent to
# /dev/null, so no test waits on them.
#
# A machine whose kernel cannot execute 32-bit programs cannot run the 32-bit
# Wine loader: the 32-bit build then registers only the checks that need no
# Windows program, and the 64-bit build runs the suites under Wine instead.
set(QRV_RUN_WINDOWS_TESTS OFF)
if(WIN32)
  set(QRV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(QRV_WINE_ENV WINEPREFIX=${QRV_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
                   WINELOADER=${QRV_WINE_LOADER})
  execute_process(COMMAND ${QRV_WINE_LOADER} --version RESULT_VARIABLE wine_rc
                  OUTPUT_QUIET ERROR_QUIET)
  if(wine_rc EQUAL 0)
    set(QRV_RUN_WINDOWS_TESTS ON)
  else()
    message(WARNING "${QRV_WINE_LOADER} cannot run here: Windows test programs are built, "
                    "not run")
  endif()
endif()

if(QRV_RUN_WINDOWS_TESTS)
  add_test(NAME wine_start
           COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/wine-session start ${QRV_WINE_LOADER}
                   ${QRV_WINEPREFIX})
  add_test(NAME wine_stop
           COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/wine-session stop ${QRV_WINE_LOADER}
                   ${QRV_WINEPREFIX})
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

# Registers a test that runs a program built here (under Wine on Windows
# builds). Takes the arguments of add_test(NAME ... COMMAND ...).
function(qrv_add_program_test name)
  if(WIN32 AND NOT QRV_RUN_WINDOWS_TESTS)
    return()
  endif()
  add_test(NAME ${name} ${ARGN})
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QRV_WINE_ENV}"
                         ENVIRONMENT_MODIFICATION "DISPLAY=unset:")
  endif()
endfunction()

function(qrv_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  target_compile_options(${name} PRIVATE -Wall -Wextra)
  qrv_add_program_test(${name} COMMAND ${name} --gtest_brief=1)
endfunction()

# Marks already registered tests that run a Windows program as needing Wine.
function(qrv_wine_test)
  if(WIN32 AND QRV_RUN_WINDOWS_TESTS)
    set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QRV_WINE_ENV}"
                         ENVIRONMENT_MODIFICATION "DISPLAY=unset:")
  endif()
endfunction()
