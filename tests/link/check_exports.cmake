# Fails unless the library exports exactly the eight link functions.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] ([A-Za-z_0-9@.]+)" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected ClosePort GetMsgLength GetResumePoint OpenPort RecvData SendData SetMsgLength
    SetStartPoint)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports are '${names}', expected '${expected}'")
endif()
