# Cross-compiles the Qt-free targets for 64-bit Windows with mingw-w64 (posix threads variant).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(TOVIX_WITH_QT OFF CACHE BOOL "" FORCE)
# Test executables run under Wine through ctest.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
# Large template-heavy objects (json, gtest) exceed the default COFF section count.
set(CMAKE_CXX_FLAGS_INIT "-Wa,-mbig-obj")
