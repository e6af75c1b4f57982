# Included right after the top-level project() call when the top-level CMakeLists.txt does not
# add the bench folder itself, so that bench/scan_bench can build its program either way.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR} ${CMAKE_BINARY_DIR}/bench)
