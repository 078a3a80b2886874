# The warning set for our own targets only (third-party code keeps its own flags).
# GCC 12's flow-based checks (restrict, array-bounds, stringop-overflow) misread libstdc++'s own
# string and vector code once it is inlined at -O1 and above (GCC bugs 105329, 105651); they stay
# warnings there, every other warning is an error.
function(tovix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-error=restrict -Wno-error=array-bounds
      -Wno-error=stringop-overflow)
  endif()
endfunction()
