# Cross-builds 64-bit Windows binaries with mingw-w64, posix thread model
# (std::thread and std::mutex need it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HALVORA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HALVORA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HALVORA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${HALVORA_MINGW_TRIPLE}-windres)

# Libraries, headers and packages come from the mingw sysroot only, never
# from the build machine; others are given by their exact folders.
set(CMAKE_FIND_ROOT_PATH /usr/${HALVORA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
