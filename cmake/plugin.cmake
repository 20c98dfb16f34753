# What every piece of plug-in code is compiled with, and how a plug-in library
# is put together on each build.

# Plug-in code: no exceptions, no RTTI, nothing visible unless exported.
add_library(qrv_plugin_flags INTERFACE)
target_compile_options(qrv_plugin_flags INTERFACE
  -fno-exceptions -fno-rtti -fvisibility=hidden -fvisibility-inlines-hidden
  -Wall -Wextra -Wshadow)

# For every shared library and module: a symbol missing from it is a link
# error, not a failed load. Not with clang's sanitizers (the fuzz preset):
# their runtime is linked into the program that loads the library, never into
# the library itself.
set(QRV_NO_UNDEFINED -Wl,--no-undefined)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND (QRV_SANITIZE OR CMAKE_CXX_FLAGS MATCHES "-fsanitize="))
  set(QRV_NO_UNDEFINED)
endif()

# qrv_add_version_resource(TARGET DESCRIPTION SUFFIX TYPE): a Windows version
# resource carrying the project version, so that Explorer's file properties and
# GetFileVersionInfo show the release a file belongs to.
function(qrv_add_version_resource target description suffix type)
  set(QRV_RC_NAME ${target})
  set(QRV_RC_FILE ${target}${suffix})
  set(QRV_RC_ABOUT "${description}")
  set(QRV_RC_TYPE ${type})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
endfunction()

# qrv_add_plugin(NAME ABOUT OBJECTS DEF MAP): a plug-in library made of the
# object library OBJECTS, the common layer and the build's platform backend.
function(qrv_add_plugin name about objects def map)
  # The web build links the objects into modules of its own (hosts/web).
  if(EMSCRIPTEN)
    return()
  endif()
  add_library(${name} SHARED $<TARGET_OBJECTS:${objects}>)
  target_link_libraries(${name} PRIVATE qrv_common qrv_platform qrv_plugin_flags)
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  if(WIN32)
    qrv_add_version_resource(${name} "${about}" ".spi" VFT_DLL)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      # No __stdcall decoration on 64-bit Windows: export the bare names.
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
      file(READ ${def} def_text)
      string(REGEX REPLACE " *= *[A-Za-z_0-9]+@[0-9]+" "" def_text "${def_text}")
      set(def ${CMAKE_CURRENT_BINARY_DIR}/${name}_64.def)
      file(CONFIGURE OUTPUT ${def} CONTENT "${def_text}")
    endif()
    target_sources(${name} PRIVATE ${def} ${PROJECT_SOURCE_DIR}/common/dll_entry_win32.cpp)
    set_target_properties(${name} PROPERTIES SUFFIX ".spi")
    # The .def maps plain names to the __stdcall symbols; without the fixup a
    # wrong argument size is a link error instead of a silent alias.
    target_link_options(${name} PRIVATE -Wl,--disable-stdcall-fixup -static)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${def})
  else()
    set_target_properties(${name} PROPERTIES SUFFIX ".so")
    target_link_options(${name} PRIVATE -Wl,--version-script=${map} ${QRV_NO_UNDEFINED})
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
endfunction()
