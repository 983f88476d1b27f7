# 64-bit Windows against the Universal C Runtime (ucrtbase.dll and its
# api-ms-win-crt-* forwarders), the runtime of today's Visual Studio builds.
#
# Debian ships mingw-w64 compilers for msvcrt.dll only, with the import
# library for the UCRT beside them; a specs file that links -lucrt in place
# of -lmsvcrt retargets the link.  Two choices make that sound:
# - the win32 thread model: the posix one links winpthreads, built against
#   msvcrt.dll, which needs its _setjmp, a symbol the UCRT does not have;
# - no -D_UCRT: Debian's libstdc++ was compiled with msvcrt's headers, and
#   _UCRT would change mbstate_t under it (std::filesystem then fails to
#   link, and iostreams' stream positions would silently change size).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(cmdkit_mingw_triplet x86_64-w64-mingw32)
set(cmdkit_mingw_threads win32)
set(cmdkit_wine /usr/lib/wine/wine64)
set(CMDKIT_WINDOWS_RUNTIME ucrt)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

set(cmdkit_ucrt_specs ${CMAKE_BINARY_DIR}/ucrt.specs)
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpspecs
    OUTPUT_VARIABLE cmdkit_specs RESULT_VARIABLE cmdkit_specs_status)
if(NOT cmdkit_specs_status EQUAL 0 OR NOT cmdkit_specs MATCHES "-lmsvcrt")
    message(FATAL_ERROR "${CMAKE_C_COMPILER} -dumpspecs gave no -lmsvcrt to replace")
endif()
string(REPLACE "-lmsvcrt" "-lucrt" cmdkit_specs "${cmdkit_specs}")
file(WRITE ${cmdkit_ucrt_specs} "${cmdkit_specs}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-specs=${cmdkit_ucrt_specs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-specs=${cmdkit_ucrt_specs}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-specs=${cmdkit_ucrt_specs}")
