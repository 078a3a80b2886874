# Third-party libraries. On Linux they come from Debian's packages; in the mingw cross build
# spdlog and fmt are used header-only and GoogleTest is built from /usr/src/googletest.
find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING AND WIN32)
  # An include folder that holds only spdlog, fmt and nlohmann-json, so no other Linux header
  # can leak into the Windows build.
  set(TOVIX_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
  file(MAKE_DIRECTORY ${TOVIX_CROSS_INCLUDE})
  foreach(lib spdlog fmt nlohmann)
    if(NOT EXISTS ${TOVIX_CROSS_INCLUDE}/${lib})
      file(CREATE_LINK /usr/include/${lib} ${TOVIX_CROSS_INCLUDE}/${lib} SYMBOLIC)
    endif()
  endforeach()

  add_library(tovix_spdlog INTERFACE)
  target_include_directories(tovix_spdlog SYSTEM INTERFACE ${TOVIX_CROSS_INCLUDE})
  target_compile_definitions(tovix_spdlog INTERFACE SPDLOG_HEADER_ONLY FMT_HEADER_ONLY SPDLOG_FMT_EXTERNAL)
  add_library(spdlog::spdlog ALIAS tovix_spdlog)

  add_library(tovix_json INTERFACE)
  target_include_directories(tovix_json SYSTEM INTERFACE ${TOVIX_CROSS_INCLUDE})
  add_library(nlohmann_json::nlohmann_json ALIAS tovix_json)

  if(TOVIX_BUILD_TESTS)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    # GoogleTest 1.12 defines the GTest:: aliases itself.
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
else()
  find_package(spdlog REQUIRED)
  find_package(nlohmann_json 3.10 REQUIRED)
  if(TOVIX_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
endif()

# Qt 6 for the dialogs and the application shell (no mingw build of Qt here). The folders that
# use it switch on AUTOMOC for themselves.
if(TOVIX_WITH_QT AND NOT (CMAKE_CROSSCOMPILING AND WIN32))
  find_package(Qt6 6.2 REQUIRED COMPONENTS Core Gui Widgets Network Test)
endif()
