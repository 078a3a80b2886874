# The Windows check of the Qt parts. Qt, libcurl and OpenSSL have no mingw build here, so the
# Windows cross build cannot link the application shell; it can compile it. With
# TOVIX_WINDOWS_SHELL_CHECK the cross build configures the shell's targets as the host build
# does, against the host's Qt 6, libcurl and OpenSSL headers, leaves them out of "all", and the
# target windows_shell_check compiles every one of their sources (and their moc output) with
# the mingw compiler in syntax-only mode. Every `_WIN32` branch and `*_win.cpp` file of the
# shell is compiled that way, with the export macros of a real Windows build.

set(TOVIX_HOST_INCLUDE /usr/include/${CMAKE_LIBRARY_ARCHITECTURE})
if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  set(TOVIX_HOST_INCLUDE /usr/include/x86_64-linux-gnu)
endif()
set(TOVIX_HOST_QT_INCLUDE ${TOVIX_HOST_INCLUDE}/qt6)
set(TOVIX_HOST_MOC /usr/lib/qt6/libexec/moc)
foreach(required ${TOVIX_HOST_QT_INCLUDE}/QtCore/qglobal.h ${TOVIX_HOST_MOC} ${TOVIX_HOST_INCLUDE}/curl/curl.h
        /usr/include/openssl/evp.h)
  if(NOT EXISTS ${required})
    message(FATAL_ERROR "Windows shell check: ${required} missing (tools/install-deps.sh installs it)")
  endif()
endforeach()

# libcurl and OpenSSL headers in a folder of their own, beside spdlog and nlohmann-json, so no
# other Linux header reaches the Windows compile. OpenSSL keeps its configuration headers in the
# architecture folder: both folders are merged file by file.
set(TOVIX_SHELL_INCLUDE ${CMAKE_BINARY_DIR}/shell-include)
file(MAKE_DIRECTORY ${TOVIX_SHELL_INCLUDE}/openssl)
if(NOT EXISTS ${TOVIX_SHELL_INCLUDE}/curl)
  file(CREATE_LINK ${TOVIX_HOST_INCLUDE}/curl ${TOVIX_SHELL_INCLUDE}/curl SYMBOLIC)
endif()
file(GLOB openssl_headers /usr/include/openssl/*.h ${TOVIX_HOST_INCLUDE}/openssl/*.h)
foreach(header ${openssl_headers})
  get_filename_component(name ${header} NAME)
  if(NOT EXISTS ${TOVIX_SHELL_INCLUDE}/openssl/${name})
    file(CREATE_LINK ${header} ${TOVIX_SHELL_INCLUDE}/openssl/${name} SYMBOLIC)
  endif()
endforeach()

# Header-only stand-ins for the Qt modules, defined as Qt's own CMake package defines them for
# a mingw build (Unicode Windows API, the module macros).
add_library(Qt6::Core INTERFACE IMPORTED)
set_target_properties(Qt6::Core PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${TOVIX_HOST_QT_INCLUDE};${TOVIX_HOST_QT_INCLUDE}/QtCore"
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${TOVIX_HOST_QT_INCLUDE};${TOVIX_HOST_QT_INCLUDE}/QtCore"
  INTERFACE_COMPILE_DEFINITIONS "QT_CORE_LIB;UNICODE;_UNICODE;WIN32;_WIN64;MINGW_HAS_SECURE_API=1"
  INTERFACE_QT_MAJOR_VERSION 6)
foreach(module Gui Widgets Network Test)
  add_library(Qt6::${module} INTERFACE IMPORTED)
  string(TOUPPER ${module} upper)
  set_target_properties(Qt6::${module} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${TOVIX_HOST_QT_INCLUDE}/Qt${module}
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${TOVIX_HOST_QT_INCLUDE}/Qt${module}
    INTERFACE_COMPILE_DEFINITIONS QT_${upper}_LIB
    INTERFACE_LINK_LIBRARIES Qt6::Core)
endforeach()
set_property(TARGET Qt6::Widgets APPEND PROPERTY INTERFACE_LINK_LIBRARIES Qt6::Gui)
add_executable(Qt6::moc IMPORTED)
set_target_properties(Qt6::moc PROPERTIES IMPORTED_LOCATION ${TOVIX_HOST_MOC})
# What AUTOMOC reads to tell the Qt version.
set(Qt6Core_VERSION_MAJOR 6)
set(Qt6Core_VERSION_MINOR 2)

# Resources are not compiled by the check.
function(qt_add_resources)
endfunction()

add_library(CURL::libcurl INTERFACE IMPORTED)
set_target_properties(CURL::libcurl PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${TOVIX_SHELL_INCLUDE}
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${TOVIX_SHELL_INCLUDE})
foreach(part Crypto SSL)
  add_library(OpenSSL::${part} INTERFACE IMPORTED)
  set_target_properties(OpenSSL::${part} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${TOVIX_SHELL_INCLUDE}
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${TOVIX_SHELL_INCLUDE})
endforeach()
# find_package(CURL) and find_package(OpenSSL) in the shell's folders find the stand-ins.
set(shell_modules ${CMAKE_BINARY_DIR}/shell-modules)
file(WRITE ${shell_modules}/FindCURL.cmake "set(CURL_FOUND TRUE)\n")
file(WRITE ${shell_modules}/FindOpenSSL.cmake "set(OPENSSL_FOUND TRUE)\n")
list(PREPEND CMAKE_MODULE_PATH ${shell_modules})

# The folders added for the check alone, all of whose targets belong to the shell. Folders that
# also hold targets the Windows build links mark their Qt targets EXCLUDE_FROM_ALL themselves.
function(tovix_add_shell_directory dir)
  add_subdirectory(${dir} EXCLUDE_FROM_ALL)
endfunction()

# The targets left out of "all" below `dir`: in folders added with EXCLUDE_FROM_ALL, or marked so.
function(_tovix_collect_shell_targets dir excluded_folder out)
  get_property(folder_excluded DIRECTORY ${dir} PROPERTY EXCLUDE_FROM_ALL)
  if(folder_excluded)
    set(excluded_folder TRUE)
  endif()
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  set(found)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    get_target_property(excluded ${target} EXCLUDE_FROM_ALL)
    if((excluded OR excluded_folder) AND NOT type STREQUAL "INTERFACE_LIBRARY" AND NOT type STREQUAL "UTILITY")
      list(APPEND found ${target})
    endif()
  endforeach()
  foreach(subdir ${subdirs})
    string(FIND "${subdir}/" "${CMAKE_SOURCE_DIR}/" at)
    if(at EQUAL 0)
      _tovix_collect_shell_targets(${subdir} ${excluded_folder} sub_found)
      list(APPEND found ${sub_found})
    endif()
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# The check target: every source file of the shell's targets compiled syntax-only. Nothing of
# the shell is linked: moc waits for the libraries a target links, and their "link" leaves
# empty files (syntax_only.sh).
function(tovix_windows_shell_check)
  _tovix_collect_shell_targets(${CMAKE_SOURCE_DIR} FALSE targets)
  set(objects)
  foreach(target ${targets})
    set_target_properties(${target} PROPERTIES
      CXX_COMPILER_LAUNCHER "${CMAKE_SOURCE_DIR}/cmake/syntax_only.sh;compile"
      CXX_LINKER_LAUNCHER "${CMAKE_SOURCE_DIR}/cmake/syntax_only.sh;link")
    list(APPEND objects $<TARGET_OBJECTS:${target}>)
  endforeach()
  add_custom_target(windows_shell_check DEPENDS ${objects}
    COMMENT "Windows shell compiled: ${targets}")
endfunction()
