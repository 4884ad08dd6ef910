# Shared part of the mingw-w64 cross toolchains. The including file sets TONARIUM_MINGW_TRIPLE
# and CMAKE_SYSTEM_PROCESSOR first.
#
# The posix thread-model compilers are used because only they give std::thread and std::mutex
# (over winpthreads). Everything is linked statically, the C++ and GCC runtimes and winpthreads
# included, so that the programs run on a bare Windows (or Wine) with no DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TONARIUM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TONARIUM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TONARIUM_MINGW_TRIPLE}-windres)

# Libraries, headers and CMake packages come from the target's sysroot only, never from the
# host; programs (the build tools) only from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TONARIUM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
