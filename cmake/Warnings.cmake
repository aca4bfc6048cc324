# Every target of the project compiles with the same warning set.
function(orvik_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
