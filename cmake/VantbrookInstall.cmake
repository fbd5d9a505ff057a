# Install rules and package files: `cmake --install` puts the libraries and
# the driver modules side by side in one library folder (RUNPATH=$ORIGIN
# finds them there), the public headers, the programs, a pkg-config file and
# a CMake package whose imported target is Vantbrook::Vantbrook.
include(CMakePackageConfigHelpers)

set(VANTBROOK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vantbrook)

# On Windows the DLLs go to bin/ beside the programs (where Windows finds a
# program's DLLs and brisel.dll finds the drivers), the import libraries and
# their .def files to lib/.
foreach(library Vantbrook brisel)
  if(TARGET ${library})
    install(TARGETS ${library}
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
    if(WIN32)
      install(FILES $<TARGET_PROPERTY:${library},VANTBROOK_IMPORT_DEF>
              DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
  endif()
endforeach()
foreach(driver pnetport dialport)
  if(TARGET ${driver})
    if(WIN32)
      install(TARGETS ${driver} LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
    else()
      install(TARGETS ${driver} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
  endif()
endforeach()
foreach(program vantbrook metersim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# What a Windows host copies is release-sized: the installed DLLs and
# vantbrook.exe are stripped, with or without `cmake --install --strip`, and
# their debug information goes to bin/.debug for crash analysis (each file
# names its .debug file by a debug link).
if(WIN32)
  foreach(binary Vantbrook brisel pnetport dialport vantbrook)
    install(FILES $<TARGET_FILE:${binary}>.debug DESTINATION ${CMAKE_INSTALL_BINDIR}/.debug)
    install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-all
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${binary}>\"
      COMMAND_ERROR_IS_FATAL ANY)")
  endforeach()
endif()

install(FILES
  ${VANTBROOK_INCLUDE_DIR}/vantbrook/callconv.h
  ${VANTBROOK_INCLUDE_DIR}/vantbrook/records.h
  ${VANTBROOK_INCLUDE_DIR}/vantbrook/vantbrook.h
  ${VANTBROOK_INCLUDE_DIR}/vantbrook/brisel.h
  ${VANTBROOK_INCLUDE_DIR}/vantbrook/portdriver.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantbrook)

# The pkg-config file and the CMake package describe the ELF libraries; a
# Windows host links the import library or loads the DLL (see README.md).
if(WIN32)
  return()
endif()

# The pkg-config file finds its prefix from where it lies, so an install with
# `cmake --install --prefix` anywhere works as it is.
file(RELATIVE_PATH VANTBROOK_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" VANTBROOK_PC_TO_PREFIX "${VANTBROOK_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/vantbrook.pc.in
               ${CMAKE_BINARY_DIR}/packaging/vantbrook.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/vantbrook.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_package_config_file(
  ${CMAKE_SOURCE_DIR}/packaging/VantbrookConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/VantbrookConfig.cmake
  INSTALL_DESTINATION ${VANTBROOK_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/packaging/VantbrookConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/packaging/VantbrookConfig.cmake
  ${CMAKE_BINARY_DIR}/packaging/VantbrookConfigVersion.cmake
  DESTINATION ${VANTBROOK_INSTALL_CMAKEDIR})
