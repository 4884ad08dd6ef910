# Cross toolchain for 32-bit Windows (i686-w64-mingw32), the platform the program was made for.
# No 32-bit Wine is available here, so nothing built with it is run: there is no emulator.
#
# Doubles are computed in SSE2 registers, not on the x87 stack: x87 keeps intermediate results
# in 80 bits, so the 32-bit build's samples would differ in their last bits from those of every
# other build. Windows 8 and later require SSE2 anyway. cmake/Windows.cmake refuses a 32-bit
# build whose compiler flags lost this.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TONARIUM_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
