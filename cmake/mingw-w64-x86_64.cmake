# Cross-compiles the 64-bit Windows console program with Debian's mingw-w64 (posix
# thread model, so std::thread and friends need no extra setup).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LARKPOST_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LARKPOST_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LARKPOST_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LARKPOST_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${LARKPOST_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${LARKPOST_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and headers come from the cross sysroot only, never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${LARKPOST_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
