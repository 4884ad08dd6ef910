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

# A 32-bit x86 build must do its double arithmetic in SSE2, as the 64-bit builds do, so that
# every build makes the same samples bit for bit (see cmake/toolchains/mingw-i686.cmake).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    include(CheckCXXSourceCompiles)
    check_cxx_source_compiles([[
#if defined(__i386__) && !defined(__SSE2_MATH__)
#error doubles on the x87 stack
#endif
#if defined(_M_IX86) && (!defined(_M_IX86_FP) || _M_IX86_FP < 2)
#error doubles on the x87 stack
#endif
int main() { return 0; }
]] TONARIUM_SSE2_DOUBLES)
    if(NOT TONARIUM_SSE2_DOUBLES)
        message(FATAL_ERROR "32-bit x86 build without SSE2 doubles: compile with -msse2 "
                            "-mfpmath=sse (GCC, Clang) or /arch:SSE2 (MSVC)")
    endif()
endif()
