# Cross-compiles for 64-bit Windows with Debian's mingw-w64 compilers.
#
# The posix-thread variants are the ones Qt's threading and std::thread agree on;
# the win32-thread variants lack std::mutex and friends in this GCC.
#
# scripts/windows keeps a copy of this file at the root of the toolchain it builds
# (Qt, libmspack, chmlib, libsodium); from there it also finds that toolchain's
# headers, libraries, CMake packages and pkg-config files. Use the toolchain through
# <toolchain>/lib/cmake/Qt6/qt.toolchain.cmake, which loads that copy.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FRESHGATE_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FRESHGATE_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FRESHGATE_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${FRESHGATE_MINGW_TARGET}-windres)

# Target headers and libraries come only from the mingw sysroot (and the toolchain
# prefix); the build machine's Linux ones must never leak into a Windows link.
# Programs (moc, rcc, pkg-config) are the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${FRESHGATE_MINGW_TARGET})
if(EXISTS "${CMAKE_CURRENT_LIST_DIR}/lib/cmake/Qt6")
    list(APPEND CMAKE_FIND_ROOT_PATH "${CMAKE_CURRENT_LIST_DIR}")
    set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_CURRENT_LIST_DIR}/lib/pkgconfig")
    set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
