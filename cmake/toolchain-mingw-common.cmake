# Shared by the two mingw-w64 toolchain files: set DORMEX_MINGW_TRIPLE before including it.
# Cross-builds the Windows program with Debian's mingw-w64 compilers (the -posix thread variant,
# for std::thread and std::mutex), linked statically so no toolchain runtime DLL has to ship.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

set(CMAKE_C_COMPILER ${DORMEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DORMEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DORMEX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DORMEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Release programs ship without symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
# Windows 7 API level (GetFinalPathNameByHandleW, GetTickCount64); wide-character API throughout.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DUNICODE -D_UNICODE")
