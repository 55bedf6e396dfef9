# 32-bit Windows (PE32). Built and checked only: these machines cannot run 32-bit code, so no
# emulator is set and its tests are not registered.
set(DORMEX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
