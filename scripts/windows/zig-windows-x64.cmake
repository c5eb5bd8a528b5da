# CMake toolchain: Windows x64 through zig (see zig-cc, zig-c++ beside this file).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# Programs (the host's Python) come from the host, headers and libraries
# only from the paths given.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
