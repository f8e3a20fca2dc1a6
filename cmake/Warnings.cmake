# Warnings are errors on every build, native and cross.
function(patcher_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Werror
        -Wshadow -Wundef -Wvla -Wswitch-enum -Wcast-align -Wformat=2)
endfunction()
