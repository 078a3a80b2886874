# The warning set for our own targets only (third-party code keeps its own flags).
function(tovix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
