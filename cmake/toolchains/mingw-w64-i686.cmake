# Cross build for 32-bit Windows (i686) with Debian's g++-mingw-w64-i686.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VANTBROOK_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-shared.cmake)
