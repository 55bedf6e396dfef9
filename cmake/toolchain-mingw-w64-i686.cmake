# 32-bit Windows (PE32). Its programs and tests run here under Wine's 32-bit loader (package
# wine32, with the i386 architecture): ctest starts each test through the emulator, a wrapper
# that gives Wine a prefix of its own in the build directory.
set(DORMEX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(DORMEX_WINE_RUNNER wine)
