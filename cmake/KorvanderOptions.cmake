# Warnings, sanitizers and platform facts shared by every target.

add_library(korv_warnings INTERFACE)
target_compile_options(korv_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wno-missing-field-initializers)
# g++ 12 reports a false -Wrestrict on "literal" + std::string&& at -O3 (fixed in 13).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(korv_warnings INTERFACE -Wno-restrict)
endif()
# Warnings are errors in the g++ and mingw builds; the clang fuzz build only reports them.
if(NOT KORVANDER_FUZZ)
    target_compile_options(korv_warnings INTERFACE -Werror)
endif()

if(WIN32)
    set(KORVANDER_PLATFORM_SUFFIX "Win")
    set(KORVANDER_OTHER_SUFFIX "Posix")
else()
    set(KORVANDER_PLATFORM_SUFFIX "Posix")
    set(KORVANDER_OTHER_SUFFIX "Win")
endif()

if(KORVANDER_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
endif()

if(KORVANDER_TSAN)
    if(KORVANDER_SANITIZE)
        message(FATAL_ERROR "ThreadSanitizer does not go with AddressSanitizer: choose one")
    endif()
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

if(KORVANDER_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# korv_sources(<var> <dir>): the .cpp files of a source folder, with the other
# platform's files (uFooPosix.cpp / uFooWin.cpp) left out.
function(korv_sources out dir)
    file(GLOB files CONFIGURE_DEPENDS "${dir}/*.cpp")
    list(FILTER files EXCLUDE REGEX "${KORVANDER_OTHER_SUFFIX}\\.cpp$")
    set(${out} ${files} PARENT_SCOPE)
endfunction()
