# 64-bit Windows against msvcrt.dll, with Debian's mingw-w64 (posix threads).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(cmdkit_mingw_triplet x86_64-w64-mingw32)
set(cmdkit_mingw_threads posix)
set(cmdkit_wine /usr/lib/wine/wine64)
set(CMDKIT_WINDOWS_RUNTIME msvcrt)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
