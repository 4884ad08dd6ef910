# Settings that every Windows build needs, whichever compiler makes it.
#
# Every text of the program is a byte string in the Cyrillic code page 1251, the code page of
# the "Russian" locale that the program selects; the sources are UTF-8, so the compiler converts
# string literals on the way. windows.h must not define min and max as macros. With MSVC the C
# runtime is linked statically, as the mingw toolchains do, so tonarium.exe needs no DLL.
if(CMAKE_CXX_COMPILER_ID STREQUAL "MSVC")
    add_compile_options(/source-charset:utf-8 /execution-charset:windows-1251)
    set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
    add_compile_options(-finput-charset=UTF-8 -fexec-charset=CP1251)
endif()
add_compile_definitions(NOMINMAX)
