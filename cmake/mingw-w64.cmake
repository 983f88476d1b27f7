# What the three Windows toolchain files share: a mingw-w64 cross compiler
# from Debian, its target folders, and Wine as the emulator through which
# ctest (and the test discovery) start every program.  The including file
# sets cmdkit_mingw_triplet, cmdkit_mingw_threads (posix or win32),
# cmdkit_wine (the loader for the target's width) and CMDKIT_WINDOWS_RUNTIME
# (msvcrt or ucrt: the C runtime the programs must import, which a test
# checks).
set(CMAKE_SYSTEM_NAME Windows)
set(CMDKIT_MINGW_THREADS ${cmdkit_mingw_threads})
set(CMAKE_C_COMPILER ${cmdkit_mingw_triplet}-gcc-${cmdkit_mingw_threads})
set(CMAKE_CXX_COMPILER ${cmdkit_mingw_triplet}-g++-${cmdkit_mingw_threads})
set(CMAKE_RC_COMPILER ${cmdkit_mingw_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${cmdkit_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One Wine prefix serves every Windows build of a run (make test passes the
# same CMDKIT_WINEPREFIX to each); it costs a gigabyte and twenty seconds.
if(NOT CMDKIT_WINEPREFIX)
    set(CMDKIT_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
endif()
set(CMDKIT_WINEPREFIX ${CMDKIT_WINEPREFIX} CACHE PATH "Wine prefix for running the tests")
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMDKIT_WINEPREFIX} ${cmdkit_wine})
endif()
