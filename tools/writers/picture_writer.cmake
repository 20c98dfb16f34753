# The picture encoder: a plain static library for tests, benchmarks and the host.
add_library(qrv_picture_writer STATIC ${CMAKE_CURRENT_LIST_DIR}/picture_writer.cpp)
target_include_directories(qrv_picture_writer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(qrv_picture_writer PRIVATE -Wall -Wextra)
