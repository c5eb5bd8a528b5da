# CMake toolchain: Linux x86_64 for manylinux2014 wheels through zig (see
# zig-cc, zig-c++ beside this file). Binaries are stripped and export only
# what exports.map lists.
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/exports.map")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/exports.map")
