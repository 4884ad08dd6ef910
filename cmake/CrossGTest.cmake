# GoogleTest for cross builds. The host's installed GoogleTest cannot link into Windows programs,
# so the test framework is compiled inside the cross build from Debian's sources (libgtest-dev
# puts them in /usr/src/googletest); nothing is downloaded. The targets get the names that
# find_package(GTest) gives on the host, so that tests link the same way in every build.
#
# Test executables of a cross build are listed and run through CMAKE_CROSSCOMPILING_EMULATOR
# (Wine for the 64-bit toolchain, see cmake/toolchains/).
set(TONARIUM_GTEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources compiled into cross builds")
if(NOT EXISTS ${TONARIUM_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${TONARIUM_GTEST_SOURCE_DIR}: install "
                        "libgtest-dev and libgmock-dev (scripts/install-deps.sh test)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# The framework is third-party code: built without the project's warning options, and its
# headers are system headers for the tests.
set(_tonarium_options_before_gtest "")
get_directory_property(_tonarium_options_before_gtest COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${TONARIUM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_googletest
                 EXCLUDE_FROM_ALL SYSTEM)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_tonarium_options_before_gtest}")

foreach(lib gtest gtest_main gmock gmock_main)
    if(TARGET ${lib} AND NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
    endif()
endforeach()
