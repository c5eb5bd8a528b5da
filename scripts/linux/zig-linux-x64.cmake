# CMake toolchain: Linux x86_64 for manylinux2014 wheels through zig (see
# zig-cc, zig-c++ beside this file). Binaries are stripped and export only
# what exports.map lists.
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig-c++")
# The unwinder is the system's libgcc_s.so.1, as in a native build, not the
# libunwind zig would link in: when a daemon thread ends at interpreter exit,
# glibc unwinds it with libgcc_s, which runs the C++ personality routine of
# every frame in the module; that routine must query the same unwinder, or
# the process crashes. (libgcc_s.so.1 is part of the manylinux baseline.)
find_file(ZIG_LIBGCC_S libgcc_s.so.1
    PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64 /lib /usr/lib
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
# ZIG_RETHROW_OBJECT: rethrow.cpp beside this file, compiled (build_wheels.sh
# does that); it makes `throw;` pass a forced unwind on.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/exports.map ${ZIG_LIBGCC_S}")
if(ZIG_RETHROW_OBJECT)
    string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT
        " -Wl,--wrap=__cxa_begin_catch -Wl,--wrap=__cxa_rethrow ${ZIG_RETHROW_OBJECT}")
endif()
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT}")
