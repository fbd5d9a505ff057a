# CLI11 and nlohmann-json, the header-only libraries of the command lines and
# of JSON output, as the targets CLI11::CLI11 and nlohmann_json::nlohmann_json
# for every folder.
#
# A cross build finds packages only under its target's root, where Debian
# puts no header-only library: it takes the host's headers, with only their
# own folders on the include path (never the host's /usr/include, whose C
# library headers would shadow the target's).
if(NOT CMAKE_CROSSCOMPILING)
  find_package(CLI11 2 REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
  return()
endif()

set(VANTBROOK_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
foreach(library "CLI11::CLI11|CLI/CLI.hpp|CLI" "nlohmann_json::nlohmann_json|nlohmann/json.hpp|nlohmann")
  string(REPLACE "|" ";" library "${library}")
  list(GET library 0 target)
  list(GET library 1 header)
  list(GET library 2 folder)
  find_path(host_dir_${folder} ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(NOT host_dir_${folder})
    message(FATAL_ERROR "${header} not found on the host: install it (CLI11, nlohmann-json)")
  endif()
  file(MAKE_DIRECTORY ${VANTBROOK_HOST_HEADERS})
  file(CREATE_LINK ${host_dir_${folder}}/${folder} ${VANTBROOK_HOST_HEADERS}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} INTERFACE ${VANTBROOK_HOST_HEADERS})
endforeach()
