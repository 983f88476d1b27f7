# cmake -DOBJDUMP=... -DRUNTIME=msvcrt|ucrt -DPROGRAMS=a.exe;b.exe -P check_imports.cmake
# Each program must import the C runtime of its build and not the other one:
# msvcrt.dll, or the Universal C Runtime (ucrtbase.dll or its
# api-ms-win-crt-* forwarders).  Two runtimes in one process would mean two
# heaps and two sets of standard streams.
foreach(program ${PROGRAMS})
    execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${OBJDUMP} -p ${program} failed")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
    string(TOLOWER "${names}" names)
    set(msvcrt FALSE)
    set(ucrt FALSE)
    if(names MATCHES "dll name: msvcrt\\.dll")
        set(msvcrt TRUE)
    endif()
    if(names MATCHES "dll name: (ucrtbase\\.dll|api-ms-win-crt-)")
        set(ucrt TRUE)
    endif()
    get_filename_component(name ${program} NAME)
    if(RUNTIME STREQUAL "ucrt" AND (msvcrt OR NOT ucrt))
        message(FATAL_ERROR "${name} should import the UCRT only; it imports: ${names}")
    elseif(RUNTIME STREQUAL "msvcrt" AND (ucrt OR NOT msvcrt))
        message(FATAL_ERROR "${name} should import msvcrt.dll only; it imports: ${names}")
    endif()
    message(STATUS "${name}: imports the ${RUNTIME} C runtime only")
endforeach()
