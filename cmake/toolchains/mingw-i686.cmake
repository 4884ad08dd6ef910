# Cross toolchain for 32-bit Windows (i686-w64-mingw32), the platform the program was made for.
# No 32-bit Wine is available here, so nothing built with it is run: there is no emulator.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TONARIUM_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
