# Cross build for Windows with Debian's MinGW-w64 (posix thread variant), for the processor
# that the including toolchain file names in KELVARO_MINGW_ARCH (i686 or x86_64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KELVARO_MINGW_ARCH})

set(CMAKE_C_COMPILER   ${KELVARO_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVARO_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  ${KELVARO_MINGW_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVARO_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs the Windows programs under Wine (for the 64-bit build, its 64-bit loader:
# scripts/lib.sh puts a "wine" that starts it on the PATH).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
