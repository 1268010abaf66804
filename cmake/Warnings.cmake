# Warnings for the project's own targets; third-party headers come in as system headers.
function(vork_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                           -Wold-style-cast -Wcast-align -Wunused
                                           -Woverloaded-virtual -Wpedantic -Wconversion
                                           -Wsign-conversion -Wnull-dereference
                                           -Wdouble-promotion -Wformat=2)
endfunction()
