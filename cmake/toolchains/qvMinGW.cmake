# Shared part of the MinGW-w64 toolchain files (x86_64-w64-mingw32.cmake, i686-w64-mingw32.cmake):
# cross-compiling on Debian for Windows with the posix thread model compilers
# (g++-mingw-w64-x86-64-posix, g++-mingw-w64-i686-posix), running the programs under Wine.
#
# The including file sets QV_MINGW_TRIPLET before it includes this one.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10)

set(CMAKE_C_COMPILER "/usr/bin/${QV_MINGW_TRIPLET}-gcc-posix")
set(CMAKE_CXX_COMPILER "/usr/bin/${QV_MINGW_TRIPLET}-g++-posix")
set(CMAKE_RC_COMPILER "/usr/bin/${QV_MINGW_TRIPLET}-windres")

# Libraries, headers and packages of the target only; programs of the host. A package installed
# for the target elsewhere (this library's own install prefix, say) is found when its prefix is
# added to CMAKE_FIND_ROOT_PATH (-DCMAKE_FIND_ROOT_PATH=<prefix>).
if(NOT "/usr/${QV_MINGW_TRIPLET}" IN_LIST CMAKE_FIND_ROOT_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH "/usr/${QV_MINGW_TRIPLET}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Loki is used header-only and its headers are the same for every target: the host's
# libloki-dev headers serve here too. Only their loki/ folder is put on the include path (through
# a link in the build tree); the host's /usr/include itself must never be searched by a
# cross-compiler.
set(QV_HOST_LOKI_DIR "/usr/include/loki" CACHE PATH "Loki's headers (the loki/ folder)")
set(QV_CROSS_HEADERS_DIR "${CMAKE_BINARY_DIR}/qvCrossHeaders")
if(EXISTS "${QV_HOST_LOKI_DIR}/Functor.h" AND NOT EXISTS "${QV_CROSS_HEADERS_DIR}/loki/Functor.h")
    file(MAKE_DIRECTORY "${QV_CROSS_HEADERS_DIR}")
    file(CREATE_LINK "${QV_HOST_LOKI_DIR}" "${QV_CROSS_HEADERS_DIR}/loki" SYMBOLIC)
endif()
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${QV_CROSS_HEADERS_DIR}")

# Programs run under Wine (ctest runs every test program through it). WINEPREFIX, WINEDEBUG,
# WINEPATH and the rest come from the environment, see build.sh and CMakePresets.json.
find_program(QV_WINE NAMES wine)
if(QV_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${QV_WINE}")
endif()
