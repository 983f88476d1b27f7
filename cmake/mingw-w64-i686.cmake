# 32-bit Windows against msvcrt.dll, with Debian's mingw-w64 (posix
# threads), run under 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(cmdkit_mingw_triplet i686-w64-mingw32)
set(cmdkit_mingw_threads posix)
set(cmdkit_wine /usr/lib/wine/wine)
set(CMDKIT_WINDOWS_RUNTIME msvcrt)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
