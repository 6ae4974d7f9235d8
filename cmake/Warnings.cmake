# One interface target carries the warning and sanitizer flags; every target of ours links it,
# so a flag can't silently go missing from one library.
add_library(vigilorn_flags INTERFACE)
target_compile_options(vigilorn_flags INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast -Wsuggest-override)
if(VIGILORN_WERROR)
    target_compile_options(vigilorn_flags INTERFACE -Werror)
endif()
if(VIGILORN_SANITIZE)
    target_compile_options(vigilorn_flags INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(vigilorn_flags INTERFACE -fsanitize=address,undefined)
endif()
