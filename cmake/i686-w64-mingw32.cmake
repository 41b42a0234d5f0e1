# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 tool chain
# (package g++-mingw-w64-i686-posix). Give the MinGW Qt to build against with
# -DCMAKE_PREFIX_PATH=<its prefix>.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# Libraries and headers come from the MinGW tree or the prefixes named on the
# command line, never from the build machine; its programs (moc) still run.
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The notices of the run time DLLs the Windows packages ship, as Debian's
# packages of them record their sources' copyright and licences: the GCC run
# time (libgcc, libstdc++) and mingw-w64's winpthreads.
set(IMAGE_VIEWER_RUNTIME_NOTICES
    "gcc-runtime=/usr/share/doc/gcc-mingw-w64-i686-posix-runtime/copyright"
    "mingw-w64-winpthreads=/usr/share/doc/mingw-w64-i686-dev/copyright")
