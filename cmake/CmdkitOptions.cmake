# Each compiler gets its own warning set, on cmdkit's own targets only; they
# are errors when CMDKIT_WARNINGS_AS_ERRORS is on (by default only when
# cmdkit is the top-level project, so a parent's newer compiler cannot break
# its build with a warning we have not seen yet).
function(cmdkit_set_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4)
        set(as_errors /WX)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
        set(as_errors -Werror)
    endif()
    if(CMDKIT_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE ${as_errors})
    endif()
endfunction()

if(CMDKIT_SANITIZE)
    if(MSVC)
        add_compile_options(/fsanitize=address)
    else()
        add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                            -fno-omit-frame-pointer)
        add_link_options(-fsanitize=address,undefined)
    endif()
endif()

# Windows programs built with mingw-w64 carry their runtime inside, so they
# start under Wine or on a bare Windows machine without extra DLLs.
if(MINGW)
    add_link_options(-static)
endif()

# A static copy of the library whose internal headers are on the include
# path, for the tests, benchmarks and fuzzers that reach internal functions.
function(cmdkit_add_internal_library name)
    add_library(${name} STATIC ${cmdkit_sources} ${cmdkit_platform_source})
    target_include_directories(${name} PUBLIC
        ${PROJECT_SOURCE_DIR}/lib/cmdkit
        ${PROJECT_SOURCE_DIR}/lib/cmdline
        ${PROJECT_SOURCE_DIR}/lib/cmdrun
        ${PROJECT_SOURCE_DIR}/lib/cpp
        ${PROJECT_SOURCE_DIR}/lib/platform)
    cmdkit_set_warnings(${name})
endfunction()
