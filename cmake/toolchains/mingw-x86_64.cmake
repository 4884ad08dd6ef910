# Cross toolchain for 64-bit Windows (x86_64-w64-mingw32). Its programs run here under wine64,
# so test executables are started through scripts/wine-run.sh.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TONARIUM_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

get_filename_component(_tonarium_root ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_tonarium_root}/scripts/wine-run.sh)
