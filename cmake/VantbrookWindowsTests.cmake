# Tests of the Windows build, run under Wine on the Linux build machine.
#
# GoogleTest is built for the target from the sources Debian's googletest
# package ships. Each test program is one ctest test, run by
# tests/windows/wine-session in a private Wine prefix inside the build folder;
# programs that talk to a meter get the Linux simulator on COM1..COM4 and a
# pseudo-terminal pair on COM5/COM6 (see that script).
set(VANTBROOK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for the target")
set(VANTBROOK_LINUX_BUILD ${CMAKE_SOURCE_DIR}/build CACHE PATH
    "Linux build folder whose bin/metersim serves the Windows end-to-end tests")

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${VANTBROOK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

set(VANTBROOK_WINE_SESSION ${CMAKE_SOURCE_DIR}/tests/windows/wine-session)

# Registers a Windows program as the ctest test <area>.<name>. PEERS: start
# the simulated meters and the line pair first; QUIET_LINE: COM1 and COM2 are
# the two ends of a pseudo-terminal pair instead. One Wine prefix serves all
# tests, so they run one at a time.
function(vantbrook_add_wine_test name area timeout)
  cmake_parse_arguments(ARG "PEERS;QUIET_LINE" "" "" ${ARGN})
  set(lines "")
  if(ARG_PEERS)
    set(lines --peers ${VANTBROOK_LINUX_BUILD}/bin/metersim)
  elseif(ARG_QUIET_LINE)
    set(lines --quiet-line)
  endif()
  add_test(NAME ${area}.${name}
           COMMAND ${VANTBROOK_WINE_SESSION} ${CMAKE_BINARY_DIR} ${lines} --
                   $<TARGET_FILE:${name}>)
  vantbrook_wine_test_properties(${area}.${name} ${timeout} "windows;${area}")
endfunction()

# The simulated meters start at the tests' pinned meter clock (see
# tests/CMakeLists.txt); VANTBROOK_TEST_METER_CLOCK moves it as on Linux.
function(vantbrook_wine_test_properties test timeout labels)
  set_tests_properties(${test} PROPERTIES
    LABELS "${labels}" TIMEOUT ${timeout} RESOURCE_LOCK wineprefix
    ENVIRONMENT VANTBROOK_DEFAULT_TEST_METER_CLOCK=${VANTBROOK_DEFAULT_TEST_METER_CLOCK})
endfunction()
