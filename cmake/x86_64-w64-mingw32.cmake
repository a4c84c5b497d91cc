# Cross build for 64-bit Windows: the tests' build on hosts that run no 32-bit code, where Wine
# cannot start a 32-bit program.
set(KELVARO_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
