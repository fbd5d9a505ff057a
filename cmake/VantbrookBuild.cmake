# Build settings every Vantbrook target shares.
include(GNUInstallDirs)

set(VANTBROOK_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/include)

# The Windows target's architecture, which picks each DLL's .def file
# (name-decorated __stdcall exports on i686, plain names on x86_64).
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(VANTBROOK_WINDOWS_ARCH x86_64)
  else()
    set(VANTBROOK_WINDOWS_ARCH i686)
  endif()
endif()

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
# RUNPATH=$ORIGIN. On Windows the .def file given as WINDOWS_DEF (the one for
# VANTBROOK_WINDOWS_ARCH) names the exports instead, the DLL carries no "lib"
# prefix and lands in bin/ beside the programs, where Windows looks for a
# program's DLLs.
function(vantbrook_exports target)
  cmake_parse_arguments(ARG "" "WINDOWS_DEF" "" ${ARGN})
  if(WIN32)
    target_sources(${target} PRIVATE ${ARG_WINDOWS_DEF})
    set_target_properties(${target} PROPERTIES
      PREFIX ""
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin
      LINK_DEPENDS ${ARG_WINDOWS_DEF})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      vantbrook_import_library(${target} ${ARG_WINDOWS_DEF})
    endif()
    vantbrook_windows_debug_file(${target})
    return()
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map)
  set(body "{\n  global:\n")
  foreach(sym IN LISTS ARG_UNPARSED_ARGUMENTS)
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
  if(WIN32)
    return()
  endif()
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION_MAJOR}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endfunction()

# The import library of a Windows DLL. On i686 the linker's own would bind
# callers to the internal names (_OpenPort@4 imported as "OpenPort@4"); this
# one binds a caller's __stdcall symbol to the export name in the DLL
# ("_OpenPort@4", "VantbrookRequest"). Its .def file (every "export =
# internal" line of the DLL's turned into "internal == export"; on x86_64 the
# plain names as they are) is installed beside it, so a host with another
# toolchain can make its own.
function(vantbrook_import_library target dll_def)
  file(READ ${dll_def} dll_text)
  string(REGEX REPLACE "([A-Za-z_@0-9]+) = ([A-Za-z_@0-9]+)" "\\2 == \\1" import_text
         "${dll_text}")
  set(import_def ${CMAKE_BINARY_DIR}/lib/${target}.def)
  file(WRITE ${import_def} "${import_text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dll_def})
  set_target_properties(${target} PROPERTIES VANTBROOK_IMPORT_DEF ${import_def})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --input-def ${import_def} --dllname $<TARGET_FILE_NAME:${target}>
            --output-lib $<TARGET_LINKER_FILE:${target}>
    VERBATIM)
endfunction()

# A Windows DLL's or program's debug information, copied into <file>.debug
# beside it, which the file names by a debug link: the install strips the
# file and puts the .debug file into bin/.debug, where a debugger looks for it
# (see VantbrookInstall.cmake).
function(vantbrook_windows_debug_file target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
            $<TARGET_FILE:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug
            $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# Programs find the libraries in ../lib beside them.
function(vantbrook_program target)
  vantbrook_warnings(${target})
  if(WIN32)
    return()
  endif()
  set_target_properties(${target} PROPERTIES
    BUILD_RPATH "$ORIGIN/../lib"
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  target_link_options(${target} PRIVATE -Wl,--enable-new-dtags)
endfunction()

# Bash completion of `program`, written at build time by a helper program
# made from `source` and linked with `library` (it takes the script's path as
# its argument), and installed where bash-completion looks. Not in a cross
# build, whose programs do not run here.
function(vantbrook_bash_completion program source library)
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(generator ${program}_completion)
  add_executable(${generator} ${source})
  target_link_libraries(${generator} PRIVATE ${library})
  vantbrook_warnings(${generator})
  set(script ${CMAKE_BINARY_DIR}/completion/${program})
  add_custom_command(OUTPUT ${script}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/completion
    COMMAND ${generator} ${script}
    DEPENDS ${generator}
    COMMENT "Bash completion for ${program}"
    VERBATIM)
  add_custom_target(${program}_bash_completion ALL DEPENDS ${script})
  install(FILES ${script} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endfunction()

# A GoogleTest executable whose cases show up in ctest as <area>.<Suite>.<case>
# with the label <area>. On Windows the program is one test, <area>.<name>,
# run under Wine; PEERS gives it the simulated meters and the line pair,
# QUIET_LINE a COM1 nobody answers on (see vantbrook_add_wine_test).
function(vantbrook_add_test name area)
  cmake_parse_arguments(ARG "PEERS;QUIET_LINE" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vantbrook_program(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(WIN32)
    set(lines "")
    foreach(kind PEERS QUIET_LINE)
      if(ARG_${kind})
        list(APPEND lines ${kind})
      endif()
    endforeach()
    vantbrook_add_wine_test(${name} ${area} ${ARG_TIMEOUT} ${lines})
    return()
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
