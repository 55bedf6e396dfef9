# GoogleTest for a mingw-w64 cross build, compiled from its sources; it defines the GTest:: names
# the tests link against. Where there is an emulator, ctest runs the tests through it.
set(DORMEX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (package googletest)")
if(NOT EXISTS ${DORMEX_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources at ${DORMEX_GTEST_SOURCE}: install googletest")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${DORMEX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# DORMEX_WINE_RUNNER names the Wine loader of the toolchain's architecture (wine64, or wine for
# 32-bit programs, from wine32). The prefix is always made by wine64, so it holds both registry
# views.
if(DORMEX_WINE_RUNNER)
    find_program(DORMEX_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    find_program(DORMEX_WINE_LOADER ${DORMEX_WINE_RUNNER} PATHS /usr/lib/wine NO_DEFAULT_PATH
                 NO_CMAKE_FIND_ROOT_PATH)
    if(DORMEX_WINE64 AND DORMEX_WINE_LOADER)
        # A Wine prefix of the build's own, quiet, without the .NET and HTML installers.
        set(DORMEX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
        configure_file(${PROJECT_SOURCE_DIR}/win/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run
                       @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
    else()
        message(WARNING "/usr/lib/wine/${DORMEX_WINE_RUNNER} or wine64 not found: the Windows "
                        "tests are built but cannot run (packages wine64, wine32)")
    endif()
endif()
