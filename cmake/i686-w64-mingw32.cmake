# Cross build for 32-bit Windows: kelvaro.exe as it is released.
set(KELVARO_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
