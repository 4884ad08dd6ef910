# CLI11, the command-line parser, is header-only (Debian's libcli11-dev). The host build uses its
# CMake package. A cross build cannot put the host's /usr/include on its include path, so it gets
# a directory of its own that holds only CLI11's headers, linked from the host's.
if(CMAKE_CROSSCOMPILING)
    set(TONARIUM_CLI11_HEADERS /usr/include/CLI CACHE PATH "CLI11's installed headers")
    if(NOT EXISTS ${TONARIUM_CLI11_HEADERS}/CLI.hpp)
        message(FATAL_ERROR "No CLI11 headers in ${TONARIUM_CLI11_HEADERS}: install libcli11-dev")
    endif()
    set(_cli11_include ${CMAKE_BINARY_DIR}/_cli11/include)
    file(MAKE_DIRECTORY ${_cli11_include})
    file(CREATE_LINK ${TONARIUM_CLI11_HEADERS} ${_cli11_include}/CLI SYMBOLIC)
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${_cli11_include})
else()
    find_package(CLI11 REQUIRED CONFIG)
endif()
