# What the two mingw-w64 toolchain files share; each sets
# CMAKE_SYSTEM_PROCESSOR and VANTBROOK_MINGW_PREFIX first. Debian's mingw-w64
# with its posix thread model, so the C++ standard library's threads and
# mutexes work; the compiler's runtimes and winpthread are linked in
# statically, so the DLLs and programs import Windows system DLLs only.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VANTBROOK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTBROOK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTBROOK_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${VANTBROOK_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTBROOK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
