# The one place for language level, warnings, Qt safety defines and sanitizers.
# Every target of the project links lullwatch_options.
add_library(lullwatch_options INTERFACE)

target_compile_features(lullwatch_options INTERFACE cxx_std_20)

target_compile_options(lullwatch_options INTERFACE
    -Wall -Wextra -Wpedantic
    $<$<BOOL:${LULLWATCH_WERROR}>:-Werror>)

target_compile_definitions(lullwatch_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_FOREACH
    QT_NO_KEYWORDS
    QT_USE_QSTRINGBUILDER)

if(LULLWATCH_SANITIZE)
    target_compile_options(lullwatch_options INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(lullwatch_options INTERFACE -fsanitize=address,undefined)
endif()

if(LULLWATCH_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "LULLWATCH_FUZZ needs clang (use the fuzz preset)")
    endif()
    target_compile_options(lullwatch_options INTERFACE
        -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    target_link_options(lullwatch_options INTERFACE -fsanitize=address,undefined)
endif()
