# Build settings every Vantbrook target shares.
include(GNUInstallDirs)

set(VANTBROOK_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/include)

if(VANTBROOK_SANITIZE)
  add_compile_options(-fsanitize=${VANTBROOK_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VANTBROOK_SANITIZE})
endif()

# Warnings for our own targets.
function(vantbrook_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VANTBROOK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# A shared library or module that exports exactly the given C symbols, binds
# its own calls to itself (-Bsymbolic) and finds its neighbours through
# RUNPATH=$ORIGIN.
function(vantbrook_exports target)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map)
  set(body "{\n  global:\n")
  foreach(sym IN LISTS ARGN)
    string(APPEND body "    ${sym};\n")
  endforeach()
  string(APPEND body "  local: *;\n};\n")
  file(WRITE ${script} "${body}")
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${script} -Wl,-Bsymbolic -Wl,--enable-new-dtags)
  if(NOT VANTBROOK_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(${target} PROPERTIES
    LINK_DEPENDS ${script}
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
endfunction()

# A library hosts link against: its SONAME carries the major version
# (libVantbrook.so.1), with the unversioned name as a link beside it, so an
# installed host keeps working across compatible upgrades.
function(vantbrook_soname target)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION_MAJOR}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endfunction()

# Programs find the libraries in ../lib beside them.
function(vantbrook_program target)
  vantbrook_warnings(${target})
  set_target_properties(${target} PROPERTIES
    BUILD_RPATH "$ORIGIN/../lib"
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  target_link_options(${target} PRIVATE -Wl,--enable-new-dtags)
endfunction()

# A GoogleTest executable whose cases show up in ctest as <area>.<Suite>.<case>
# with the label <area>.
function(vantbrook_add_test name area)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vantbrook_program(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name}
    TEST_PREFIX "${area}."
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${area} TIMEOUT ${ARG_TIMEOUT})
endfunction()

# Adds every immediate sub-folder of the current folder that has a
# CMakeLists.txt, in name order, so subsystems plug in without editing here.
function(vantbrook_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
