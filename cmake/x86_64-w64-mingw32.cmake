# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread variant): the tests'
# build on hosts that run no 32-bit code, where Wine cannot start a 32-bit program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER   x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs the Windows programs under Wine (its 64-bit loader: scripts/lib.sh puts a
# "wine" that starts it on the PATH).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
