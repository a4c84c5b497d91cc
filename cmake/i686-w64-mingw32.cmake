# Cross build for 32-bit Windows: kelvaro.exe as it is released.
set(KELVARO_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# SSE2 arithmetic, as the 64-bit and host builds have: the x87's extended precision would
# round differently, and the release's report would print other digits than the host's.
# Every Windows that runs kelvaro (XP SP3 and later on a Pentium 4 or newer) has SSE2.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
