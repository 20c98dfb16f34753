# The archive writer: entries in, a Quorvanel Archive out.
add_library(qrv_archive_writer STATIC ${CMAKE_CURRENT_LIST_DIR}/archive_writer.cpp)
target_include_directories(qrv_archive_writer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(qrv_archive_writer PRIVATE -Wall -Wextra -Wshadow)
