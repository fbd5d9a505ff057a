# Fails unless the module's dynamic symbol table defines exactly the nine
# port driver exports. Usage: cmake -DMODULE=<path> -P check_exports.cmake
set(expected Abort ClosePort GetPortError GetPortHandle OpenPort OpenPortWithSettings
             ReceiveData ReleaseConnection SendData)
execute_process(COMMAND nm -D --defined-only ${MODULE}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; names carrying a version (@) come from the
  # version script's own node and are not symbols of the module.
  if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^@ ]+)$")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT exported)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "${MODULE} exports [${exported}], expected [${expected}]")
endif()
